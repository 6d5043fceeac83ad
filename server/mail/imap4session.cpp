#include "server/mail/imap4session.h"

#include <algorithm>

#include "server/core/commandtable.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/mail/mailbox.h"
#include "server/users/user.h"
#include "toolbox/filesys.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

std::string ByeLine() { return "* BYE IMAP4d closing connection " + qmsTSession::ProductTail(); }

bool ValidFolderByte(unsigned char c) {
  if (c < 0x20 || c >= 0x7F) return false;
  return c != '"' && c != '\\' && c != '*' && c != '%';
}

}  // namespace

qmsTIMAP4Session::qmsTIMAP4Session(qmsTService* service) : qmsTSession(service) {}

qmsTIMAP4Session::~qmsTIMAP4Session() = default;

std::unique_ptr<qmsTSession> qmsMakeIMAP4Session(qmsTService* service) {
  return std::make_unique<qmsTIMAP4Session>(service);
}

std::vector<std::string> qmsTIMAP4Session::SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool started = false;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size()) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
      continue;
    }
    if (c == ' ') {
      if (started) words.push_back(word);
      word.clear();
      started = false;
      continue;
    }
    started = true;
    if (c == '"') {
      quoted = true;
    } else {
      word += c;
    }
  }
  if (started) words.push_back(word);
  return words;
}

std::string qmsTIMAP4Session::FolderName(const std::string& name) {
  std::string n = name;
  if (!n.empty() && n.back() == '/') n.pop_back();
  if (n.empty() || n.size() > kMaxFolderName) return {};
  std::string out;
  int depth = 0;
  size_t i = 0;
  while (i <= n.size()) {
    size_t j = n.find('/', i);
    if (j == std::string::npos) j = n.size();
    std::string seg = n.substr(i, j - i);
    if (seg.empty() || seg.front() == '.' || ++depth > kMaxFolderDepth) return {};
    for (unsigned char c : seg)
      if (!ValidFolderByte(c)) return {};
    if (depth == 1 && jvb::EqualNoCase(seg, "INBOX")) seg = qmsTMailbox::kInboxName;
    if (!out.empty()) out += '/';
    out += seg;
    i = j + 1;
  }
  return out;
}

bool qmsTIMAP4Session::MatchPattern(const std::string& pattern, const std::string& name) {
  if (pattern.size() > kMaxFolderName || name.size() > kMaxFolderName) return false;
  auto fold = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
  // can[j]: the pattern so far matches the first j characters of the name.
  std::vector<char> can(name.size() + 1, 0), next(name.size() + 1, 0);
  can[0] = 1;
  for (char pc : pattern) {
    std::fill(next.begin(), next.end(), 0);
    for (size_t j = 0; j <= name.size(); ++j) {
      if (pc == '*') {
        if (can[j] || (j > 0 && next[j - 1])) next[j] = 1;
      } else if (pc == '%') {
        if (can[j] || (j > 0 && next[j - 1] && name[j - 1] != '/')) next[j] = 1;
      } else if (j > 0 && can[j - 1] &&
                 (pc == '?' || fold(static_cast<unsigned char>(pc)) ==
                                   fold(static_cast<unsigned char>(name[j - 1])))) {
        next[j] = 1;
      }
    }
    can.swap(next);
  }
  return can[name.size()] != 0;
}

bool qmsTIMAP4Session::Start() {
  qmsTSession::Start();
  HomeDirectory = qmsTMailbox::ReadHomeDirectory(Group()->Config());
  return WaitAndServe([this] { Serve(); });
}

bool qmsTIMAP4Session::GetVars(const std::string& name, std::string& value) {
  if (qmsTSession::GetVars(name, value)) return true;
  if (name == "imap.identifier") {
    value = Identifier;
    return true;
  }
  if (name == "imap.command") {
    value = Command;
    return true;
  }
  return false;
}

void qmsTIMAP4Session::Serve() {
  jvbTraceScope trace("qmsTIMAP4Session.Start");
  ConnectGate gate;
  gate.refuse = [this] { SendCmd("", ByeLine()); };
  gate.greet = [this] { SendCmd("", "* OK IMAP4d ready " + ProductTail()); };
  if (PassConnectGate(gate)) ServeCommands();
  Log("Client session ended");
}

void qmsTIMAP4Session::ServeCommands() {
  while (!terminate && !logout_) {
    std::vector<std::string> words;
    int rc = ReadCommand(words);
    if (rc == -3) {
      Identifier = "*";
      Command.clear();
      Reply("BADz", "GLOBAL");
      continue;
    }
    if (rc == -4) continue;  // a refused literal, answered already
    if (rc != 1) break;
    std::vector<std::string> args;
    if (words.size() > 2) args.assign(words.begin() + 2, words.end());
    std::string shown;
    for (size_t i = 0; i < args.size(); ++i) {
      // A password never reaches the debug log.
      shown += (i ? " " : "") + (Command == "LOGIN" && i == 1 ? std::string("******") : args[i]);
    }
    Debug(Identifier + " " + Command + " " + shown, kDebugProto4);

    Dispatch(args);
  }
}

bool qmsTIMAP4Session::LiteralAtEnd(std::string& line, size_t& size) {
  if (line.size() < 3 || line.back() != '}') return false;
  const size_t open = line.rfind('{');
  if (open == std::string::npos || (open > 0 && line[open - 1] != ' ')) return false;
  const std::string digits = line.substr(open + 1, line.size() - open - 2);
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  // Within a quoted string the braces are text.
  bool quoted = false;
  for (size_t i = 0; i < open; ++i) {
    if (quoted && line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      quoted = !quoted;
    }
  }
  if (quoted) return false;
  size = static_cast<size_t>(std::stoull(digits));
  line.erase(open);
  return true;
}

void qmsTIMAP4Session::SetCommandWords(const std::vector<std::string>& words) {
  Identifier = words.size() > 0 ? words[0] : std::string();
  // An untagged line cannot be answered with its tag.
  if (Identifier.empty()) Identifier = "*";
  Command = words.size() > 1 ? jvb::AsciiUpper(words[1]) : std::string();
}

int qmsTIMAP4Session::ReadCommand(std::vector<std::string>& words) {
  words.clear();
  size_t used = 0;  // bytes of the command so far, lines and literals
  for (;;) {
    std::string line;
    const int rc = ReadLine(line, kMaxLine);
    if (rc != 1) return rc;
    used += line.size();
    size_t size = 0;
    const bool literal = LiteralAtEnd(line, size);
    for (std::string& word : SplitWords(line)) words.push_back(std::move(word));
    SetCommandWords(words);
    if (!literal) return 1;
    if (size > kMaxCommand || used + size > kMaxCommand) {
      RefuseLiteral();
      return -4;
    }
    SendRaw("+ Ready for literal data\r\n");
    std::string bytes;
    if (!ReadLiteral(size, bytes)) return 0;
    used += size;
    words.push_back(std::move(bytes));
  }
}

void qmsTIMAP4Session::RefuseLiteral() {
  // The client sends no literal without the go-ahead, so both sides stay in step.
  if (ReplyLine("BADl", "GLOBAL").empty())  // a message file of an older release
    SendRaw(Identifier + " BAD Literal too large\r\n");
  else
    Reply("BADl", "GLOBAL");
}

bool qmsTIMAP4Session::ReadLiteral(size_t size, std::string& bytes) {
  const int64_t limit = Timeout > 0 ? (Timeout + 60) * 1000LL : 24 * 3600 * 1000LL;
  const int64_t deadline = jvb::MonotonicMs() + limit;
  char buffer[4096];
  while (bytes.size() < size) {
    if (terminate || !socket_ || jvb::MonotonicMs() > deadline) return false;
    const int want = static_cast<int>(std::min(sizeof buffer, size - bytes.size()));
    const int n = socket_->Recv(buffer, want, 250);
    if (n == -2) continue;
    if (n <= 0) return false;
    bytes.append(buffer, static_cast<size_t>(n));
    ResetIdle();
  }
  // Literals may hold passwords: the debug log shows their size only.
  Debug("{" + std::to_string(size) + " bytes}", kDebugRecv);
  return true;
}

void qmsTIMAP4Session::Untagged(const std::string& line) {
  Debug(line, kDebugSend);
  pending_ += line;
  pending_ += "\r\n";
  if (pending_.size() >= kSendChunk) {
    SendRaw(pending_);
    pending_.clear();
  }
}

std::string qmsTIMAP4Session::ReplyLine(const std::string& key, const std::string& section) {
  std::string text;
  ReplyText(section, key, text);
  return ReturnFIB(text);
}

void qmsTIMAP4Session::UntaggedTxt(const std::string& key, const std::string& section) {
  Untagged(ReplyLine(key, section));
}

void qmsTIMAP4Session::Reply(const std::string& key, const std::string& section) {
  const std::string line = ReplyLine(key, section);
  Debug(line, kDebugSend);
  SendRaw(pending_ + line + "\r\n");
  pending_.clear();
}

void qmsTIMAP4Session::Dispatch(const std::vector<std::string>& args) {
  using Session = qmsTIMAP4Session;
  using Entry = qmsTCommand<Session, const Words&>;
  static constexpr uint32_t kLoggedOut = qmsStates({isNotAuthenticated});
  static constexpr uint32_t kLoggedIn = qmsStates({isAuthenticated});
  static const Entry kCommands[] = {
      {"LOGOUT", kAnyState, &Session::imapLOGOUT},
      {"LOGIN", kLoggedOut, &Session::TwoWords<&Session::imapLOGIN>},
      {"SELECT", kLoggedIn, &Session::OneWord<&Session::imapSELECT>},
      {"CREATE", kLoggedIn, &Session::OneWord<&Session::imapCREATE>},
      {"DELETE", kLoggedIn, &Session::OneWord<&Session::imapDELETE>},
      {"RENAME", kLoggedIn, &Session::TwoWords<&Session::imapRENAME>},
      {"SUBSCRIBE", kLoggedIn, &Session::OneWord<&Session::imapSUBSCRIBE>},
      {"UNSUBSCRIBE", kLoggedIn, &Session::OneWord<&Session::imapUNSUBSCRIBE>},
      {"LIST", kLoggedIn, &Session::TwoWords<&Session::imapLIST>},
      {"LSUB", kLoggedIn, &Session::TwoWords<&Session::imapLSUB>},
      {"CAPABILITY", kAnyState, &Session::AnyWords<&Session::imapCAPABILITY>},
      {"STARTTLS", kLoggedOut, &Session::AnyWords<&Session::imapSTARTTLS>},
      {"NOOP", kAnyState, &Session::AnyWords<&Session::imapNOOP>},
      {"AUTHENTICATE", kAnyState, &Session::AnyWords<&Session::imapAUTHENTICATE>},
      {"EXAMINE", kAnyState, &Session::AnyWords<&Session::imapEXAMINE>},
      {"STATUS", kAnyState, &Session::AnyWords<&Session::imapSTATUS>},
      {"APPEND", kAnyState, &Session::AnyWords<&Session::imapAPPEND>},
      {"CHECK", kAnyState, &Session::AnyWords<&Session::imapCHECK>},
      {"CLOSE", kAnyState, &Session::AnyWords<&Session::imapCLOSE>},
      {"EXPUNGE", kAnyState, &Session::AnyWords<&Session::imapEXPUNGE>},
      {"SEARCH", kAnyState, &Session::AnyWords<&Session::imapSEARCH>},
      {"FETCH", kAnyState, &Session::AnyWords<&Session::imapFETCH>},
      {"STORE", kAnyState, &Session::AnyWords<&Session::imapSTORE>},
      {"COPY", kAnyState, &Session::AnyWords<&Session::imapCOPY>},
      {"UID", kAnyState, &Session::AnyWords<&Session::imapUID>},
  };
  // A command in a state that does not allow it is answered like one with wrong words.
  auto refuse = [this](const Entry&) { Reply("BADa", Command); };
  if (!qmsRunCommand(*this, kCommands, Command, ImapState, refuse, args)) Reply("BADz", "GLOBAL");
}

template <void (qmsTIMAP4Session::*Handler)(const std::string&)>
void qmsTIMAP4Session::OneWord(const Words& args) {
  if (Arguments(args, 1)) (this->*Handler)(args[0]);
}

template <void (qmsTIMAP4Session::*Handler)(const std::string&, const std::string&)>
void qmsTIMAP4Session::TwoWords(const Words& args) {
  if (Arguments(args, 2)) (this->*Handler)(args[0], args[1]);
}

template <void (qmsTIMAP4Session::*Handler)()>
void qmsTIMAP4Session::AnyWords(const Words& /*args*/) {
  (this->*Handler)();
}

bool qmsTIMAP4Session::Arguments(const std::vector<std::string>& args, size_t count) {
  if (args.size() == count) return true;
  Reply("BADa", Command);
  return false;
}

void qmsTIMAP4Session::imapCAPABILITY() {
  UntaggedTxt(TlsRequired() ? "c" : (TlsOffered() ? "b" : "a"), "CAPABILITY");
  Reply("OKa", "CAPABILITY");
}

void qmsTIMAP4Session::imapSTARTTLS() {
  // A service without TLS knows no such command, as before.
  if (Service()->TlsMode() == qmsTTlsMode::kOff) return Reply("BADz", "GLOBAL");
  if (!TlsOffered()) return Reply("BADa", "STARTTLS");
  Reply("OKa", "STARTTLS");
  if (!StartTls()) logout_ = true;
}

void qmsTIMAP4Session::imapNOOP() { Reply("OKa", "NOOP"); }

void qmsTIMAP4Session::imapLOGOUT(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Reply("BADa", "LOGOUT");
  } else {
    ImapState = isNotAuthenticated;
    Untagged(ByeLine());
    Reply("OKa", "LOGOUT");
  }
  logout_ = true;
}

void qmsTIMAP4Session::imapNotSupported() { Reply("BADz", Command); }

void qmsTIMAP4Session::imapLOGIN(const std::string& user, const std::string& password) {
  jvbTraceScope trace("qmsTIMAP4Session.imapLOGIN");
  if (TlsRequired()) {
    Reply("NOb", "LOGIN");
    Log("LOGIN refused on a plain connection (TLS required)", kLogUser);
    return;
  }
  if (SessionUser(jvb::AsciiLower(user)) != usRejectedByHook) {
    // An unknown account goes through the password step too, to be refused after the
    // same wait as a wrong password.
    qmsTPasswordResult p = SessionPassword(password);
    // Anonymous accounts pass the session base even when denied the service; their mail
    // stays closed when the account file says so.
    if (p == pwAuthenticated && User()->GetAnonymous() &&
        User()->DenyService(Service()->Section())) {
      Log("Not authenticated; Service access denied", kLogUser);
      p = pwServiceDenied;
    }
    if (p == pwAuthenticated) {
      if (SetUserFolder()) {
        ImapState = isAuthenticated;
        Reply("OKa", "LOGIN");
      } else {
        Reply("NOa", "LOGIN");
      }
    } else if (p != pwRejectedByHook) {
      Reply("NOa", "LOGIN");
    }
  }
  if (ImapState != isAuthenticated) {
    user_.reset();
    ImapState = isNotAuthenticated;
  }
}

bool qmsTIMAP4Session::SetUserFolder() {
  const std::string user = User()->GetUsername();
  qmsTMailbox box(FileSys(), HomeDirectory, user);
  // The Inbox always exists for a client (RFC 3501), even before the first delivery.
  if (!box.OpenUserFolder(user_root_, true) || !box.CreateInbox()) {
    std::string where = box.VirtualUserFolder();
    if (where.empty()) where = HomeDirectory + "/" + user;
    Log("Unable to create mailbox " + qmsQuoted(where));
    return false;
  }
  // From here on every folder name maps below the user folder.
  if (!FileSys().SetRoot(box.VirtualUserFolder())) {
    Log("Unable to create mailbox " + qmsQuoted(box.VirtualUserFolder()));
    return false;
  }
  user_folder_ = box.UserFolder();
  return true;
}

std::string qmsTIMAP4Session::FolderPath(const std::string& name) {
  if (user_folder_.empty() || !user_root_.valid()) return {};
  return FolderName(name);
}

bool qmsTIMAP4Session::OpenMailbox(const std::string& folder) {
  jvbTraceScope trace("qmsTIMAP4Session.OpenMailbox");
  const std::string rel = FolderPath(folder);
  jvb::RootDir dir;
  if (rel.empty() || !user_root_.IsDirectoryBeneath(rel, false) || !dir.OpenSub(user_root_, rel))
    return false;
  const long tid = threadId ? threadId.load() : jvb::CurrentThreadId();
  const qmsTMailbox::FolderCounts counts = qmsTMailbox::MarkRecent(dir, tid);
  Variables().AddValue("imap.messages", std::to_string(counts.messages));
  Variables().AddValue("imap.messagesrecent", std::to_string(counts.recent));
  return true;
}

void qmsTIMAP4Session::imapSELECT(const std::string& folder) {
  if (!OpenMailbox(folder)) {
    Reply("NOa", "SELECT");
    return;
  }
  ImapState = isSelected;
  UntaggedTxt("a", "SELECT");
  UntaggedTxt("b", "SELECT");
  Reply("OKa", "SELECT");
}

void qmsTIMAP4Session::imapCREATE(const std::string& folder) {
  const std::string rel = FolderPath(folder);
  bool ok = !rel.empty() && !user_root_.ExistsBeneath(rel, false) && user_root_.MkdirsBeneath(rel);
  Reply(ok ? "OKa" : "NOa", "CREATE");
}

void qmsTIMAP4Session::imapDELETE(const std::string& folder) {
  const std::string rel = FolderPath(folder);
  bool ok = false;
  jvb::RootDir dir;
  // The Inbox stays: POP3 and delivery rely on it (RFC 3501 forbids deleting it, too).
  if (!rel.empty() && rel != qmsTMailbox::kInboxName && user_root_.IsDirectoryBeneath(rel, false) &&
      dir.OpenSub(user_root_, rel)) {
    // Flag files left by deleted messages do not make a folder "not empty".
    qmsTMailbox::SweepStaleFlags(dir);
    ok = user_root_.RmdirBeneath(rel);
  }
  Reply(ok ? "OKa" : "NOa", "DELETE");
}

void qmsTIMAP4Session::imapRENAME(const std::string& from, const std::string& to) {
  const std::string source = FolderPath(from);
  const std::string target = FolderPath(to);
  bool ok = false;
  if (!source.empty() && user_root_.IsDirectoryBeneath(source, false) && !target.empty() &&
      !user_root_.ExistsBeneath(target, false)) {
    size_t slash = target.rfind('/');
    if (slash != std::string::npos) user_root_.MkdirsBeneath(target.substr(0, slash));
    ok = user_root_.RenameBeneath(source, target);
    // Renaming the Inbox moves its messages away; a new, empty Inbox takes its place.
    if (ok && source == qmsTMailbox::kInboxName) user_root_.MkdirBeneath(source);
  }
  Reply(ok ? "OKa" : "NOa", "RENAME");
}

bool qmsTIMAP4Session::OpenSubscriptions() {
  subscriptions_.clear();
  if (user_folder_.empty()) return false;
  subscriptions_file_.Init(user_root_, qmsTMailbox::kSubscriptionsFileName,
                           jvb::fmReadWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  std::string data;
  if (!subscriptions_file_.OpenOrCreate() || !subscriptions_file_.ReadAll(data)) {
    subscriptions_file_.Close();
    return false;
  }
  for (const std::string& line : jvbTTextConfig::SplitLines(data))
    if (!line.empty()) subscriptions_.insert(line);
  return true;
}

bool qmsTIMAP4Session::CloseSubscriptions() {
  std::string data;
  for (const std::string& name : subscriptions_) data += name + "\r\n";
  bool ok = subscriptions_file_.SeekStart() && subscriptions_file_.Write(data) &&
            subscriptions_file_.Truncate();
  subscriptions_file_.Close();
  subscriptions_.clear();
  return ok;
}

void qmsTIMAP4Session::imapSUBSCRIBE(const std::string& folder) {
  const std::string name = FolderName(folder);
  if (name.empty()) {
    Reply("BADa", "SUBSCRIBE");
    return;
  }
  if (!OpenSubscriptions()) {
    Reply("NOa", "SUBSCRIBE");
    return;
  }
  bool room = subscriptions_.size() < kMaxSubscriptions || subscriptions_.count(name);
  if (room) subscriptions_.insert(name);
  bool written = CloseSubscriptions();
  Reply(room && written ? "OKa" : "NOa", "SUBSCRIBE");
}

void qmsTIMAP4Session::imapUNSUBSCRIBE(const std::string& folder) {
  const std::string name = FolderName(folder);
  if (name.empty()) {
    Reply("BADa", "UNSUBSCRIBE");
    return;
  }
  if (!OpenSubscriptions()) {
    Reply("NOa", "UNSUBSCRIBE");
    return;
  }
  subscriptions_.erase(name);
  Reply(CloseSubscriptions() ? "OKa" : "NOa", "UNSUBSCRIBE");
}

void qmsTIMAP4Session::imapLSUB(const std::string& /*reference*/, const std::string& pattern) {
  if (!OpenSubscriptions()) {
    Reply("NOa", "LSUB");
    return;
  }
  for (const std::string& name : subscriptions_)
    if (MatchPattern(pattern, name)) Untagged("* LSUB () \"/\" \"" + name + "\"");
  CloseSubscriptions();
  Reply("OKa", "LSUB");
}

void qmsTIMAP4Session::imapLIST(const std::string& /*reference*/, const std::string& pattern) {
  // An empty pattern asks for the hierarchy delimiter and the root.
  if (pattern.empty()) {
    Untagged("* LIST (\\Noselect) \"/\" \"\"");
    Reply("OKa", "LIST");
    return;
  }
  std::string prefix, mask = pattern;
  size_t slash = pattern.rfind('/');
  if (slash != std::string::npos) {
    prefix = FolderName(pattern.substr(0, slash));
    mask = pattern.substr(slash + 1);
    if (!prefix.empty()) prefix += '/';
  }
  bool prefixOk = slash == std::string::npos || !prefix.empty();
  // "%" matches within one level only: it is searched like "*" without descending.
  bool recurse = mask.find('%') == std::string::npos || mask.find('*') != std::string::npos;
  for (char& ch : mask)
    if (ch == '%') ch = '*';
  int items = 0;
  if (prefixOk && !mask.empty() && !user_folder_.empty())
    ListLevel(prefix, mask, recurse, 0, items);
  Reply("OKa", "LIST");
}

void qmsTIMAP4Session::ListLevel(const std::string& prefix, const std::string& pattern,
                                 bool recurse, int depth, int& items) {
  std::vector<jvb::DirEntry> found;
  // Directories only: message and flag files are not folders.
  if (user_root_.ListBeneath(prefix, pattern, 0x1000 | jvb::faDirectory, found) != 0) return;
  for (const jvb::DirEntry& item : found) {
    if (terminate || items >= kMaxListItems) return;
    if (item.name.empty() || item.name.front() == '.') continue;
    const std::string name = prefix + item.name;
    // Links are never folders (a link to "." or above would make the walk endless), and
    // names no command would accept are not shown.
    if (item.link || FolderName(name) != name) continue;
    ++items;
    Untagged("* LIST () \"/\" \"" + name + "\"");
    if (recurse && depth + 1 < kMaxFolderDepth)
      ListLevel(name + "/", pattern, recurse, depth + 1, items);
  }
}
