#include "server/mail/pop3session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/mail/mailbox.h"
#include "server/mail/messagesender.h"
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

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool IsBlank(unsigned char c) { return c <= 0x20; }

// Leading control bytes, blanks and bytes from 0x7F up, and trailing control bytes and
// blanks, are not part of a command line.
std::string StripLine(const std::string& line) {
  size_t b = 0;
  while (b < line.size() && (IsBlank(line[b]) || static_cast<unsigned char>(line[b]) >= 0x7F)) ++b;
  size_t e = line.size();
  while (e > b && IsBlank(line[e - 1])) --e;
  return line.substr(b, e - b);
}

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

std::string ProductTail() {
  return std::string("(QMS/32 v") + qms::kProductVersion + " - " + qms::kHomePageUrl + ")";
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
  if (!WaitInPool()) return false;
  if (!Socket()) return true;  // woken without a client: nothing to serve
  Serve();
  return true;
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
  jvbTSocket* sock = Socket();
  const std::string peer = sock->peerHostName;
  jvbTTextConfig* cfg = Group()->Config();
  const std::string& section = Service()->Section();

  bool rejected = false;
  std::string hook;
  cfg->ReadString(hook, section, "hookOnConnect");
  if (!hook.empty()) {
    std::string output;
    if (CallHook(output, hook) >= 1) {
      SendCmd("", output);
      Log("- Connection from " + Quoted(peer) + " rejected by script");
      rejected = true;
    }
  }
  if (!rejected && !AcceptClient(ClientAddress, peer, sock->PeerDotted())) {
    SendTxt("ERRb", "CONNECT");
    Log("- Connection from " + Quoted(peer) + " rejected");
    rejected = true;
  }

  if (!rejected) {
    jvb::DateTime now = jvb::NowLocal();
    double stampMs = static_cast<double>(jvb::DayNumber(now)) * 86400000.0 +
                     static_cast<double>(jvb::MillisecondsOfDay(now));
    long tid = threadId ? threadId.load() : jvb::CurrentThreadId();
    char b[512];
    snprintf(b, sizeof b, "<%ld.%.15g@%s>", tid, stampMs, Host.c_str());
    Greeting = b;
    // Sent exactly as it stands: the client digests these very bytes.
    SendCmd("", qmsNeutralizeTemplate("+OK " + Greeting + " POP3d ready " + ProductTail()));
    Log("- Connection from " + Quoted(peer) + " accepted");

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
      std::string command = jvb::AsciiUpper(SplitWord(StripLine(line), argument));
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

void qmsTPOP3Session::Dispatch(const std::string& command, const std::string& argument) {
  if (command == "APOP")
    cAPOP(argument);
  else if (command == "DELE")
    cDELE(argument);
  else if (command == "LIST")
    cLIST(command, argument);
  else if (command == "NOOP")
    cNOOP();
  else if (command == "PASS")
    cPASS(argument);
  else if (command == "RETR")
    cRETR(command, argument);
  else if (command == "RSET")
    cRSET();
  else if (command == "STAT")
    cSTAT();
  else if (command == "TOP")
    cRETR(command, argument);
  else if (command == "UIDL")
    cLIST(command, argument);
  else if (command == "USER")
    cUSER(argument);
  else
    SendTxt("ERRa", "GLOB");
}

std::string qmsTPOP3Session::ReplyLine(const std::string& key, const std::string& section,
                                       const Values& values) {
  std::string text;
  if (Messages()) Messages()->ReadValue(section, key, text);
  for (const auto& [from, to] : values) ReplaceAll(text, from, qmsNeutralizeTemplate(to));
  std::string line = ReturnFIB(text);
  Debug(line, kDebugSend);
  return line;
}

void qmsTPOP3Session::SendFilled(const std::string& key, const std::string& section,
                                 const Values& values) {
  std::string text;
  if (Messages()) Messages()->ReadValue(section, key, text);
  for (const auto& [from, to] : values) ReplaceAll(text, from, qmsNeutralizeTemplate(to));
  SendCmd("", text);
}

bool qmsTPOP3Session::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> g(send_lock_);
  return socket_ && socket_->Send(bytes);
}

void qmsTPOP3Session::LogFormat(const char* format, const std::string& text, int64_t number) {
  char b[512];
  snprintf(b, sizeof b, format, text.c_str(), static_cast<long long>(number));
  Log(b);
}

bool qmsTPOP3Session::MailDenied() { return User() && User()->DenyService(Service()->Section()); }

void qmsTPOP3Session::cUSER(const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cUSER");
  if (Status != 0) {
    SendTxt("ERRa", "USER");
    return;
  }
  const std::string name = jvb::AsciiLower(argument);
  int rc = SessionUser(name);
  if (rc < 0) return;  // a hook has answered
  // The same answer for known and unknown names: USER does not reveal accounts.
  SendFilled("OKa", "USER", {{"%(usr.username)", qmsVisibleText(name)}});
  Status = 1;
}

void qmsTPOP3Session::cPASS(const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cPASS");
  if (Status != 1) {
    SendTxt("ERRc", "PASS");
    return;
  }
  int rc = SessionPassword(argument);
  // Anonymous accounts pass the session base even when denied the service; a mailbox
  // anybody can open must stay closed when the account file says so.
  if (rc == 1 && User()->GetAnonymous() && MailDenied()) {
    Log("Not authenticated; Service access denied", kLogUser);
    rc = -2;
  }
  if (rc == 1) {
    if (LockMailbox()) {
      SendTxt("OKa", "PASS");
      Status = 2;
    } else {
      SendTxt("ERRb", "PASS");
      Log("Unable to lock mailbox");
    }
  } else if (rc != -4) {
    SendTxt("ERRa", "PASS");
  }
  if (Status != 2) {
    user_.reset();
    Status = 0;
  }
}

void qmsTPOP3Session::cAPOP(const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cAPOP");
  if (Status != 0) {
    SendTxt("ERRa", "APOP");
    return;
  }
  std::string rest, more;
  const std::string name = jvb::AsciiLower(SplitWord(argument, rest));
  const std::string digest = SplitWord(rest, more);
  int rc = SessionUser(name);
  if (rc == -1) return;  // a hook has answered
  // Guesses of the secret, unknown accounts and accounts without a secret all wait like
  // wrong passwords, so that the answer tells nothing about the account.
  const bool heldBack = LoginHeldBack();
  const std::string secret = rc == 1 && !heldBack ? User()->GetAPOPSecret() : "";
  if (secret.empty()) {
    if (rc != 1)
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
    Status = 2;
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
    Log("Unable to create mailbox " + Quoted(where));
    return false;
  }
  qmsTMailboxLock::Result r = lock_.Lock(std::move(inbox), box.Inbox(), user);
  if (r == qmsTMailboxLock::lkPathTooLong)
    Log("Message path too long for the mailbox index in " + Quoted(box.VirtualInbox()));
  if (r != qmsTMailboxLock::lkLocked) return false;
  Mailbox = box.Inbox();
  MessageCount = lock_.Count();
  MessagesSize = lock_.TotalSize();
  return true;
}

void qmsTPOP3Session::cDELE(const std::string& argument) {
  jvbTraceScope trace("qmsTPOP3Session.cDELE");
  if (Status != 2) {
    SendTxt("ERRa", "DELE");
    return;
  }
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
  if (Status != 2) {
    SendTxt("ERRa", command);
    return;
  }
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
  if (Status != 2) {
    SendTxt("ERRa", command);
    return;
  }
  std::string rest;
  const int64_t n = MessageNumber(SplitWord(argument, rest));
  const qmsTMailboxEntry* e = lock_.Entry(n);
  if (!e) {
    SendTxt("ERRb", command);
    LogFormat("%s \"%lld\", not found", command, n);
    return;
  }
  if (e->deleted) {
    SendTxt("ERRd", command);
    LogFormat("%s \"%lld\", deleted", command, n);
    return;
  }
  int64_t limit = -1;
  if (command == "TOP") {
    limit = MessageNumber(rest);
    if (limit < 0) limit = 0;
  }
  // Opened as a regular file only: a FIFO or device put in its place never blocks us.
  jvbTTextFile file;
  file.Init(lock_.Inbox(), e->name, jvb::fmReadExclusive);
  if (!file.Open()) {
    SendTxt("ERRc", command);
    LogFormat("%s \"%lld\", unable to read", command, n);
    return;
  }
  const std::string reply =
      ReplyLine("OKa", command,
                {{"%(message)", std::to_string(n)}, {"%(messagesize)", std::to_string(e->size)}});
  LogFormat("%s \"%lld\", ok", command, n);
  SendMessage(reply, file, limit);
  file.Close();
}

void qmsTPOP3Session::SendMessage(const std::string& reply, jvbTTextFile& file, int64_t limit) {
  qmsTMessageSender::Hooks hooks;
  hooks.send = [this](const std::string& bytes) { return SendRaw(bytes); };
  hooks.headerLineSent = [this](const std::string& line) { Debug(line, kDebugSend); };
  hooks.proceed = [this] {
    ResetIdle();
    return !terminate;
  };
  qmsTMessageSender(std::move(hooks), kBlockSize).Send(reply, file, limit);
}

void qmsTPOP3Session::cRSET() {
  if (Status != 2) {
    SendTxt("ERRa", "RSET");
    return;
  }
  lock_.ClearMarks();
  SendTxt("OKa", "RSET");
  Log("RSET Ok");
}

void qmsTPOP3Session::cSTAT() {
  if (Status != 2) {
    SendTxt("ERRa", "STAT");
    return;
  }
  SendTxt("OKa", "STAT");
  Log("STAT Ok");
}

void qmsTPOP3Session::cNOOP() { SendTxt("OKa", "NOOP"); }

void qmsTPOP3Session::cQUIT() {
  jvbTraceScope trace("qmsTPOP3Session.cQUIT");
  for (int i = 1; i <= lock_.Count(); ++i) {
    const qmsTMailboxEntry* e = lock_.Entry(i);
    if (!e->deleted) continue;
    // Taken exclusively first, so a message another reader holds open is not pulled
    // away under it; a message that is already gone needs nothing more.
    jvbTTextFile file;
    file.Init(lock_.Inbox(), e->name, jvb::fmReadExclusive);
    bool removed = false;
    if (file.Open()) {
      removed = lock_.Inbox().UnlinkBeneath(e->name);
      file.Close();
    } else {
      removed = file.LastError() == ENOENT;
    }
    if (!removed) {
      quit_failed_ = true;
      Log("Unable to delete message file " + Quoted(e->path));
    }
  }
  Log("Logout");
}
