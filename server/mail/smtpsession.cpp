// qmsTSMTPSession: settings, the connection and command loop, variables and helpers.
// The command handlers are in smtpcommands.cpp, recipient handling in smtprecipients.cpp.
#include "server/mail/smtpsession.h"

#include <algorithm>
#include <cstdio>

#include "server/core/commandtable.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/mail/delivery.h"
#include "server/mail/smtpclient.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/socket.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"

namespace {

// Ordering of the domain lists: ASCII case folded, nothing else, so that a lookup finds
// an entry whatever the case of either side.
bool FoldLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

// List settings: words separated by blanks, commas or semicolons; sorted for the lookups.
std::vector<std::string> SortedList(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : ' ';
    if (c == ' ' || c == ',' || c == ';' || c == '\t') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  std::sort(out.begin(), out.end(), FoldLess);
  return out;
}

bool InSortedList(const std::vector<std::string>& list, const std::string& word) {
  auto it = std::lower_bound(list.begin(), list.end(), word, FoldLess);
  return it != list.end() && jvb::EqualNoCase(*it, word);
}

// A name made only of digits and points could be a reverse-lookup answer that imitates an
// address; it must never satisfy an address pattern.
bool LooksNumeric(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host)
    if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
  return true;
}

}  // namespace

qmsTSMTPSession::qmsTSMTPSession(qmsTService* service) : qmsTSession(service) {}

// An open transaction's files go with the session (qmsTQueueFile removes what it made).
qmsTSMTPSession::~qmsTSMTPSession() = default;

bool qmsTSMTPSession::Start() {
  jvbTraceScope trace("qmsTSMTPSession.Start");
  qmsTSession::Start();
  ReadSettings();
  if (!WaitInPool()) return false;
  if (Socket())
    srvRun();
  else
    cliRun();
  return true;
}

void qmsTSMTPSession::ReadSettings() {
  if (!Service()) return;
  jvbTTextConfig* cfg = Group()->Config();
  const std::string& section = Service()->Section();
  const std::string& file = cfg->FileName();
  auto required = [&](const std::string& sec, const char* key, std::string& value) {
    if (cfg->ReadValue(sec, key, value)) return true;
    value.clear();
    qmsLog(sec + "/" + key + " not found in " + file);
    return false;
  };
  required("GLOBAL", "HomeDirectory", HomeDirectory);
  HomeDirectory = jvb::NativePath(HomeDirectory);
  BindOnDelivery = false;
  cfg->ReadBool(section, "BindOnDelivery", BindOnDelivery);
  CatchAllIdent.clear();
  cfg->ReadString(CatchAllIdent, section, "CatchAllIdent");
  ConnectRetryDelay = 30;
  cfg->ReadInteger(ConnectRetryDelay, section, "ConnectRetryDelay");
  ConnectRetryDelay = std::max(ConnectRetryDelay, 0);
  required(section, "ForwardAddress", ForwardAddress);
  std::string text;
  cfg->ReadString(text, section, "ForwardDomains");
  ForwardDomains = SortedList(text);
  std::string tls;
  cfg->ReadString(tls, section, "DeliveryTLS");
  tls = jvb::AsciiLower(tls);
  DeliveryTls = tls == "verify" ? 2 : (tls == "opportunistic" || tls == "on" ? 1 : 0);
  text.clear();
  cfg->ReadString(text, section, "DeliveryTLSVerifyDomains");
  DeliveryTlsVerifyDomains = SortedList(text);
  ForwardToServer.clear();
  cfg->ReadString(ForwardToServer, section, "ForwardToServer");
  uint32_t address = 0;
  if (!ForwardToServer.empty() && !jvbTSocket::ParseDotted(ForwardToServer, &address)) {
    qmsLog(section + "/ForwardToServer bad setting found and ignored");
    ForwardToServer.clear();
  }
  required(section, "LocalDomain", LocalDomain);
  text.clear();
  required(section, "LocalDomains", text);
  LocalDomains = SortedList(text);
  LookupRetries = 5;
  cfg->ReadInteger(LookupRetries, section, "LookupRetries");
  LookupRetries = std::max(LookupRetries, 0);
  LookupRetryDelay = 5;
  cfg->ReadInteger(LookupRetryDelay, section, "LookupRetryDelay");
  LookupRetryDelay = std::max(LookupRetryDelay, 0);
  MessageAgeMax = 7200;
  cfg->ReadInteger(MessageAgeMax, section, "MessageAgeMax");
  MessageAgeMax = std::max(MessageAgeMax, 0);
  required(section, "QueueDirectory", QueueDirectory);
  QueueDirectory = jvb::NativePath(QueueDirectory);
  text.clear();
  cfg->ReadString(text, section, "QueueNameTag");
  QueueNameTag = qmsTQueueFile::ParseInstanceTag(text);
  MessageSizeMax = 51200;
  cfg->ReadInteger(MessageSizeMax, section, "MessageSizeMax");
  MessageSizeMax = std::clamp(MessageSizeMax, 1, 2 * 1024 * 1024 - 1);
}

// --- Connection ------------------------------------------------------------------------

void qmsTSMTPSession::srvRun() {
  jvbTraceScope trace("qmsTSMTPSession.srvRun");
  ConnectGate gate;
  gate.hookReplyWithBlock = true;
  gate.logCategory = kLogUser;
  gate.refuse = [this] { SendTxt("421b", "CONNECT"); };
  gate.greet = [this] { SendIt("220 " + Host + " ESMTPd ready " + ProductTail()); };
  if (PassConnectGate(gate)) {
    ServeCommands();
    srvRSET(true);
  }
  SendTxt("221a", "QUIT");
  // Shut down, not closed: the descriptor stays ours until the session is released, so
  // its number cannot be handed to another connection while the monitor still sees it.
  if (Socket()) {
    Socket()->ShutdownSend();  // over TLS, the close_notify goes first
    Socket()->Shutdown();
  }
  if (!terminate) cliRun();
}

void qmsTSMTPSession::ServeCommands() {
  std::string output;
  while (!terminate) {
    std::string line;
    int rc = ReadLine(line, kCommandLineMax);
    if (rc == -3) {
      SendTxt("500a", "GLOB");
      Log("Command line longer than " + std::to_string(kCommandLineMax) + " bytes refused");
      continue;
    }
    if (rc != 1 || terminate) break;
    line = StripCommandLine(line);
    // The hook sees the client's words as text: they are never expanded.
    if (RunHook("hookOnCommand", qmsNeutralizeTemplate(line), output)) line = output;
    size_t blank = line.find(' ');
    std::string command = jvb::AsciiUpper(line.substr(0, blank));
    std::string argument = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    if (command == "QUIT") {
      Log("Logout");
      break;
    }
    Dispatch(command, argument);
  }
}

void qmsTSMTPSession::Dispatch(const std::string& command, const std::string& argument) {
  using Session = qmsTSMTPSession;
  using Command = qmsTCommand<Session, const std::string&>;
  static constexpr uint32_t kGreetedOn = qmsStates({phGreeted, phMail, phRecipients});
  static constexpr uint32_t kMailGiven = qmsStates({phMail, phRecipients});
  static constexpr uint32_t kRecipientGiven = qmsStates({phRecipients});
  static const Command kCommands[] = {
      {"DATA", kRecipientGiven, &Session::srvDATA}, {"EXPN", kAnyState, &Session::srvNI},
      {"HELP", kAnyState, &Session::srvNI},         {"VRFY", kAnyState, &Session::srvNI},
      {"HELO", kAnyState, &Session::cmdHELO},       {"EHLO", kAnyState, &Session::cmdEHLO},
      {"MAIL", kGreetedOn, &Session::srvMAIL},      {"NOOP", kAnyState, &Session::srvNOOP},
      {"RCPT", kMailGiven, &Session::srvRCPT},      {"RSET", kAnyState, &Session::cmdRSET},
      {"STARTTLS", kAnyState, &Session::srvSTARTTLS},
  };
  auto refuse = [&](const Command& entry) { RefuseOutOfSequence(entry.word, argument); };
  if (!qmsRunCommand(*this, kCommands, command, Phase(), refuse, argument)) SendTxt("500a", "GLOB");
}

void qmsTSMTPSession::RefuseOutOfSequence(const std::string& command, const std::string& argument) {
  if (command == "MAIL") {
    SendTxt("503a", "MAIL");
    Log("MAIL " + qmsQuoted(ExtractPath(argument)) + ", out of sequence (HELO/EHLO missing)");
  } else if (command == "RCPT") {
    SendTxt("503a", "RCPT");
    Log("RCPT " + qmsQuoted(RecipientPath(argument)) + ", out of sequence (missing MAIL)");
  } else if (Phase() < phMail) {
    SendTxt("503a", "DATA");
    Log("DATA, out of sequence (MAIL missing)");
  } else {
    SendTxt("503b", "DATA");
    Log("DATA, out of sequence (valid RCPT missing)");
  }
}

qmsTSMTPSession::PhaseValue qmsTSMTPSession::Phase() const {
  if (TransactionOpen()) return Recipients > 0 ? phRecipients : phMail;
  return Greeted ? phGreeted : phConnected;
}

void qmsTSMTPSession::cliRun() {
  jvbTraceScope trace("qmsTSMTPSession.cliRun");
  qmsDeliveryPass(*this);
}

void qmsTSMTPSession::SetOutgoing(qmsTSMTPClient* client) {
  std::lock_guard<std::mutex> g(outgoing_lock_);
  outgoing_ = client;
}

void qmsTSMTPSession::MonitorHook() {
  if (!terminate) return;
  std::lock_guard<std::mutex> g(outgoing_lock_);
  if (outgoing_) outgoing_->Shutdown();
}

bool qmsTSMTPSession::RunHook(const char* key, const std::string& argument, std::string& output) {
  output.clear();
  if (!Service()) return false;
  std::string hook;
  Group()->Config()->ReadString(hook, Service()->Section(), key);
  if (hook.empty()) return false;
  return CallHook(output, argument.empty() ? hook : hook + " " + argument) >= 1;
}

void qmsTSMTPSession::SendHookReply(const std::string& output) {
  std::string reply, block;
  SplitHookOutput(output, reply, block);
  SendCmd(block, reply);
}

// --- Variables -------------------------------------------------------------------------

bool qmsTSMTPSession::GetVars(const std::string& name, std::string& value) {
  if (qmsTSession::GetVars(name, value)) return true;
  if (name.compare(0, 6, "smtp.!") == 0) {
    // Field names are kept upper-cased; a field the message lacks is empty.
    value.clear();
    if (Header) Header->Read("MESSAGE.HEADER", jvb::AsciiUpper(name.substr(6)), value);
    return true;
  }
  if (name == "domain") {
    value = Domain;
    return true;
  }
  if (name == "ident") {
    value = Ident;
    return true;
  }
  if (name == "localdomain") {
    value = LocalDomain;
    return true;
  }
  if (name == "messagename") {
    value = MessageName + qmsTQueueFile::kBodySuffix;
    return true;
  }
  if (name == "messagepath") {
    value = MessagePath + qmsTQueueFile::kBodySuffix;
    return true;
  }
  return false;
}

// --- Helpers ---------------------------------------------------------------------------

std::string qmsTSMTPSession::ClientHost() const {
  return socket_ ? socket_->peerHostName : std::string();
}

std::string qmsTSMTPSession::ClientIP() const {
  return socket_ ? socket_->PeerDotted() : std::string("0.0.0.0");
}

bool qmsTSMTPSession::ForwardAllowed() const {
  std::string host = ClientHost();
  const std::string ip = ClientIP();
  if (LooksNumeric(host)) host = ip;
  return AcceptClient(ForwardAddress, host, ip);
}

bool qmsTSMTPSession::IsLocalDomain(const std::string& domain) const {
  return InSortedList(LocalDomains, domain);
}

bool qmsTSMTPSession::DeliveryTlsVerified(const std::string& domain) const {
  const std::string name = !domain.empty() && domain[0] == '@' ? domain.substr(1) : domain;
  return DeliveryTls == 2 || InSortedList(DeliveryTlsVerifyDomains, name);
}

bool qmsTSMTPSession::IsForwardDomain(const std::string& domain) const {
  return InSortedList(ForwardDomains, domain);
}

std::string qmsTSMTPSession::ExtractPath(const std::string& argument) {
  size_t open = argument.find('<');
  if (open == std::string::npos) return {};
  size_t close = std::string::npos;
  bool quoted = false;
  for (size_t i = open + 1; i < argument.size(); ++i) {
    if (argument[i] == '"') {
      quoted = !quoted;
    } else if (argument[i] == '>' && !quoted) {
      close = i;
      break;
    }
  }
  // An unbalanced quote does not swallow the closing bracket.
  if (close == std::string::npos) close = argument.find('>', open + 1);
  if (close == std::string::npos) close = argument.size();
  std::string path = argument.substr(open + 1, close - open - 1);
  size_t b = path.find_first_not_of('"');
  if (b == std::string::npos) return {};
  size_t e = path.find_last_not_of('"');
  return path.substr(b, e - b + 1);
}
std::string qmsTSMTPSession::RecipientPath(const std::string& argument) {
  std::string path = ExtractPath(argument);
  size_t colon = path.find(':');
  if (colon != std::string::npos) path.erase(0, colon + 1);
  return path;
}

std::string qmsTSMTPSession::ReceivedLine() const {
  // The greeting argument is the client's; control bytes would break the trace field.
  std::string remote = RemoteDomain;
  for (char& c : remote)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  const jvb::DateTime now = jvb::NowLocal();
  char date[64];
  snprintf(date, sizeof date, "%d %s %04d %02d:%02d:%02d", now.day, jvb::MonthShort(now.month),
           now.year, now.hour, now.minute, now.second);
  return "Received: from " + remote + " (" + ClientHost() + " [" + ClientIP() + "])\r\n\tby " +
         Host + " (" + qms::kProductTitle + ") with SMTP id " + MessageName + ";\r\n\t" + date +
         "\r\n";
}
