#include "console/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "console/consolescreen.h"
#include "toolbox/md5.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

constexpr uint16_t kAdminPort = 4321;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kWaitMs = 50;
constexpr int kPacketTimeoutMs = 10000;  // a packet that stalls longer breaks the link
constexpr int kKeepAliveMs = 5000;
constexpr const char* kConsoleName = "qms32con";
constexpr const char* kConsoleTitle = "Quillmar/32 v0.9.5 Console";

std::string Format(const char* format, auto... values) {
  char buf[256];
  snprintf(buf, sizeof buf, format, values...);
  return buf;
}

bool ParseNumber(const std::string& text, long max, int* out) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (*end || v < 0 || v > max || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  *out = static_cast<int>(v);
  return true;
}

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t next; (next = text.find(by, at)) != std::string::npos; at = next + 1) {
    parts.push_back(text.substr(at, next - at));
  }
  parts.push_back(text.substr(at));
  return parts;
}

}  // namespace

// --- command line -------------------------------------------------------------------------

qmsTConsoleOptions qmsTConsoleOptions::Parse(const std::vector<std::string>& args) {
  qmsTConsoleOptions o;
  o.empty = args.empty();
  for (const auto& a : args) {
    if (a.empty()) continue;
    if (a[0] != '-' && a[0] != '/') {
      if (o.address.empty()) o.address = a;
      continue;
    }
    char letter = a.size() > 1 ? static_cast<char>(tolower(static_cast<unsigned char>(a[1]))) : 0;
    std::string value = a.size() > 2 ? a.substr(2) : "";
    if (letter == '?' || letter == 'h') {
      o.usage = true;
    } else if (letter == 'p') {
      o.hasPassword = true;
      o.password = value;
    } else if (letter == 't') {
      o.trace = true;
      o.tracePath = value;
    }
  }
  return o;
}

bool qmsParseConsoleAddress(const std::string& text, uint32_t* address, uint16_t* port) {
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    int p = 0;
    if (!ParseNumber(text.substr(colon + 1), 65535, &p) || p == 0) return false;
    *port = static_cast<uint16_t>(p);
  }
  return jvbTSocket::ParseDotted(text.substr(0, colon), address);
}

bool qmsParseServiceStatus(const std::string& name, const std::string& value,
                           qmsTServiceStatus& s) {
  const std::string head = "qms.server.", tail = ".status";
  if (name.size() < head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  std::string middle = name.substr(head.size(), name.size() - head.size() - tail.size());
  size_t dot = middle.rfind('.');
  if (dot == std::string::npos) return false;
  s.group = middle.substr(0, dot);
  s.service = middle.substr(dot + 1);
  std::vector<std::string> f = Split(value, ' ');
  int* numbers[] = {&s.groupIndex, &s.serviceIndex, &s.protocol, &s.state, &s.pool, &s.sessions};
  if (f.size() != 6) return false;
  for (size_t i = 0; i < f.size(); ++i) {
    if (!ParseNumber(f[i], 1000000000, numbers[i])) return false;
  }
  return true;
}

// --- start-up -----------------------------------------------------------------------------

qmsTConsole::qmsTConsole()
    : in_(std::make_unique<qmpTBuffer>()), out_(std::make_unique<qmpTBuffer>()) {}

qmsTConsole::~qmsTConsole() = default;

int qmsTConsole::Run(const std::vector<std::string>& args) {
  qmsTConsoleOptions options = qmsTConsoleOptions::Parse(args);
  StartTrace(options);
  int rc = Start(options);
  screen_.reset();  // the terminal is back before anything else is written
  socket_.Close();
  if (!farewell_.empty()) fprintf(stderr, "%s\r\n", farewell_.c_str());
  if (options.trace) jvbTraceThreadEnd();
  return rc;
}

void qmsTConsole::StartTrace(const qmsTConsoleOptions& options) {
  if (!options.trace) return;
  jvbTraceFileName = options.tracePath.empty() ? jvb::ProgramDirectory() + "/con%4.4x%s.trc"
                                               : options.tracePath + "%4.4x%s.trc";
  jvbTraceEnabled = true;
  jvbTraceThreadStart();
}

void qmsTConsole::Banner() {
  Console(std::string(78, '-'));
  Console(Format("%s%*s", kConsoleTitle, 45, qms::kMakerNotice));
  Console(Format("%s%*s", qms::kBuildId, 44, qms::kHomePageUrl));
  Console("");
}

void qmsTConsole::Usage() {
  Console("Usage:");
  Console(std::string("  ") + kConsoleName + " {address} {-p[password]} {-t{tracepath}}");
  Console(std::string("  ") + kConsoleName + " [-?|-h]");
}

int qmsTConsole::Start(const qmsTConsoleOptions& options) {
  jvbTraceScope trace("qmsTConsole.Run");
  Banner();
  configFile_ = jvb::ProgramDirectory() + "/../" + qms::kMainConfig;
  if (options.usage || (options.empty && !jvb::FileExists(configFile_))) {
    Usage();
    return kExitOk;
  }
  if (!Connect(options)) return kExitFailed;
  return Loop();
}

// Password, address and port: from the command line, else from the configuration file,
// else the defaults. The port is the one given with the address, else the one the local
// server's configuration names, else the standard one.
std::string qmsTConsole::Settings(const qmsTConsoleOptions& options, uint16_t* port) {
  std::unique_ptr<jvbTTextConfig> config;
  if (jvb::FileExists(configFile_)) config = std::make_unique<jvbTTextConfig>(configFile_);
  password_ = options.password;
  if (!options.hasPassword && config && config->ReadValue("ADMIN", "Password", password_)) {
    Console("Password read from config file ...");
  }
  std::string address = options.address, portText;
  if (address.empty() && config && config->ReadValue("ADMIN", "Address", address) &&
      !address.empty()) {
    Console("Address read from config file ...");
  }
  *port = kAdminPort;
  int configured = 0;
  if (config && config->ReadValue("ADMIN", "Port", portText) &&
      ParseNumber(portText, 65535, &configured) && configured > 0) {
    *port = static_cast<uint16_t>(configured);
  }
  return address.empty() ? "127.0.0.1" : address;
}

bool qmsTConsole::Connect(const qmsTConsoleOptions& options) {
  jvbTraceScope trace("qmsTConsole.Connect");
  uint16_t port = 0;
  std::string address = Settings(options, &port);
  uint32_t ip = 0;
  if (!qmsParseConsoleAddress(address, &ip, &port)) {
    Console("Invalid address \"" + address + "\"");
    Console("Connection failed, aborting ...");
    return false;
  }
  Console("Connecting to " + jvbTSocket::Dotted(ip) + " ...");
  if (socket_.Connect(ip, port, kConnectTimeoutMs) != 0) {
    Console("Connection failed, aborting ...");
    return false;
  }
  Console("Connected to " + jvbTSocket::Dotted(ip) + " ...");
  keepAlive_.Reset();
  Console("Requesting server identity ...");
  sender_.Request(qmpIdentity, *out_);
  qmpTSession::SetText("Quillmar/32 Console", 0, *out_);
  qmpTSession::SetText(qms::kProductVersion, 4, *out_);
  qmpTSession::SetText(qms::kBuildId, 8, *out_);
  Send();
  return true;
}

// --- run loop -----------------------------------------------------------------------------

int qmsTConsole::Loop() {
  jvbTraceScope trace("qmsTConsole.Loop");
  elapsed_.Reset();
  while (!lost_ && exit_ < 0) {
    if (qmsConsoleStopRequested()) return kExitOk;
    if (int letter = screen_ ? screen_->ReadKey() : 0) {
      OnKey(letter);
      continue;
    }
    int ready = socket_.WaitReadable(kWaitMs);
    if (ready < 0) break;
    if (ready == 0) {
      Idle();
    } else if (!Receive()) {
      break;
    }
    if (keepAlive_.ElapsedMs() > kKeepAliveMs) {
      keepAlive_.Reset();
      SendPing();
    }
  }
  return exit_ >= 0 ? exit_ : kExitOk;  // a lost link ends without a word
}

void qmsTConsole::Idle() {
  int64_t second = elapsed_.ElapsedMs() / 1000;
  if (second == lastSecond_) {
    usleep(kWaitMs * 1000);
    return;
  }
  lastSecond_ = second;
  if (screen_ && second > 0) {
    screen_->SetRates(static_cast<int>(bytesSent_ / second),
                      static_cast<int>(bytesReceived_ / second));
  }
}

bool qmsTConsole::Receive() {
  if (qmpReceive(socket_, *in_, kPacketTimeoutMs) != qmpReceived) {
    lost_ = true;
    return false;
  }
  ++packetsReceived_;
  bytesReceived_ += static_cast<uint32_t>(in_->Size());
  if (Dispatch()) return true;
  exit_ = kExitFailed;
  farewell_ = "Broken packet from the server, connection closed ...";
  return false;
}

// False when the packet is broken: too short for its code's fixed part, or a text that
// lies outside it.
bool qmsTConsole::Dispatch() {
  int code = in_->Code(), kind = in_->Kind();
  bool known = code == qmpPing || code == qmpIdentity || code == qmpAuthenticate ||
               code == qmpGetInt || code == qmpGetStr;
  if (!known) return true;  // codes this console does not act on
  if (in_->Length() < qmpFixedSize(code)) return false;
  if (code == qmpPing) return kind == qmpRequest ? OnPing() : true;
  if (code == qmpIdentity) return kind == qmpResult ? OnIdentity() : true;
  if (code == qmpAuthenticate) {
    if (kind == qmpRequest) return OnChallenge();
    return kind == qmpInformation ? OnVerdict() : true;
  }
  return code == qmpGetInt ? OnInteger() : OnString();
}

bool qmsTConsole::OnPing() {
  unsigned char stamp[8];
  in_->GetBytes(0, stamp, 8);
  sender_.Result(*in_, *out_);
  out_->PutBytes(0, stamp, 8);
  Send();
  if (screen_) {
    uint32_t ms = in_->GetLong(0) % 86400000u;
    screen_->SetTime(Format("%2.2u:%2.2u:%2.2u", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60));
  }
  return true;
}

bool qmsTConsole::OnIdentity() {
  jvbTraceScope trace("qmsTConsole.OnIdentity");
  static const char* kLines[] = {
      "Remote server application: \"%s\"", "Remote server version....: \"%s\"",
      "Remote server build id...: \"%s\"", "Remote server root.......: \"%s\""};
  std::string texts[4];
  for (int i = 0; i < 4; ++i) {
    if (!qmpTSession::GetText(i * 4, *in_, texts[i])) return false;
  }
  for (int i = 0; i < 4; ++i) Console(Format(kLines[i], texts[i].c_str()));
  return true;
}

bool qmsTConsole::OnChallenge() {
  jvbTraceScope trace("qmsTConsole.OnChallenge");
  std::string challenge;
  if (!qmpTSession::GetText(1, *in_, challenge)) return false;
  Console("Replied to authentication request ...");
  sender_.Result(*in_, *out_);
  out_->PutByte(0, 4);
  qmpTSession::SetText(qmsMD5Hex(challenge + password_), 1, *out_);
  Send();
  return true;
}

bool qmsTConsole::OnVerdict() {
  jvbTraceScope trace("qmsTConsole.OnVerdict");
  if (in_->GetByte(0) == 0) {
    Console("Authenticated ...");
    SwitchToFullScreen();
  } else {
    Console("Not authenticated, aborting ...");
    exit_ = kExitNotAuthenticated;
  }
  return true;
}

bool qmsTConsole::OnInteger() {
  std::string name;
  if (!qmpTSession::GetText(2, *in_, name)) return false;
  if (!screen_) return true;
  uint32_t value = in_->GetLong(6);
  if (name == "qms.uptime") screen_->SetUptime(value);
  if (name == "qms.memory.used") screen_->SetMemory(static_cast<int32_t>(value));
  return true;
}

bool qmsTConsole::OnString() {
  std::string name, value;
  if (!qmpTSession::GetText(2, *in_, name) || !qmpTSession::GetText(6, *in_, value)) {
    return false;
  }
  if (name == "qms.console.output") {
    Console(value);
    return true;
  }
  qmsTServiceStatus s;
  if (screen_ && qmsParseServiceStatus(name, value, s)) {
    screen_->SetService(s.groupIndex, s.serviceIndex, s.group, s.service, s.pool, s.sessions);
  }
  return true;
}

// --- keys and sending ---------------------------------------------------------------------

void qmsTConsole::OnKey(int letter) {
  jvbTraceScope trace("qmsTConsole.OnKey");
  static const std::pair<int, const char*> kWords[] = {
      {'d', "debug"},   {'h', "help"},    {'i', "instant"},
      {'r', "restart"}, {'v', "version"}, {'x', "shutdown"},
  };
  if (letter == 'e') {
    exit_ = kExitOk;
    return;
  }
  for (const auto& [key, word] : kWords) {
    if (key == letter) SendCommand(word);
  }
  if (letter == 'h') {
    Console("HELP (Alt+H)                                 -[ Press Alt+E to exit console ]-");
  }
}

void qmsTConsole::SendCommand(const std::string& word) {
  jvbTraceScope trace("qmsTConsole.SendCommand");
  unsigned char stamp[8];
  jvb::PutStamp8(stamp, jvb::NowLocal());
  sender_.Request(qmpCommand, *out_);
  out_->PutByte(0, 0);
  out_->PutBytes(1, stamp, 8);
  qmpTSession::SetText(word, 9, *out_);
  Send();
}

void qmsTConsole::SendPing() {
  unsigned char stamp[8];
  jvb::PutStamp8(stamp, jvb::NowLocal());
  sender_.Request(qmpPing, *out_);
  out_->PutBytes(0, stamp, 8);
  Send();
}

bool qmsTConsole::Send() {
  if (lost_ || !qmpSend(socket_, *out_)) {
    lost_ = true;
    return false;
  }
  ++packetsSent_;
  bytesSent_ += static_cast<uint32_t>(out_->Size());
  return true;
}

void qmsTConsole::Console(const std::string& text) {
  if (screen_) {
    screen_->Output(text);
    return;
  }
  fputs(text.c_str(), stdout);
  fputs("\r\n", stdout);  // console lines end as the server's do
  fflush(stdout);
}

void qmsTConsole::SwitchToFullScreen() {
  jvbTraceScope trace("qmsTConsole.SwitchToFullScreen");
  // Without a terminal the console stays in line mode and keeps printing console lines.
  screen_ = qmsTConsoleScreen::Open();
}
