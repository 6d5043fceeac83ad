#include "server/ftp/ftpsession.h"

#include <string>

#include "server/core/commandtable.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/ftp/ftpformat.h"
#include "server/users/user.h"
#include "server/users/userstat.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"
#include "toolbox/transfer.h"

namespace {

// Log classes of the service (LogFlag bits that silence them).
constexpr int kLogInfo = 16;
constexpr int kLogMisc = 64;

// The standard word of each alias; replies use the standard word's section.
std::string Canonical(const std::string& command) {
  static const struct {
    const char* alias;
    const char* word;
  } kAliases[] = {
      {"XCWD", "CWD"}, {"XCUP", "CDUP"}, {"XMKD", "MKD"}, {"XRMD", "RMD"}, {"XPWD", "PWD"}};
  for (const auto& a : kAliases)
    if (command == a.alias) return a.word;
  return command;
}

}  // namespace

qmsTFTPSession::qmsTFTPSession(qmsTService* service) : qmsTSession(service) {
  Timeout = 180;
  if (service) access_.Init(service->Group()->Config());
}

qmsTFTPSession::~qmsTFTPSession() = default;

std::unique_ptr<qmsTSession> qmsMakeFTPSession(qmsTService* service) {
  return std::make_unique<qmsTFTPSession>(service);
}

void qmsTFTPSession::ReadSettings() {
  jvbTTextConfig* cfg = Group()->Config();
  const std::string& section = Service()->Section();
  std::string root = "/";
  cfg->ReadValue(section, "RootDirectory", root);
  if (!root.empty()) FileSys().SetRoot(root);
  FileSys().SetCurrentDirectory("/");  // after REIN, nothing of the last login remains
  user_bandwidth_ = 0;
  anon_bandwidth_ = 0;
  timeout_max_ = 300;
  hide_if_no_access_ = 0;
  min_free_space_ = 512;
  cfg->ReadInteger(user_bandwidth_, section, "MaxUserBandwidth");
  cfg->ReadInteger(anon_bandwidth_, section, "MaxAnonBandwidth");
  cfg->ReadInteger(timeout_max_, section, "TimeoutMax");
  if (!cfg->ReadValue(section, "WelcomeFile", welcome_file_)) {
    welcome_file_.clear();
    qmsLog(section + "/WelcomeFile not found in " + cfg->FileName());
  }
  cfg->ReadInteger(hide_if_no_access_, section, "HideIfNoAccess");
  cfg->ReadInteger(min_free_space_, section, "MinFreeSpace");
  int32_t v = 0;
  cfg->ReadInteger(v, section, "DisableEA");
  disable_ea_ = v == 1;
  v = 0;
  cfg->ReadInteger(v, section, "DisableDircount");
  disable_dircount_ = v == 1;
  command_hook_.clear();
  cfg->ReadString(command_hook_, section, "hookOnCommand");
  bandwidth_ = user_bandwidth_;
  password_.clear();
  type_ = 'A';
  restart_ = 0;
  rename_source_.clear();
  message_files_ = true;
  xqms_ = false;
  mlst_facts_ = mfSize | mfModify | mfType | mfPerm;
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    final_key_ = "221a";
    cur_path_.clear();
    user_name_.clear();
  }
  Status = stNone;
  killed_ = false;
}

bool qmsTFTPSession::Start() {
  jvbTraceScope trace("qmsTFTPSession.Start");
  qmsTSession::Start();
  ReadSettings();
  return WaitAndServe([this] { Serve(); });
}

void qmsTFTPSession::Serve() {
  ConnectGate gate;
  gate.hookReplyWithBlock = true;
  gate.refuse = [this] { SendTxt("421b", "CONNECT"); };
  gate.greet = [this] { Greet(); };
  if (!PassConnectGate(gate)) return;
  jvb::SetUrgentInline(Socket()->Handle());
  for (;;) {
    if (!ServeCommands()) break;
    // REIN: the login ends, the connection stays and starts over with a fresh greeting.
    user_.reset();
    access_.Clear();
    qmsTSession::Start();
    ReadSettings();
    Greet();
  }
  CloseData();
  passive_.reset();
  std::string key;
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    key = final_key_;
  }
  SendTxt(key, "QUIT");
  Log("Client session ended");
}

void qmsTFTPSession::Greet() {
  SendCmd(welcome_file_, qmsNeutralizeTemplate("220 " + Host + " FTPd ready " + ProductTail()));
}

bool qmsTFTPSession::ServeCommands() {
  while (!Stopping()) {
    std::string line;
    int rc = ReadCommand(line);
    if (rc == -3) {
      SendTxt("500a", "GLOB");
      continue;
    }
    if (rc != 1) break;
    std::string command, argument;
    qmsftp::SplitCommand(StripCommandLine(line), command, argument);
    if (command.empty()) continue;  // the rest of a Telnet synch, or a blank line
    if (command != "PASS" && !command_hook_.empty()) {
      std::string output;
      if (CallHook(output, command_hook_ + " " + qmsNeutralizeTemplate(command) + " " +
                               qmsNeutralizeTemplate(argument)) >= 1)
        qmsftp::SplitCommand(output, command, argument);
    }
    Debug(command == "PASS" ? "PASS (hidden)" : command + " " + argument, kDebugProto4);
    if (command == "QUIT") {
      Status = stNone;
      std::lock_guard<std::mutex> g(figures_lock_);
      final_key_ = "221b";
      Log("Logout");
      return false;
    }
    if (command == "REIN") {
      Status = stNone;
      return true;
    }
    Dispatch(command, argument);
  }
  return false;
}

void qmsTFTPSession::Dispatch(const std::string& word, const std::string& argument) {
  using S = qmsTFTPSession;
  using Command = qmsTCommand<S, const std::string&, const std::string&>;
  static constexpr uint32_t kLogin = qmsStates({stLoggedIn});
  static constexpr uint32_t kFirst = qmsStates({stNone});
  static const Command kCommands[] = {
      {"ABOR", kAnyState, &S::cABOR}, {"ACCT", kAnyState, &S::cNI},
      {"AUTH", kFirst, &S::cAUTH},    {"PBSZ", kAnyState, &S::cPBSZ},
      {"PROT", kAnyState, &S::cPROT}, {"ALLO", kAnyState, &S::cNI},
      {"APPE", kLogin, &S::cSTOR},    {"CDUP", kLogin, &S::cCDUP},
      {"CWD", kLogin, &S::cCWD},      {"DELE", kLogin, &S::cDELE},
      {"EPRT", kLogin, &S::cEPRT},    {"EPSV", kLogin, &S::cEPSV},
      {"FEAT", kAnyState, &S::cFEAT}, {"HELP", kAnyState, &S::cHELP},
      {"LIST", kLogin, &S::cLIST},    {"MDTM", kLogin, &S::cMDTM},
      {"MKD", kLogin, &S::cMKD},      {"MLSD", kLogin, &S::cMLSD},
      {"MLST", kLogin, &S::cMLST},    {"MODE", kLogin, &S::cMODE},
      {"NLST", kLogin, &S::cNLST},    {"NOOP", kAnyState, &S::cNOOP},
      {"OPTS", kAnyState, &S::cOPTS}, {"PASS", kAnyState, &S::cPASS},
      {"PASV", kLogin, &S::cPASV},    {"PORT", kLogin, &S::cPORT},
      {"PWD", kLogin, &S::cPWD},      {"REST", kLogin, &S::cREST},
      {"RETR", kLogin, &S::cRETR},    {"RMD", kLogin, &S::cRMD},
      {"RNFR", kLogin, &S::cRNFR},    {"RNTO", kLogin, &S::cRNTO},
      {"SITE", kAnyState, &S::cSITE}, {"SIZE", kLogin, &S::cSIZE},
      {"SMNT", kAnyState, &S::cNI},   {"STAT", kAnyState, &S::cSTAT},
      {"STOR", kLogin, &S::cSTOR},    {"STOU", kAnyState, &S::cNI},
      {"STRU", kAnyState, &S::cNI},   {"SYST", kAnyState, &S::cSYST},
      {"TYPE", kLogin, &S::cTYPE},    {"USER", kFirst, &S::cUSER},
  };
  const std::string command = Canonical(word);
  const bool tlsWord = command == "AUTH" || command == "PBSZ" || command == "PROT";
  if (tlsWord && Service()->TlsMode() == qmsTTlsMode::kOff) return SendTxt("500a", "GLOB");
  auto refuse = [this](const Command& entry) {
    if (std::string(entry.word) == "REST") restart_ = 0;
    SendTxt("530a", entry.word);
  };
  if (!qmsRunCommand(*this, kCommands, command, static_cast<StatusValue>(Status.load()), refuse,
                     command, argument))
    SendTxt("500a", "GLOB");
}

// ---------------------------------------------------------------------------------------
// Replies and variables

void qmsTFTPSession::SendCmd(const std::string& block, const std::string& reply) {
  qmsTSession::SendCmd(message_files_ ? block : std::string(), reply);
}

void qmsTFTPSession::SendArg(const std::string& key, const std::string& section,
                             const std::string& a, const std::string& b) {
  std::string text, block;
  ReplyText(section, key, text);
  if (jvbTTextConfig* m = Messages()) {
    const std::string upper = jvb::AsciiUpper(key);
    if (upper != key) m->ReadValue(section, upper, block);
  }
  SendCmd(block, qmsftp::FillAB(text, qmsNeutralizeTemplate(a), qmsNeutralizeTemplate(b)));
}

void qmsTFTPSession::SendHookReply(const std::string& output) {
  std::string reply, block;
  SplitHookOutput(output, reply, block);
  SendCmd(block, reply);
}

void qmsTFTPSession::SendLine(const std::string& raw) {
  Debug(raw, kDebugSend);
  SendRaw(raw + "\r\n");
}

bool qmsTFTPSession::GetVars(const std::string& name, std::string& value) {
  if (qmsTSession::GetVars(name, value)) return true;
  if (name == "curdir") {
    value = FileSys().CurrentDirectory();
  } else if (name == "curdisk") {
    value = FileSys().RealPath(FileSys().CurrentDirectory());
  } else if (name == "curpath") {
    std::lock_guard<std::mutex> g(figures_lock_);
    value = cur_path_;
  } else if (name == "curroot") {
    value = FileSys().RootDirectory();
  } else if (name == "password") {
    value = password_;
  } else if (name == "status") {
    value = std::to_string(Status.load());
  } else if (name == "timeoutmax") {
    value = std::to_string(timeout_max_);
  } else if (name == "type") {
    value.clear();
    if (Messages()) Messages()->ReadValue("TYPE", std::string(1, type_), value);
  } else {
    return false;
  }
  return true;
}

qmsTFTPSession::Figures qmsTFTPSession::Snapshot() {
  Figures f;
  f.status = Status;
  std::lock_guard<std::mutex> g(figures_lock_);
  f.percent = percent_;
  f.rate = rate_;
  f.timeLeft = time_left_;
  f.bytesDone = bytes_done_;
  f.path = cur_path_;
  f.user = user_name_;
  return f;
}

void qmsTFTPSession::Kill() {
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    final_key_ = "221d";
  }
  killed_ = true;
}

int qmsTFTPSession::ReadCommand(std::string& line) {
  // The idle limit is Monitor's job; this wait only needs an outer bound.
  const int limit = Timeout > 0 ? (Timeout + 60) * 1000 : 24 * 3600 * 1000;
  const int rc = Socket()->ReadLine(line, kMaxLine, limit, &killed_);
  if (rc == 1) {
    ResetIdle();
    Debug(line, kDebugRecv);
  }
  return Stopping() ? 0 : rc;
}

void qmsTFTPSession::OnIdleTimeout() {
  std::lock_guard<std::mutex> g(figures_lock_);
  final_key_ = "221c";
}

// ---------------------------------------------------------------------------------------
// Paths and rights

std::string qmsTFTPSession::Virtual(const std::string& argument) {
  for (unsigned char c : argument)
    if (c < 0x20 || c == 0x7F) return {};  // a NUL would cut the name short in the kernel
  return FileSys().Normalize(argument);
}

std::string qmsTFTPSession::Real(const std::string& virtualPath) {
  return virtualPath.empty() ? std::string() : FileSys().RealPath(virtualPath);
}

int qmsTFTPSession::Rights(const std::string& realPath) {
  if (realPath.empty()) return 0;
  return access_.GetAccessTo(realPath, User());
}

bool qmsTFTPSession::IsAnonymous() { return User() && User()->GetAnonymous(); }
bool qmsTFTPSession::IsAdministrator() { return User() && User()->GetAdministrator(); }

void qmsTFTPSession::SetCurPath(const std::string& real) {
  std::lock_guard<std::mutex> g(figures_lock_);
  cur_path_ = real;
}

// ---------------------------------------------------------------------------------------
// Login

void qmsTFTPSession::cUSER(const std::string&, const std::string& argument) {
  jvbTraceScope trace("qmsTFTPSession.cUSER");
  if (RefusedWithoutTls()) return;
  const std::string name = jvb::AsciiLower(argument);
  qmsTUserResult rc = SessionUser(name);
  if (rc == usRejectedByHook) return;
  if (rc == usIdentified && IsAnonymous()) {
    SendTxt("331b", "USER");
  } else {
    // Known and unknown names get the same answer: USER reveals no account.
    std::string text, block;
    if (Messages()) {
      Messages()->ReadValue("USER", "331a", text);
      Messages()->ReadValue("USER", "331A", block);
    }
    const std::string shown = qmsNeutralizeTemplate(qmsVisibleText(name));
    for (size_t p = text.find("%(usr.username)"); p != std::string::npos;
         p = text.find("%(usr.username)", p + shown.size()))
      text.replace(p, 15, shown);
    SendCmd(block, text);
  }
  Status = stUserGiven;
}

void qmsTFTPSession::cPASS(const std::string&, const std::string& argument) {
  jvbTraceScope trace("qmsTFTPSession.cPASS");
  if (Status == stLoggedIn) return SendTxt("530b", "PASS");
  if (Status != stUserGiven) return SendTxt("530a", "GLOB");
  std::string password = argument;
  if (!password.empty() && password[0] == '-') {
    password.erase(0, 1);
    message_files_ = false;
  }
  if (IsAnonymous()) password_ = password;
  qmsTPasswordResult rc = SessionPassword(password);
  if (rc == pwAuthenticated) {
    // The session is set up before the client hears of it.
    if (IsAnonymous()) bandwidth_ = anon_bandwidth_;
    AfterLogin();
    Status = stLoggedIn;
    SendTxt(IsAnonymous() ? "230b" : "230a", "PASS");
    return;
  }
  Status = stNone;
  password_.clear();
  if (rc != pwRejectedByHook) SendTxt("530a", "PASS");
  user_.reset();
}

void qmsTFTPSession::AfterLogin() {
  qmsTUser* u = User();
  if (u->GetMaxBandwidth() > 0) bandwidth_ = u->GetMaxBandwidth();
  std::string root = u->GetRootDirectory();
  if (!root.empty()) FileSys().SetRoot(root);
  std::string login = u->GetLoginDirectory();
  if (!login.empty()) FileSys().SetCurrentDirectory(login);
  u->SessionStat().Clear();
  if (u->OpenStat()) {
    u->Stat().Set(Tqms_user::ftpLogin, Socket() ? Socket()->PeerAddress() : 0);
    u->CloseStat();
  }
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    user_name_ = u->GetUsername();
  }
  access_.SetUserConfig(&u->Config());
  access_.ReadConfig();
}

// ---------------------------------------------------------------------------------------
// Informational commands

void qmsTFTPSession::cNI(const std::string&, const std::string&) { SendTxt("502a", "GLOB"); }
void qmsTFTPSession::cNOOP(const std::string&, const std::string&) { SendTxt("220a", "NOOP"); }
void qmsTFTPSession::cSTAT(const std::string&, const std::string&) { SendTxt("211a", "STAT"); }
void qmsTFTPSession::cABOR(const std::string&, const std::string&) { SendTxt("226a", "ABOR"); }

void qmsTFTPSession::cSYST(const std::string&, const std::string&) {
  std::string text, block;
  if (Messages()) {
    Messages()->ReadValue("SYST", "215a", text);
    Messages()->ReadValue("SYST", "215A", block);
  }
  text += " (" + qmsNeutralizeTemplate(jvbPlatformText()) + " running Quillmar/32 v0.9.5)";
  SendCmd(block, text);
  Log("SYST Ok", kLogMisc);
}

void qmsTFTPSession::cHELP(const std::string&, const std::string&) {
  SendRaw(
      "214-The following commands are recognized by this server:\r\n"
      "  *ABOR  *ACCT  *ALLO   APPE   CDUP   XCUP   CWD    XCWD   DELE\r\n"
      "   HELP   LIST   MDTM   MKD    XMKD   MODE   NLST   NOOP   PASS\r\n"
      "   PORT   PWD    XPWD   QUIT   REIN   REST   RETR   RNFR   PASV\r\n"
      "   RNTO   RMD    XRMD   SMNT   SITE   SIZE  *STAT   STOR  *STOU\r\n"
      "  *STRU   SYST   TYPE   USER              (* = not implemented)\r\n"
      "214 Command listing completed.\r\n");
}

void qmsTFTPSession::cFEAT(const std::string&, const std::string&) {
  SendTxt("211a", "FEAT");
  if (Service()->TlsMode() != qmsTTlsMode::kOff) SendRaw(" AUTH TLS\r\n PBSZ\r\n PROT\r\n");
  SendRaw(" EPRT\r\n EPSV\r\n MDTM\r\n" + qmsftp::FeatMlstLine(mlst_facts_) +
          "\r\n REST STREAM\r\n SIZE\r\n TVFS\r\n");
  SendTxt("211b", "FEAT");
}

void qmsTFTPSession::cOPTS(const std::string&, const std::string& argument) {
  std::string rest;
  if (jvb::AsciiUpper(qmsftp::FirstWord(argument, rest)) != "MLST") return SendTxt("501a", "OPTS");
  SendArg("201a", "OPTS", qmsftp::ParseMlstOpts(rest, mlst_facts_));
}

void qmsTFTPSession::cTYPE(const std::string&, const std::string& argument) {
  std::string rest;
  const std::string word = jvb::AsciiUpper(qmsftp::FirstWord(argument, rest));
  if (word == "A" || word == "I") {
    type_ = word[0];
    SendTxt("200a", "TYPE");
    Log("TYPE " + qmsQuoted(word) + ", ok", kLogInfo);
    return;
  }
  SendArg("504a", "TYPE", word);
  Log("Unable: TYPE " + qmsQuoted(word), kLogInfo);
}

void qmsTFTPSession::cMODE(const std::string&, const std::string& argument) {
  std::string rest;
  const std::string word = jvb::AsciiUpper(qmsftp::FirstWord(argument, rest));
  std::string name;
  if (Messages() && (word == "S" || word == "B" || word == "C"))
    Messages()->ReadValue("MODE", word, name);
  if (word == "S")
    SendArg("200a", "MODE", name);
  else if (word == "B" || word == "C")
    SendArg("504a", "MODE", name);
  else
    SendTxt("501a", "MODE");
}
