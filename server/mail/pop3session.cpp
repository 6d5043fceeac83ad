#include "server/mail/pop3session.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "server/core/commandtable.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/mail/dotstuffer.h"
#include "server/mail/mailbox.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/md5.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

// The first blank-separated word and the rest (without the blanks between).
std::string SplitWord(const std::string& text, std::string& rest) {
  size_t sp = text.find(' ');
  if (sp == std::string::npos) {
    rest.clear();
    return text;
  }
  size_t r = text.find_first_not_of(' ', sp);
  rest = r == std::string::npos ? std::string() : text.substr(r);
  return text.substr(0, sp);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
    text.replace(p, from.size(), to);
}

}  // namespace

qmsTPOP3Session::qmsTPOP3Session(qmsTService* service) : qmsTSession(service) {}

qmsTPOP3Session::~qmsTPOP3Session() { lock_.Release(); }

std::unique_ptr<qmsTSession> qmsMakePOP3Session(qmsTService* service) {
  return std::make_unique<qmsTPOP3Session>(service);
}

int64_t qmsTPOP3Session::MessageNumber(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return 0;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    if (value > (std::numeric_limits<int64_t>::max() - 9) / 10) return 0;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

bool qmsTPOP3Session::Start() {
  qmsTSession::Start();
  HomeDirectory = qmsTMailbox::ReadHomeDirectory(Group()->Config());
  return WaitAndServe([this] { Serve(); });
}

bool qmsTPOP3Session::GetVars(const std::string& name, std::string& value) {
  if (qmsTSession::GetVars(name, value)) return true;
  if (name == "messages") {
    value = std::to_string(MessageCount);
    return true;
  }
  if (name == "messagessize") {
    value = std::to_string(MessagesSize);
    return true;
  }
  if (name == "status") {
    value = std::to_string(Status);
    return true;
  }
  return false;
}

void qmsTPOP3Session::Serve() {
  jvbTraceScope trace("qmsTPOP3Session.Start");
  ConnectGate gate;
  gate.refuse = [this] { SendTxt("ERRb", "CONNECT"); };
  gate.greet = [this] { Greet(); };
  if (PassConnectGate(gate)) ServeCommands();

  lock_.Release();
  if (quit_failed_) {
    // Some marked message could not be removed: the client must not believe it was.
    std::string text;
    if (!Messages() || !Messages()->ReadValue("QUIT", "ERRa", text) || text.empty())
      text = "-ERR Some messages marked as deleted could not be removed";
    SendCmd("", text);
  } else {
    SendTxt("OKa", "QUIT");
  }
  Log("Client session ended");
}

void qmsTPOP3Session::ServeCommands() {
  jvbTTextConfig* cfg = Group()->Config();
  const std::string& section = Service()->Section();
  std::string commandHook;
  cfg->ReadString(commandHook, section, "hookOnCommand");
  while (!terminate) {
    std::string line;
    int rc = ReadLine(line, kMaxLine);
    if (rc == -3) {
      SendTxt("ERRa", "GLOB");
      continue;
    }
    if (rc != 1) break;
    std::string argument;
    std::string command = jvb::AsciiUpper(SplitWord(StripCommandLine(line), argument));
    if (command != "PASS" && !commandHook.empty()) {
      // The hook sees the client's words as they came, never as template forms.
      std::string output;
      if (CallHook(output, commandHook + " " + qmsNeutralizeTemplate(command) + " " +
                               qmsNeutralizeTemplate(argument)) >= 1)
        command = SplitWord(output, argument);
    }
    jvbTrace(command == "PASS" ? command + " (hidden)" : command + " " + argument);
    if (command == "QUIT") {
      cQUIT();
      break;
    }
    Dispatch(command, argument);
  }
}

void qmsTPOP3Session::Greet() {
  Greeting = TimeStamp();
  // Sent exactly as it stands: the client digests these very bytes.
  SendCmd("", qmsNeutralizeTemplate("+OK " + Greeting + " POP3d ready " + ProductTail()));
}

void qmsTPOP3Session::Dispatch(const std::string& command, const std::string& argument) {
  using Session = qmsTPOP3Session;
  using Command = qmsTCommand<Session, const std::string&, const std::string&>;
  static constexpr uint32_t kAuthorization = qmsStates({stAuthorization});
  static constexpr uint32_t kUserGiven = qmsStates({stUserGiven});
  static constexpr uint32_t kTransaction = qmsStates({stTransaction});
  static const Command kCommands[] = {
      {"APOP", kAuthorization, &Session::cAPOP}, {"DELE", kTransaction, &Session::cDELE},
      {"CAPA", kAnyState, &Session::cCAPA},      {"STLS", kAuthorization, &Session::cSTLS},
      {"LIST", kTransaction, &Session::cLIST},   {"NOOP", kAnyState, &Session::cNOOP},
      {"PASS", kUserGiven, &Session::cPASS},     {"RETR", kTransaction, &Session::cRETR},
      {"RSET", kTransaction, &Session::cRSET},   {"STAT", kTransaction, &Session::cSTAT},
      {"TOP", kTransaction, &Session::cRETR},    {"UIDL", kTransaction, &Session::cLIST},
      {"USER", kAuthorization, &Session::cUSER},
  };
  auto refuse = [this](const Command& entry) { RefuseOutOfState(entry.word); };
  const bool tls = Service()->TlsMode() != qmsTTlsMode::kOff;
  if (!tls && (command == "CAPA" || command == "STLS")) return SendTxt("ERRa", "GLOB");
  if (!qmsRunCommand(*this, kCommands, command, Status, refuse, command, argument))
    SendTxt("ERRa", "GLOB");
}

void qmsTPOP3Session::RefuseOutOfState(const std::string& command) {
  // PASS without USER has its own text; every other command names its own section.
  SendTxt(command == "PASS" ? "ERRc" : "ERRa", command);
}

std::string qmsTPOP3Session::ReplyLine(const std::string& key, const std::string& section,
                                       const Values& values) {
  std::string text;
  ReplyText(section, key, text);
  for (const auto& [from, to] : values) ReplaceAll(text, from, qmsNeutralizeTemplate(to));
  std::string line = ReturnFIB(text);
  Debug(line, kDebugSend);
  return line;
}

void qmsTPOP3Session::SendFilled(const std::string& key, const std::string& section,
                                 const Values& values) {
  std::string text;
  ReplyText(section, key, text);
  for (const auto& [from, to] : values) ReplaceAll(text, from, qmsNeutralizeTemplate(to));
  SendCmd("", text);
}

void qmsTPOP3Session::LogFormat(const char* format, const std::string& text, int64_t number) {
  char b[512];
  snprintf(b, sizeof b, format, text.c_str(), static_cast<long long>(number));
  Log(b);
}

bool qmsTPOP3Session::MailDenied() { return User() && User()->DenyService(Service()->Section()); }

void qmsTPOP3Session::cCAPA(const std::string& /*command*/, const std::string& /*argument*/) {
  std::string list = ReplyLine("OKa", "CAPA") + "\r\nTOP\r\nUIDL\r\nUSER\r\n";
  if (TlsOffered()) list += "STLS\r\n";
  SendRaw(list + ".\r\n");
}

void qmsTPOP3Session::cSTLS(const std::string& /*command*/, const std::string& /*argument*/) {
  if (!TlsOffered()) return SendTxt("ERRa", "STLS");
  SendTxt("OKa", "STLS");
  StartTls();  // a failed handshake has shut the connection down
}

bool qmsTPOP3Session::RefusedWithoutTls() {
  if (!TlsRequired()) return false;
  SendTxt("ERRb", "STLS");
  Log("Login refused on a plain connection (TLS required)", kLogUser);
  return true;
}

void qmsTPOP3Session::cUSER(const std::string& /*command*/, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cUSER");
  if (RefusedWithoutTls()) return;
  const std::string name = jvb::AsciiLower(argument);
  if (SessionUser(name) == usRejectedByHook) return;  // the hook has answered
  // The same answer for known and unknown names: USER does not reveal accounts.
  SendFilled("OKa", "USER", {{"%(usr.username)", qmsVisibleText(name)}});
  Status = stUserGiven;
}

void qmsTPOP3Session::cPASS(const std::string& /*command*/, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cPASS");
  qmsTPasswordResult rc = SessionPassword(argument);
  // Anonymous accounts pass the session base even when denied the service; a mailbox
  // anybody can open must stay closed when the account file says so.
  if (rc == pwAuthenticated && User()->GetAnonymous() && MailDenied()) {
    Log("Not authenticated; Service access denied", kLogUser);
    rc = pwServiceDenied;
  }
  if (rc == pwAuthenticated) {
    if (LockMailbox()) {
      SendTxt("OKa", "PASS");
      Status = stTransaction;
    } else {
      SendTxt("ERRb", "PASS");
      Log("Unable to lock mailbox");
    }
  } else if (rc != pwRejectedByHook) {
    SendTxt("ERRa", "PASS");
  }
  if (Status != stTransaction) {
    user_.reset();
    Status = stAuthorization;
  }
}

void qmsTPOP3Session::cAPOP(const std::string& /*command*/, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cAPOP");
  if (RefusedWithoutTls()) return;
  std::string rest, more;
  const std::string name = jvb::AsciiLower(SplitWord(argument, rest));
  const std::string digest = SplitWord(rest, more);
  const qmsTUserResult rc = SessionUser(name);
  if (rc == usRejectedByHook) return;  // the hook has answered
  // Guesses of the secret, unknown accounts and accounts without a secret all wait like
  // wrong passwords, so that the answer tells nothing about the account.
  const bool heldBack = LoginHeldBack();
  const std::string secret = rc == usIdentified && !heldBack ? User()->GetAPOPSecret() : "";
  if (secret.empty()) {
    if (rc != usIdentified)
      Log("Not authenticated; Unknown user", kLogUser);
    else if (!heldBack)
      Log("Not authenticated; No APOP secret available", kLogUser);
    LoginFailed(FailDelay());
    SendTxt("ERRb", "APOP");
    user_.reset();
    return;
  }
  bool match = qmsMD5Hex(Greeting + secret) == digest;
  if (!match || MailDenied()) {
    if (!match) LoginFailed(FailDelay());
    SendTxt("ERRb", "APOP");
    Log("Not authenticated; APOP secret mismatch", kLogUser);
    user_.reset();
    return;
  }
  const std::string patterns = User()->GetClientAddress();
  if (!patterns.empty() &&
      !AcceptClient(patterns, Socket()->peerHostName, Socket()->PeerDotted())) {
    SendTxt("ERRb", "PASS");
    Log("Not authenticated; Remote host denied", kLogUser);
    user_.reset();
    return;
  }
  Log("Authenticated; APOP", kLogUser);
  LoginSucceeded();
  if (LockMailbox()) {
    SendTxt("OKa", "APOP");
    Status = stTransaction;
  } else {
    SendTxt("ERRc", "APOP");
    Log("Unable to lock mailbox");
    user_.reset();
  }
}

bool qmsTPOP3Session::LockMailbox() {
  jvbTraceScope trace("qmsTPOP3Session.LockMailbox");
  const std::string user = User()->GetUsername();
  qmsTMailbox box(FileSys(), HomeDirectory, user);
  jvb::RootDir inbox;
  if (!box.OpenInbox(inbox, true)) {
    std::string where = box.VirtualInbox();
    if (where.empty()) where = HomeDirectory + "/" + user;
    Log("Unable to create mailbox " + qmsQuoted(where));
    return false;
  }
  qmsTMailboxLock::Result r = lock_.Lock(std::move(inbox), box.Inbox(), user);
  if (r == qmsTMailboxLock::lkPathTooLong)
    Log("Message path too long for the mailbox index in " + qmsQuoted(box.VirtualInbox()));
  if (r != qmsTMailboxLock::lkLocked) return false;
  Mailbox = box.Inbox();
  MessageCount = lock_.Count();
  MessagesSize = lock_.TotalSize();
  return true;
}

void qmsTPOP3Session::cDELE(const std::string& /*command*/, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cDELE");
  const int64_t n = MessageNumber(argument);
  const qmsTMailboxEntry* e = lock_.Entry(n);
  if (!e) {
    SendTxt("ERRb", "DELE");
    LogFormat("%s \"%lld\", not found", "DELE", n);
    return;
  }
  if (e->deleted) {
    SendTxt("ERRc", "DELE");
    LogFormat("%s \"%lld\", already deleted", "DELE", n);
    return;
  }
  lock_.SetDeleted(n, true);
  SendFilled("OKa", "DELE",
             {{"%(message)", std::to_string(n)}, {"%(messagesize)", std::to_string(e->size)}});
  LogFormat("%s \"%lld\", ok", "DELE", n);
}

void qmsTPOP3Session::cLIST(const std::string& command, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cLIST");
  const bool uidl = command == "UIDL";
  if (argument.empty()) {
    std::string out = ReplyLine("OKb", command) + "\r\n";
    Log(command + " Ok");
    for (int i = 1; i <= lock_.Count(); ++i) {
      const qmsTMailboxEntry* e = lock_.Entry(i);
      if (e->deleted) continue;
      out += std::to_string(i);
      out += ' ';
      out += uidl ? e->uniqueId : std::to_string(e->size);
      out += "\r\n";
    }
    out += ".\r\n";
    SendRaw(out);
    return;
  }
  const int64_t n = MessageNumber(argument);
  const qmsTMailboxEntry* e = lock_.Entry(n);
  if (!e) {
    SendTxt("ERRb", command);
    LogFormat("%s \"%lld\", not found", command, n);
    return;
  }
  if (uidl)
    SendFilled("OKa", command, {{"%(message)", std::to_string(n)}, {"%(messageid)", e->uniqueId}});
  else
    SendFilled("OKa", command,
               {{"%(message)", std::to_string(n)}, {"%(messagesize)", std::to_string(e->size)}});
  LogFormat("%s \"%lld\", ok", command, n);
}

void qmsTPOP3Session::cRETR(const std::string& command, const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cRETR");
  int64_t n = 0, limit = -1;
  const qmsTMailboxEntry* e = checkRETR(command, argument, n, limit);
  if (e) proceedRETR(command, *e, n, limit);
}

const qmsTMailboxEntry* qmsTPOP3Session::checkRETR(const std::string& command,
                                                   const std::string& argument, int64_t& n,
                                                   int64_t& limit) {
  std::string rest;
  n = MessageNumber(SplitWord(argument, rest));
  const qmsTMailboxEntry* e = lock_.Entry(n);
  if (!e) {
    SendTxt("ERRb", command);
    LogFormat("%s \"%lld\", not found", command, n);
    return nullptr;
  }
  if (e->deleted) {
    SendTxt("ERRd", command);
    LogFormat("%s \"%lld\", deleted", command, n);
    return nullptr;
  }
  limit = -1;
  if (command == "TOP") {
    limit = MessageNumber(rest);
    if (limit < 0) limit = 0;
  }
  return e;
}

void qmsTPOP3Session::proceedRETR(const std::string& command, const qmsTMailboxEntry& e, int64_t n,
                                  int64_t limit) {
  // Opened as a regular file only: a FIFO or device put in its place never blocks us.
  jvbTTextFile file;
  file.Init(lock_.Inbox(), e.name, jvb::fmReadExclusive);
  if (!file.Open()) {
    SendTxt("ERRc", command);
    LogFormat("%s \"%lld\", unable to read", command, n);
    return;
  }
  const std::string reply =
      ReplyLine("OKa", command,
                {{"%(message)", std::to_string(n)}, {"%(messagesize)", std::to_string(e.size)}});
  LogFormat("%s \"%lld\", ok", command, n);
  SendMessage(reply, file, limit);
  file.Close();
}

void qmsTPOP3Session::SendMessage(const std::string& reply, jvbTTextFile& file, int64_t limit) {
  // Known size: read exactly that much, so no read is spent on finding the end.
  int64_t left = file.OpenedSize();
  const size_t block =
      left >= 0 ? std::min<size_t>(kBlockSize, static_cast<size_t>(left)) : kBlockSize;
  std::vector<char> buffer(std::max<size_t>(block, 1));
  std::string out;
  out.reserve(reply.size() + 2 + block + block / 8 + 3);
  out = reply + "\r\n";
  bool ok = true;
  bool done = false;
  qmsTDotStuffer stuffer(limit, [this](const std::string& line) { Debug(line, kDebugSend); });

  auto flush = [&]() {
    if (ok && !out.empty()) ok = SendRaw(out);
    out.clear();
  };

  while (ok && !done && left != 0 && !terminate) {
    ResetIdle();
    const int64_t want =
        left > 0 ? std::min<int64_t>(left, static_cast<int64_t>(buffer.size())) : buffer.size();
    const int64_t n = file.BlockRead(buffer.data(), want);
    if (n <= 0) break;
    if (left > 0) left -= n;
    done = stuffer.Feed(buffer.data(), static_cast<size_t>(n), out);
    if (out.size() >= kBlockSize) flush();
    if (n < want) break;  // the file ended early
  }
  // The end mark goes out with the last data: one segment, no wait for an ACK.
  stuffer.Finish(out);
  flush();
}

void qmsTPOP3Session::cRSET(const std::string& /*command*/, const std::string& /*argument*/) {
  lock_.ClearMarks();
  SendTxt("OKa", "RSET");
  Log("RSET Ok");
}

void qmsTPOP3Session::cSTAT(const std::string& /*command*/, const std::string& /*argument*/) {
  SendTxt("OKa", "STAT");
  Log("STAT Ok");
}

void qmsTPOP3Session::cNOOP(const std::string& /*command*/, const std::string& /*argument*/) {
  SendTxt("OKa", "NOOP");
}

void qmsTPOP3Session::cQUIT() {
  jvbTraceScope trace("qmsTPOP3Session.cQUIT");
  for (int i = 1; i <= lock_.Count(); ++i) {
    const qmsTMailboxEntry* e = lock_.Entry(i);
    if (!e->deleted) continue;
    const bool removed = qmsTMailbox::RemoveMessage(lock_.Inbox(), e->name);
    if (!removed) {
      quit_failed_ = true;
      Log("Unable to delete message file " + qmsQuoted(e->path));
    }
  }
  Log("Logout");
}
