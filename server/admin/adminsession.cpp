#include "server/admin/adminsession.h"

#include <algorithm>
#include <cstdio>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "toolbox/md5.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/timeutil.h"

namespace {

// A period of uptime, keep-alive and status packets.
constexpr int64_t kPeriodMs = 4000;
// Wait for data per loop pass.
constexpr int kPollMs = 50;
// A packet once begun must arrive whole within this time, else the link is out of step.
constexpr int kPacketTimeoutMs = 60000;
// Console records sent per loop pass, so that a burst never starves requests and pings.
constexpr int kConsoleBurst = 256;
// "16-bit 13 at 0" of the named-number and named-text packets.
constexpr uint16_t kValueTag = 13;
// Wait before the verdict on a wrong digest; the group's login throttle lengthens it for an
// address that keeps guessing.
constexpr int kWrongDigestDelayMs = 2000;

uint32_t Saturate32(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

std::string Format(const char* fmt, const std::string& arg) {
  char b[1024];
  snprintf(b, sizeof b, fmt, arg.c_str());
  return b;
}

std::unique_ptr<qmsTSession> MakeAdminSession(qmsTService* service) {
  return std::make_unique<qmsTAdminSession>(service);
}

}  // namespace

void qmsRegisterAdmin() { qmsRegisterSession(prADMIN, MakeAdminSession); }

qmsTAdminSession::qmsTAdminSession(qmsTService* service)
    : qmsTSession(service), sender_(std::make_unique<qmpTSession>()) {}

qmsTAdminSession::~qmsTAdminSession() = default;

bool qmsTAdminSession::Start() {
  if (!qmsTSession::Start()) return false;
  jvbTTextConfig* cfg = Service()->Group()->Config();
  const std::string& section = Service()->Section();
  // Without a password nobody may steer the server: every digest is refused.
  if (!cfg->ReadValue(section, "Password", password_)) {
    password_.clear();
    qmsLog(section + "/Password not found in " + cfg->FileName());
  } else if (password_.empty()) {
    qmsLog(section + "/Password is empty in " + cfg->FileName() + ", every login is refused");
  }
  if (!WaitInPool()) return false;

  jvbTSocket* sock = Socket();
  if (!sock) return true;  // a management service never scans queues; nothing to serve
  if (!AcceptClient(ClientAddress, sock->peerHostName, sock->PeerDotted())) {
    Log(Format("- Connection from \"%s\" rejected", sock->peerHostName));
    Count(mcRefused);
  } else {
    Count(mcAccepted);
    Serve();
  }
  Log("Client session ended");
  return true;
}

void qmsTAdminSession::Serve() {
  jvbTSocket* sock = Socket();
  challenge_ = TimeStamp();

  Log(Format("- Connection from \"%s\" accepted", sock->peerHostName));
  char b[512];
  snprintf(b, sizeof b, "Login %8.8llx %8.8llx",
           static_cast<unsigned long long>(jvb::HeapBytesAllocated()),
           static_cast<unsigned long long>(jvb::HeapBytesFree()));
  Debug(b, kDebugRecv);
  authenticated_ = false;
  output_ = 0;
  period_start_ = jvb::MonotonicMs() - kPeriodMs - 1;  // the first period ends at once

  while (sock->Valid() && !terminate) {
    // Once authenticated the link never idles out; before that the service's Timeout
    // applies from the hand-over, so that silent or failed logins do not hold the thread.
    if (authenticated_) ResetIdle();

    int ready = sock->WaitReadable(kPollMs);
    if (ready < 0) {
      Broken();
      break;
    }
    if (ready > 0) {
      if (qmpReceive(*sock, receive_, kPacketTimeoutMs, &terminate) != qmpReceived) {
        Broken();
        break;
      }
      Dispatch();
      if (terminate) break;
    }
    if (output_ & kOutConsole) ConsoleLines();
    if (terminate) break;
    if (jvb::MonotonicMs() - period_start_ > kPeriodMs) Period();
  }
  console_.Close();
}

void qmsTAdminSession::Broken() { terminate = true; }

bool qmsTAdminSession::SendPacket() {
  jvbTSocket* sock = Socket();
  if (!sock || !qmpSend(*sock, send_)) {
    terminate = true;
    return false;
  }
  return true;
}

void qmsTAdminSession::Dispatch() {
  int code = receive_.Code(), kind = receive_.Kind();
  if (code == qmpPing && kind == qmpRequest) {
    Ping();
  } else if (code == qmpIdentity && kind == qmpRequest) {
    Identity();
  } else if (code == qmpAuthenticate && kind == qmpResult) {
    CheckDigest();
  } else if (code == qmpCommand && kind == qmpRequest && authenticated_) {
    Command();
  }
  // Everything else (ping results, codes 4-17 from the client ...) is ignored.
}

void qmsTAdminSession::Ping() {
  uint8_t stamp[8] = {};
  receive_.GetBytes(0, stamp, std::min(8, receive_.Length()));
  sender_->Result(receive_, send_);
  send_.PutBytes(0, stamp, 8);
  SendPacket();
}

void qmsTAdminSession::Identity() {
  sender_->Result(receive_, send_);
  qmpTSession::SetText("Quillmar/32", 0, send_);
  qmpTSession::SetText(qms::kProductVersion, 4, send_);
  qmpTSession::SetText(qms::kBuildId, 8, send_);
  qmpTSession::SetText("qms.", 12, send_);
  if (!SendPacket()) return;
  Log("Replied to identity request");
  // An authenticated link is not asked again, and a refused one gets no second attempt.
  if (authenticated_ || refused_) return;
  sender_->Request(qmpAuthenticate, send_);
  send_.PutByte(0, 4);
  qmpTSession::SetText(challenge_, 1, send_);
  if (!SendPacket()) return;
  Log("Sent authenticate request");
  challenge_sent_ = true;
  output_ = kOutPings;
}

void qmsTAdminSession::CheckDigest() {
  // Only an answer to a challenge this link was sent counts; one answer per link.
  if (!challenge_sent_ || authenticated_) return;
  std::string digest;
  if (!qmpTSession::GetText(1, receive_, digest)) {
    Broken();
    return;
  }
  challenge_sent_ = false;
  const unsigned char* o = Socket()->PeerOctets();
  char peer[64];
  snprintf(peer, sizeof peer, "(%d.%d.%d.%d)", o[0], o[1], o[2], o[3]);
  // A held-back address is refused without its digest being looked at.
  if (!LoginHeldBack() && !password_.empty() && digest == qmsMD5Hex(challenge_ + password_)) {
    LoginSucceeded();
    authenticated_ = true;
    output_ = kOutConsole | kOutPings | kOutUptime | kOutStatus;
    OpenConsole(true);
    sender_->Info(qmpAuthenticate, send_);
    send_.PutByte(0, 0);
    SendPacket();
    qmsCon(std::string("Successful administrative authentication ") + peer);
    Log("Successful administrative authentication");
  } else {
    LoginFailed(kWrongDigestDelayMs);
    refused_ = true;
    sender_->Info(qmpAuthenticate, send_);
    send_.PutByte(0, 1);
    SendPacket();
    qmsCon(std::string("Unsuccessful administrative authentication ") + peer);
    Log("Unsuccessful administrative authentication");
  }
  period_start_ = jvb::MonotonicMs() - kPeriodMs - 1;
}

void qmsTAdminSession::Command() {
  std::string word;
  if (!qmpTSession::GetText(9, receive_, word)) {
    Broken();
    return;
  }
  qmsTApplication* app = Service()->Group()->Application();
  if (app) app->PostCommand(word);
}

void qmsTAdminSession::OpenConsole(bool replay) {
  // No lock: the writer must never wait for a console reader.
  console_.Init(qms::kConsoleRecords, jvb::fmReadDenyNone, kConsoleRecordSize, 0, 0);
  if (!console_.Open()) return;
  int64_t size = console_.Size();
  console_pos_ = replay ? std::max<int64_t>(0, size - kReplayRecords) : 0;
}

void qmsTAdminSession::ConsoleLines() {
  // A file that did not exist at authentication is read from its start once it appears:
  // everything in it is newer than the login.
  if (!console_.IsOpen()) {
    OpenConsole(false);
    if (!console_.IsOpen()) return;
  }
  int64_t size = console_.Size();
  if (size < 0) return;
  // The writer empties the file when it reaches its cap; start again near its new end.
  if (size < console_pos_) console_pos_ = std::max<int64_t>(0, size - kReplayRecords);
  unsigned char rec[kConsoleRecordSize];
  for (int n = 0; n < kConsoleBurst && console_pos_ < size && !terminate; ++n) {
    if (!console_.Seek(console_pos_) || console_.BlockRead(rec, 1) != 1) break;
    ++console_pos_;
    int length = std::min<int>(rec[8], kConsoleTextMax);
    std::string text(reinterpret_cast<const char*>(rec + 9), length);
    if (!SendText("qms.console.output", text)) break;
  }
}

bool qmsTAdminSession::SendNumber(const std::string& name, uint32_t value) {
  sender_->Info(qmpGetInt, send_);
  send_.PutWord(0, kValueTag);
  qmpTSession::SetText(name, 2, send_);
  send_.PutLong(6, value);
  return SendPacket();
}

bool qmsTAdminSession::SendText(const std::string& name, const std::string& value) {
  sender_->Info(qmpGetStr, send_);
  send_.PutWord(0, kValueTag);
  qmpTSession::SetText(name, 2, send_);
  qmpTSession::SetText(value, 6, send_);
  return SendPacket();
}

void qmsTAdminSession::Period() {
  period_start_ = jvb::MonotonicMs();
  if (output_ & kOutUptime) {
    qmsTApplication* app = Service()->Group()->Application();
    double up = app ? app->UptimeSeconds() : 0.0;
    if (!SendNumber("qms.uptime", Saturate32(static_cast<uint64_t>(std::max(0.0, up)))))
      return;
    if (!SendNumber("qms.memory.used", Saturate32(jvb::HeapBytesAllocated()))) return;
  }
  if (output_ & kOutPings) {
    sender_->Request(qmpPing, send_);
    uint8_t stamp[8];
    jvb::PutStamp8(stamp, jvb::NowLocal());
    send_.PutBytes(0, stamp, 8);
    if (!SendPacket()) return;
  }
  if (output_ & kOutStatus) {
    qmsTApplication* app = Service()->Group()->Application();
    if (!app) return;
    std::vector<qmsTGroup*> groups = app->Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
      std::vector<qmsTServiceStatus> services = groups[g]->ServiceStatus();
      for (size_t s = 0; s < services.size(); ++s) {
        const qmsTServiceStatus& svc = services[s];
        char value[128];
        snprintf(value, sizeof value, "%d %d %d %d %d %d", static_cast<int>(g), static_cast<int>(s),
                 svc.protocol, svc.state, svc.pool, svc.active);
        std::string name = "qms.server." + groups[g]->Name() + "." + svc.section + ".status";
        if (!SendText(name, value)) return;
      }
    }
  }
}
