#include "server/core/session.h"

#include <cstdio>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/users/user.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

std::string Hex4(long tid) {
  char b[32];
  snprintf(b, sizeof b, "%4lx", tid);
  return b;
}

// Splits a list setting into words at blanks, commas and semicolons.
std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> out;
  std::string word;
  for (char c : s) {
    if (c == ' ' || c == ',' || c == ';' || c == '\t') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

}  // namespace

qmsTSession::qmsTSession(qmsTService* service) : service_(service) {
  filesys_ = std::make_unique<jvbTFileSys>(service ? service->Group()->Config() : nullptr);
}

qmsTSession::~qmsTSession() {
  if (socket_) socket_->Close();
  // A main loop that has not passed for 15 minutes is hung: end the process so that the
  // launcher can start a fresh one.
  if (qmsApplication) {
    double stalled = qmsApplication->StabilityTimer().ElapsedSeconds();
    if (stalled > 900) {
      qmsLog("Stability monitor blocked " + std::to_string(static_cast<int>(stalled)) +
             " seconds ago.");
      qmsHalt(true, 10004);
    }
  }
}

qmsTGroup* qmsTSession::Group() const { return service_ ? service_->Group() : nullptr; }

std::string qmsTSession::Key() const {
  return socket_ ? std::to_string(socket_->Handle()) : std::string("-1");
}

bool qmsTSession::Start() {
  if (!service_) return false;
  jvbTTextConfig* cfg = service_->Group()->Config();
  const std::string& section = service_->Section();
  if (!cfg->ReadValue(section, "ClientAddress", ClientAddress)) {
    ClientAddress = "!*";
    qmsLog(section + "/ClientAddress not found in " + cfg->FileName());
  }
  cfg->ReadInteger(DebugFlag, section, "DebugFlag");
  int32_t reverse = 0;
  cfg->ReadInteger(reverse, section, "DisableReverse");
  DisableReverse = reverse == 1;
  if (!cfg->ReadValue(section, "Host", Host))
    qmsLog(section + "/Host not found in " + cfg->FileName());
  cfg->ReadInteger(LogFlag, section, "LogFlag");
  cfg->ReadInteger(Timeout, section, "Timeout");
  return true;
}

bool qmsTSession::WaitInPool() {
  if (!service_) return false;
  entered_pool_ = true;
  service_->EnterPool(this);
  wake_.acquire();
  if (terminate) return false;
  Connection();
  // Implicit TLS: the handshake comes before anything else is said.
  if (socket_ && service_->TlsMode() == qmsTTlsMode::kImplicit && !StartTls()) return false;
  return !terminate;
}

bool qmsTSession::WaitAndServe(const std::function<void()>& serve) {
  if (!WaitInPool()) return false;
  if (socket_) serve();
  return true;
}

void qmsTSession::HandOver(std::unique_ptr<jvbTSocket> socket) {
  {
    std::lock_guard<std::mutex> g(timerLock);
    connectTimer.Reset();
    idleTimer.Reset();
  }
  socket_ = std::move(socket);
  if (socket_) CountBytesOf(*socket_);
  socketHandle = socket_ ? socket_->Handle() : -1;
  handed_over_ = true;
}

void qmsTSession::Count(qmsTCounter counter, uint64_t n) {
  if (service_) service_->Metrics().Add(counter, n);
}

void qmsTSession::CountBytesOf(jvbTSocket& socket) {
  if (service_)
    socket.CountBytes(service_->Metrics().Cell(mcBytesIn), service_->Metrics().Cell(mcBytesOut));
}

void qmsTSession::ResetIdle() {
  std::lock_guard<std::mutex> g(timerLock);
  idleTimer.Reset();
}

void qmsTSession::Connection() {
  if (!socket_) return;
  if (!(LogFlag & 1)) {
    const unsigned char* o = socket_->PeerOctets();
    char b[256];
    snprintf(b, sizeof b,
             "Client session started, requested by \"%d.%d.%d.%d\" (Socket=%d; Clients=%d)", o[0],
             o[1], o[2], o[3], socket_->Handle(), service_ ? service_->ActiveCount() : 0);
    Log(b);
  }
  std::string name;
  if (!DisableReverse) name = jvbTSocket::ReverseLookup(socket_->PeerAddress());
  socket_->peerHostName = name.empty() ? socket_->PeerDotted() : name.substr(0, 255);
  {
    std::lock_guard<std::mutex> g(listed_lock_);
    listed_host_ = socket_->peerHostName;
    listed_address_ = socket_->PeerDotted();
  }
  ResetIdle();
}

bool qmsTSession::AcceptClient(const std::string& patterns, const std::string& hostName,
                               const std::string& address) {
  for (std::string p : SplitList(patterns)) {
    bool deny = !p.empty() && p[0] == '!';
    if (deny) p.erase(0, 1);
    if (jvb::WildcardMatch(p, address) || jvb::WildcardMatch(p, hostName)) return !deny;
  }
  return false;
}

std::string qmsTSession::TimeStamp() const {
  jvb::DateTime now = jvb::NowLocal();
  double stampMs = static_cast<double>(jvb::DayNumber(now)) * 86400000.0 +
                   static_cast<double>(jvb::MillisecondsOfDay(now));
  long tid = threadId ? threadId.load() : jvb::CurrentThreadId();
  char b[512];
  snprintf(b, sizeof b, "<%ld.%.15g@%s>", tid, stampMs, Host.c_str());
  return b;
}

bool qmsTSession::PassConnectGate(const ConnectGate& gate) {
  const std::string host = socket_ ? socket_->peerHostName : std::string();
  const std::string address = socket_ ? socket_->PeerDotted() : std::string("0.0.0.0");
  std::string hook, output;
  if (service_) Group()->Config()->ReadString(hook, service_->Section(), "hookOnConnect");
  if (!hook.empty() && CallHook(output, hook) >= 1) {
    std::string reply = output, block;
    if (gate.hookReplyWithBlock) SplitHookOutput(output, reply, block);
    SendCmd(block, reply);
    Log("- Connection from " + qmsQuoted(host) + " rejected by script", gate.logCategory);
    Count(mcRefused);
    return false;
  }
  if (!AcceptClient(ClientAddress, host, address)) {
    if (gate.refuse) gate.refuse();
    Log("- Connection from " + qmsQuoted(host) + " rejected", gate.logCategory);
    Count(mcRefused);
    return false;
  }
  Count(mcAccepted);
  if (gate.greet) gate.greet();
  Log("- Connection from " + qmsQuoted(host) + " accepted", gate.logCategory);
  return true;
}

std::string qmsTSession::StripCommandLine(const std::string& line) {
  size_t b = 0, e = line.size();
  while (b < e) {
    unsigned char c = static_cast<unsigned char>(line[b]);
    if (c > 0x20 && c < 0x7F) break;
    ++b;
  }
  while (e > b && static_cast<unsigned char>(line[e - 1]) <= 0x20) --e;
  return line.substr(b, e - b);
}

std::string qmsTSession::ProductTail() {
  return std::string("(QMS/32 v") + qms::kProductVersion + " - " + qms::kHomePageUrl + ")";
}

void qmsTSession::Log(const std::string& text, int category) {
  if (!service_) return;
  if (category != 0 && (LogFlag & category) == category) return;
  // Client text reaches the log through here: no byte of it may break or forge a line.
  service_->Log("[" + Hex4(threadId) + "] " + qmsVisibleText(text));
}

void qmsTSession::Debug(const std::string& text, int kind) {
  if (!service_ || kind == 0 || (DebugFlag & kind) != kind) return;
  std::string id = Hex4(threadId);
  std::string prefix;
  switch (kind) {
    case kDebugRecv: prefix = ">" + id + "> "; break;
    case kDebugSend: prefix = "<" + id + "< "; break;
    case kDebugProto4: prefix = "\xAF" + id + "\xAF "; break;
    case kDebugProto8: prefix = "\xAE" + id + "\xAE "; break;
    case kDebugProto16: prefix = "!" + id + "! "; break;
    default: prefix = "(" + id + ") "; break;
  }
  service_->Log(prefix + qmsVisibleText(text));
}

bool qmsTSession::SendIt(const std::string& text) {
  bool ok = false;
  {
    std::lock_guard<std::mutex> g(send_lock_);
    if (socket_) ok = socket_->Send(text + "\r\n");
  }
  Debug(text, kDebugSend);
  return ok;
}

bool qmsTSession::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> g(send_lock_);
  return socket_ && socket_->Send(bytes);
}

int qmsTSession::ReadLine(std::string& line, size_t maxLen, jvbTSocket::LineEnd ends) {
  if (!socket_) return 0;
  // The idle limit is Monitor's job; this wait only needs an outer bound.
  int limit = Timeout > 0 ? (Timeout + 60) * 1000 : 24 * 3600 * 1000;
  int rc = socket_->ReadLine(line, maxLen, limit, &terminate, ends);
  if (rc == 1) {
    ResetIdle();
    Debug(line, kDebugRecv);
  }
  if (terminate) return 0;
  return rc;
}

bool qmsTSession::GetVars(const std::string& name, std::string& value) {
  if (variables_.FindValue(name, value)) return true;
  jvb::DateTime now = jvb::NowLocal();
  char b[128];
  auto set = [&](const std::string& v) {
    value = v;
    return true;
  };
  auto num = [&](long long v) { return set(std::to_string(v)); };
  jvbTTextConfig* cfg = service_ ? service_->Group()->Config() : nullptr;
  if (name == "configfile") return set(cfg ? cfg->FileName() : "");
  if (name == "configsection") return set(service_ ? service_->Section() : "");
  if (name == "connectduration") {
    std::lock_guard<std::mutex> g(timerLock);
    return num(connectTimer.ElapsedMs() / 1000);
  }
  if (name == "connecttime") {
    // Hand-over time as seconds since local midnight.
    int64_t ago;
    {
      std::lock_guard<std::mutex> g(timerLock);
      ago = connectTimer.ElapsedMs() / 1000;
    }
    long long since = (now.hour * 3600 + now.minute * 60 + now.second) - ago;
    if (since < 0) since += 86400;
    return num(since);
  }
  if (name == "connections") return num(service_ ? service_->ActiveCount() : 0);
  if (name == "clientaddress") return set(ClientAddress);
  if (name == "ctid") return num(threadId);
  if (name == "date") {
    snprintf(b, sizeof b, "%04d/%02d/%02d", now.year, now.month, now.day);
    return set(b);
  }
  if (name == "debugflag") return num(DebugFlag);
  if (name == "idle") {
    std::lock_guard<std::mutex> g(timerLock);
    return num(idleTimer.ElapsedMs() / 1000);
  }
  if (name == "localhost") return set(Host);
  if (name == "logflag") return num(LogFlag);
  if (name == "platform") return set("w32");  // existing scripts test for this value
  if (name == "remotehost") {
    if (!socket_) return set("");
    std::string h = jvbTSocket::ReverseLookup(socket_->PeerAddress());
    return set(h.empty() ? socket_->PeerDotted() : h);
  }
  if (name == "remoteip") return set(socket_ ? socket_->PeerDotted() : "0.0.0.0");
  if (name == "sock") return num(socket_ ? socket_->Handle() : -1);
  if (name == "sock.first" || name == "sock.next" || name == "sock.prev") {
    std::vector<std::string> keys = service_ ? service_->ActiveKeys() : std::vector<std::string>{};
    if (name == "sock.first") return set(keys.empty() ? "-1" : keys.front());
    std::string me = Key();
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] != me) continue;
      if (name == "sock.next") return set(i + 1 < keys.size() ? keys[i + 1] : "-1");
      return set(i > 0 ? keys[i - 1] : "-1");
    }
    return set("-1");
  }
  if (name == "time") {
    snprintf(b, sizeof b, "%02d:%02d:%02d", now.hour, now.minute, now.second);
    return set(b);
  }
  if (name == "timeout") return num(Timeout);
  if (name == "vers") return set(qms::kProductVersion);
  if (name == "version") return set(qms::kProductTitle);
  if (name == "vers.compile") return set(qms::kBuildId);
  if (name == "uptime") {
    long long s = qmsApplication ? static_cast<long long>(qmsApplication->UptimeSeconds()) : 0;
    snprintf(b, sizeof b, "%lld/%2.2lld:%2.2lld:%2.2lld", s / 86400, (s / 3600) % 24, (s / 60) % 60,
             s % 60);
    return set(b);
  }
  return GetUserVars(name, value);
}
