// The user steps of the session base: identification, password check and the user's
// variables.
#include <cstdio>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/session.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"

namespace {

std::string PeerAddress(const jvbTSocket* socket) {
  return socket ? socket->PeerDotted() : std::string();
}

}  // namespace

void qmsTSession::SplitHookOutput(const std::string& output, std::string& reply,
                                  std::string& block) {
  bool quoted = false;
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '"') quoted = !quoted;
    if (output[i] == '&' && !quoted) {
      reply = output.substr(0, i);
      block = output.substr(i + 1);
      return;
    }
  }
  reply = output;
  block.clear();
}

qmsTUserResult qmsTSession::SessionUser(const std::string& name) {
  jvbTraceArgs("qmsTSession.SessionUser", jvbTraceValue::Str(name));
  user_.reset();
  SetListedUser("");
  qmsTUserDatabase* db = Group() ? Group()->Users() : nullptr;
  std::string lower = jvb::AsciiLower(name);
  std::unique_ptr<qmsTUser> user;
  if (!db || !db->FindUser(lower, user)) {
    Log("Unknown user " + qmsQuoted(name) + ", failed identification attempt", kLogUser);
    return usUnknown;
  }
  user_ = std::move(user);
  SetListedUser(user_->GetUsername());
  std::string hook, output;
  if (service_) service_->Group()->Config()->ReadString(hook, service_->Section(), "hookOnUser");
  int result = hook.empty() ? 0 : CallHook(output, hook);
  if (result < 1) {
    Log("User " + qmsQuoted(user_->GetUsername()) + " connected, identified by " + qmsQuoted(name),
        kLogUser);
    return usIdentified;
  }
  std::string reply, block;
  SplitHookOutput(output, reply, block);
  SendCmd(block, reply);
  Log("User " + qmsQuoted(user_->GetUsername()) + " rejected by RexxHook, identified by " +
          qmsQuoted(name),
      kLogUser);
  user_.reset();
  SetListedUser("");
  return usRejectedByHook;
}

qmsTPasswordResult qmsTSession::SessionPassword(const std::string& password) {
  jvbTraceArgs("qmsTSession.SessionPassword", jvbTraceValue::Str("******"));
  if (LoginHeldBack() || !user_) {
    // An unknown account waits like a wrong password: the answer tells nothing.
    if (!user_) Log("Not authenticated; Unknown user", kLogUser);
    LoginFailed(FailDelay());
    return pwMismatch;
  }
  bool anonymous = user_->GetAnonymous();
  int32_t reason = 0;
  if (!anonymous && !user_->Authenticate(password, reason, false)) {
    Log("Not authenticated; Password mismatch (" + std::to_string(reason) + ")", kLogUser);
    LoginFailed(FailDelay());
    return pwMismatch;
  }
  if (!anonymous && service_ && user_->DenyService(service_->Section())) {
    Log("Not authenticated; Service access denied", kLogUser);
    return pwServiceDenied;
  }
  std::string patterns = user_->GetClientAddress();
  if (!patterns.empty() && socket_ &&
      !AcceptClient(patterns, socket_->peerHostName, socket_->PeerDotted())) {
    Log("Not authenticated; Remote host denied", kLogUser);
    return pwHostDenied;
  }
  if (!anonymous) {
    std::string stored = user_->GetPassword();
    if (stored == "<ntdomain>")
      Log("Authenticated; NT Domain", kLogUser);
    else if (stored == "<external>")
      Log("Authenticated; External", kLogUser);
    else
      Log("Authenticated; Internal", kLogUser);
    // Anonymous logins accept any password, so only a real one clears the count.
    LoginSucceeded();
    return pwAuthenticated;
  }
  std::string hook, output;
  if (service_) service_->Group()->Config()->ReadString(hook, service_->Section(), "hookOnPass");
  int result = hook.empty() ? 0 : CallHook(output, hook);
  if (result < 1) {
    Log("Authenticated; Anonymous user with password " + qmsQuoted(password), kLogUser);
    Count(mcLoginsOk);
    return pwAuthenticated;
  }
  std::string reply, block;
  SplitHookOutput(output, reply, block);
  SendCmd(block, reply);
  Log("Not authenticated; Rejected by RexxHook with password " + qmsQuoted(password), kLogUser);
  return pwRejectedByHook;
}

bool qmsTSession::LoginHeldBack() {
  qmsTGroup* group = Group();
  if (!group || !group->LoginThrottle().HeldBack(PeerAddress(socket_.get()))) return false;
  Log("Not authenticated; Address held back after repeated failures", kLogUser);
  return true;
}

void qmsTSession::LoginFailed(int baseMs) {
  Count(mcLoginsFailed);
  qmsTGroup* group = Group();
  const std::string address = PeerAddress(socket_.get());
  qmsTLoginThrottle::Failure f{baseMs, 1, false};
  if (group) f = group->LoginThrottle().Failed(address, baseMs);
  if (f.heldBackNow) {
    Log("Address " + address + " held back after " + std::to_string(f.failures) +
        " failed logins; its failures wait longer and longer");
  }
  Log("Failed login " + std::to_string(f.failures) + " from " + address + ", answer delayed " +
          std::to_string(f.delayMs) + " ms",
      kLogUser);
  qmsTUserDatabase* db = group ? group->Users() : nullptr;
  if (db)
    db->DelayAfterFailure(f.delayMs, &terminate);
  else
    qmsWaitUnless(f.delayMs, &terminate);
}

void qmsTSession::LoginSucceeded() {
  Count(mcLoginsOk);
  if (qmsTGroup* group = Group()) group->LoginThrottle().Succeeded(PeerAddress(socket_.get()));
}

int qmsTSession::FailDelay() const {
  qmsTGroup* group = Group();
  return group && group->Users() ? group->Users()->FailDelay()
                                 : qmsTUserDatabase::kDefaultFailDelayMs;
}

bool qmsTSession::GetUserVars(const std::string& name, std::string& value) {
  auto num = [&](long long v) {
    value = std::to_string(v);
    return true;
  };
  if (name == "recv" || name == "recvkb" || name == "sent" || name == "sentkb") {
    if (!user_) return num(0);
    Tqms_user& s = user_->SessionStat();
    if (name == "recv") return num(s.Get(Tqms_user::ftpRecv));
    if (name == "recvkb") return num(s.Get(Tqms_user::ftpRecvKB));
    if (name == "sent") return num(s.Get(Tqms_user::ftpSent));
    return num(s.Get(Tqms_user::ftpSentKB));
  }
  if (name.rfind("usr.", 0) != 0) return false;
  if (!user_) {
    value.clear();
    return true;
  }
  qmsTUser& u = *user_;
  if (name == "usr.admin") return num(u.GetAdministrator());
  if (name == "usr.aliases") return value = u.GetAliases(), true;
  if (name == "usr.anon") return num(u.GetAnonymous());
  if (name == "usr.changepassword") return num(u.GetChangePassword());
  if (name == "usr.clientaddress") return value = u.GetClientAddress(), true;
  if (name == "usr.fullname") return value = u.GetFullname(), true;
  if (name == "usr.logindir") return value = u.GetLoginDirectory(), true;
  if (name == "usr.maxbandwidth") return num(u.GetMaxBandwidth());
  if (name == "usr.username") return value = u.GetUsername(), true;
  static const struct {
    const char* name;
    Tqms_user::Counter counter;
  } kCounters[] = {
      {"usr.ftp.recv", Tqms_user::ftpRecv},        {"usr.ftp.recvkb", Tqms_user::ftpRecvKB},
      {"usr.ftp.recvkbs", Tqms_user::ftpRecvRate}, {"usr.ftp.sent", Tqms_user::ftpSent},
      {"usr.ftp.sentkb", Tqms_user::ftpSentKB},    {"usr.ftp.sentkbs", Tqms_user::ftpSentRate},
      {"usr.smtp.recv", Tqms_user::smtpRecv},      {"usr.smtp.recvkb", Tqms_user::smtpRecvKB},
  };
  for (const auto& c : kCounters) {
    if (name != c.name) continue;
    u.ReadStat();
    return num(u.Stat().Get(c.counter));
  }
  return false;
}

std::string qmsTSession::ListedUser() const {
  std::lock_guard<std::mutex> g(listed_lock_);
  return listed_user_;
}

void qmsTSession::SetListedUser(const std::string& name) {
  std::lock_guard<std::mutex> g(listed_lock_);
  listed_user_ = name;
}

std::string qmsTSession::ListedHost() const {
  std::lock_guard<std::mutex> g(listed_lock_);
  return listed_host_;
}

std::string qmsTSession::ListedAddress() const {
  std::lock_guard<std::mutex> g(listed_lock_);
  return listed_address_;
}
