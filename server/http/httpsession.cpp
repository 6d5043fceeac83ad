// The request loop and ProcessRequest of the HTTP session: reading and checking a request,
// finding what it names, authorization and access, and the per-request log lines.
#include "server/http/httpsession.h"

#include <sys/stat.h>

#include <cstdio>

#include "server/core/commandtable.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/filesys.h"
#include "toolbox/netfile.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

// How long a cached document counts as confirmed before the file is asked again.
constexpr int64_t kConfirmMs = 1000;
// POST bodies larger than this (KiB, key PostSizeMax) are refused with 413.
constexpr int32_t kDefaultPostKb = 16384;

using Command = qmsTCommand<qmsTHTTPSession>;

}  // namespace

qmsTHTTPSession::qmsTHTTPSession(qmsTService* service) : qmsTSession(service) {
  header_.reserve(1024);
}

qmsTHTTPSession::~qmsTHTTPSession() = default;

std::unique_ptr<qmsTSession> qmsMakeHTTPSession(qmsTService* service) {
  return std::make_unique<qmsTHTTPSession>(service);
}

bool qmsTHTTPSession::Start() {
  qmsTSession::Start();
  // Everything else is prepared after the wake: the accept loop waits for pooled sessions.
  return WaitAndServe([this] { Serve(); });
}

void qmsTHTTPSession::LoadSettings() {
  jvbTTextConfig* cfg = Group()->Config();
  const std::string& section = Service()->Section();
  for (auto& kv : cfg->SectionKeys(section))
    settings_.emplace(std::move(kv.first), std::move(kv.second));
  if (!Setting("RootDirectory", default_root_) || default_root_.empty()) default_root_ = "/";
  Setting("ExtendedLogFields", ext_fields_text_);
  jvbTTextConfig::CutWords(ext_fields_text_, ext_fields_);
  std::string text;
  Setting("IndexFiles", text);
  jvbTTextConfig::CutWords(text, index_files_);
  int32_t postKb = kDefaultPostKb;
  if (Setting("PostSizeMax", text)) jvbTTextConfig::ParseInteger(text, postKb);
  post_limit_ = static_cast<int64_t>(std::max(postKb, 0)) * 1024;
  access_.Init(cfg);
  UseAnonymous();
}

bool qmsTHTTPSession::Setting(const std::string& key, std::string& value) const {
  auto it = settings_.find(key);
  if (it == settings_.end()) return false;
  value = it->second;
  return true;
}

const jvbTFSMapping& qmsTHTTPSession::MapPath(const std::string& path) {
  const std::string key = root_ + "\n" + path;
  auto it = mapped_.find(key);
  if (it != mapped_.end()) return it->second;
  if (mapped_.size() >= 256) mapped_.clear();
  return mapped_.emplace(key, FileSys().Map(path)).first->second;
}

uint32_t qmsTHTTPSession::AccessTo(const std::string& realPath) {
  auto it = rights_.find(realPath);
  if (it != rights_.end()) return it->second;
  if (rights_.size() >= 256) rights_.clear();
  uint32_t access = access_.GetAccessTo(realPath, User());
  rights_.emplace(realPath, access);
  return access;
}

void qmsTHTTPSession::Serve() {
  jvbTraceScope trace("qmsTHTTPSession.Start");
  ConnectGate gate;
  gate.logCategory = 2;
  if (!PassConnectGate(gate)) return;
  LoadSettings();
  root_ = "/";
  FileSys().SetRoot(default_root_);
  root_ = default_root_;
  static const Command kMethods[] = {
      {"GET", kAnyState, &qmsTHTTPSession::httpProcess},
      {"HEAD", kAnyState, &qmsTHTTPSession::httpProcess},
      {"POST", kAnyState, &qmsTHTTPSession::httpProcess},
      {"OPTIONS", kAnyState, &qmsTHTTPSession::httpNotAllowed},
      {"PUT", kAnyState, &qmsTHTTPSession::httpNotAllowed},
      {"DELETE", kAnyState, &qmsTHTTPSession::httpNotAllowed},
      {"TRACE", kAnyState, &qmsTHTTPSession::httpNotAllowed},
  };
  for (;;) {
    ResetIdle();
    int rc = ReadRequest();
    if (rc == 0 || terminate) break;
    if (rc > 1) {
      // The request could not be read whole: answer and close.
      KeepAlive = false;
      Fail(rc, "Request refused while reading it");
      SendError(rc);
      LogResult();
      Socket()->DrainAfterReply(1000, 1 << 20);
      break;
    }
    const std::string* conn = Request.Header("CONNECTION");
    KeepAlive = jvb::AsciiLower(conn ? *conn : std::string("keep-alive")).find("keep-alive") !=
                std::string::npos;
    if (Request.versionCode == hvOther) {
      SendError(505);
      LogResult();
    } else if (!qmsRunCommand(*this, kMethods, Request.method, 0, [](const Command&) {})) {
      SendError(400);
      LogResult();
    }
    if (!KeepAlive || terminate) {
      if (drain_ && !terminate) Socket()->DrainAfterReply(1000, 1 << 20);
      break;
    }
    ClearRequest();
  }
  Log("Client session ended");
}

void qmsTHTTPSession::httpProcess() { ProcessRequest(); }

void qmsTHTTPSession::httpNotAllowed() {
  SendError(405);
  LogResult();
}

int qmsTHTTPSession::ReadRequest() {
  std::string line;
  int rc;
  // Empty lines before a request are tolerated (a client's CR LF after a body).
  int empties = 0;
  do {
    rc = ReadLine(line, kHTTPMaxLine);
  } while (rc == 1 && line.empty() && ++empties < 8);
  if (rc == -3) return 414;
  if (rc != 1 || line.empty()) return 0;
  qmsParseRequestLine(line, Request);
  for (;;) {
    rc = ReadLine(line, kHTTPMaxLine);
    if (rc == -3) return 431;
    if (rc != 1) return 0;
    if (line.empty()) break;
    if (!Request.AddHeaderLine(line)) return 431;
  }
  return terminate ? 0 : 1;
}

void qmsTHTTPSession::ClearRequest() {
  if (!anonymous_user_) UseAnonymous();
  Request.Clear();
  Path.clear();
  Mode = hmError;
  Access = 0;
  Status = 0;
  Message.clear();
  ContentType.clear();
  ContentLength = -1;
  BytesSent = 0;
  fib_ = ssi_ = false;
  cached_.reset();
  file_time_ = -1;
}

void qmsTHTTPSession::UseAnonymous() {
  user_.reset();
  qmsTUserDatabase* db = Group() ? Group()->Users() : nullptr;
  if (db) db->FindUser("anonymous", user_);
  anonymous_user_ = true;
  ReadRights();
}

void qmsTHTTPSession::ReadRights() {
  access_.SetUserConfig(user_ ? &user_->Config() : nullptr);
  access_.ReadConfig();
  rights_.clear();
  user_name_ = user_ ? user_->GetUsername() : std::string("anonymous");
  SetListedUser(user_name_);
}

void qmsTHTTPSession::Fail(int status, const std::string& message) {
  Mode = hmError;
  Status = status;
  Message = message;
}

void qmsTHTTPSession::ProcessRequest() {
  jvbTraceScope trace("qmsTHTTPSession.ProcessRequest");
  if (Request.badPath) {
    Fail(400, "Path with control characters refused");
  } else {
    ResolveMode();
    Authorize();
    CheckAccess();
    ChooseHandling();
  }
  bool bodyRead = ReceiveBody();
  processed_ = true;
  if (bodyRead) Answer();
  LogResult();
}

// ---------------------------------------------------------------------------------------
// What the request names

const jvb::RootDir* qmsTHTTPSession::RootFor(const std::string& path, std::string& rel,
                                             std::string& real) {
  const jvbTFSMapping& m = MapPath(path);
  if (m.realPath.empty()) return nullptr;
  if (!mount_.valid() || m.mountedDirectory != mount_dir_) {
    mount_dir_.clear();
    if (!mount_.Open(jvbCutSep(m.mountedDirectory))) return nullptr;
    mount_dir_ = m.mountedDirectory;
  }
  rel = m.rest.empty() ? std::string("/") : m.rest;
  real = m.realPath;
  return &mount_;
}

// True for a regular file (its facts in the fields of modes 4 and 5); st tells a
// directory apart. FIFOs, devices and links out of the root count as missing.
bool qmsTHTTPSession::LocateFile(const std::string& path, struct stat& st) {
  st = {};
  const jvb::RootDir* root = RootFor(path, rel_path_, real_path_);
  if (!root) return false;
  uint64_t stamp = 0;
  qmsTServiceCache::Content content;
  if (Service()->Cache().FindRecent(real_path_, kConfirmMs, stamp, content)) {
    stamp_ = stamp;
    file_time_ = static_cast<int64_t>(stamp / 1000000000u);
    file_size_ = static_cast<int64_t>(content->size());
    cached_ = std::move(content);
    st.st_mode = S_IFREG;
    return true;
  }
  if (!root->StatBeneath(rel_path_, st) || !S_ISREG(st.st_mode)) return false;
  stamp_ = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(st.st_mtim.tv_nsec);
  file_time_ = st.st_mtim.tv_sec;
  file_size_ = st.st_size;
  return true;
}

void qmsTHTTPSession::ResolveMode() {
  if (Request.uri == "/!admin") {
    Mode = hmAdmin;
    return;
  }
  if (Request.uri == "/!metrics") {
    Mode = hmMetrics;
    return;
  }
  if (Request.uri == "/!icon") {
    Mode = hmIcon;
    return;
  }
  std::string root = default_root_;
  if (const std::string* host = Request.Header("HOST")) {
    std::string value, name = jvb::AsciiLower(*host);
    if (Setting("RootDirectory[" + name + "]", value) ||
        Setting("RootDirectory[" + name.substr(0, name.rfind(':')) + "]", value))
      root = value;
  }
  if (root != root_) {
    if (!FileSys().SetRoot(root)) FileSys().SetRoot("/");
    root_ = root;
  }
  Path = FileSys().Normalize(Request.uri);
  struct stat st {};
  if (!Path.empty() && LocateFile(Path, st)) {
    Mode = hmFile;
  } else if (!Path.empty() && S_ISDIR(st.st_mode)) {
    Mode = hmDirectory;
    TryIndexFiles();
  } else {
    Fail(404, qmsQuoted(Path.empty() ? Request.uri : Path) + " not found");
  }
}

void qmsTHTTPSession::TryIndexFiles() {
  const std::string dir = Path == "/" ? std::string() : Path;
  for (const std::string& name : index_files_) {
    struct stat st {};
    std::string candidate = dir + "/" + name;
    if (!name.empty() && LocateFile(candidate, st)) {
      Path = std::move(candidate);
      Mode = hmIndexFile;
      return;
    }
  }
}

void qmsTHTTPSession::Authorize() {
  const std::string* auth = Request.Header("AUTHORIZATION");
  std::string name, password;
  if (!auth || !qmsBasicCredentials(*auth, name, password)) return;
  if (Service()->TlsMode() == qmsTTlsMode::kRequire && !Secure()) {
    // A password that crossed the network in the clear is not taken.
    UseAnonymous();
    Fail(401, qmsQuoted(name) + " refused on a plain connection (TLS required)");
    return;
  }
  if (SessionUser(name) != usIdentified) {
    UseAnonymous();
    return;
  }
  if (SessionPassword(password) == pwAuthenticated) {
    anonymous_user_ = false;
    ReadRights();
    return;
  }
  UseAnonymous();
  Fail(401, qmsQuoted(name) + " not authorized");
}

void qmsTHTTPSession::CheckAccess() {
  switch (Mode) {
    case hmAdmin:
    case hmMetrics:  // the same rule as the administration pages
      Access = AccessTo("!admin");
      break;
    case hmIcon:
      Access = 4;
      break;
    case hmDirectory:
      Access = AccessTo(FileSys().RealDirectory(Path));
      break;
    case hmFile:
    case hmIndexFile:
      Access = AccessTo(real_path_);
      break;
    default:
      Access = AccessTo(Path.empty() ? Path : MapPath(Path).realPath);
  }
  if (!(Access & 4) && !(Access & 1) && Status != 401) Fail(401, "No access");
}

// Extensions of key[dir] when that is set, else of key, lower-cased with blanks around.
std::string qmsTHTTPSession::ExtensionList(const char* key) {
  size_t slash = Path.rfind('/');
  std::string dir = jvb::AsciiLower(
      slash == 0 || slash == std::string::npos ? std::string("/") : Path.substr(0, slash));
  std::string list;
  if (!Setting(std::string(key) + "[" + dir + "]", list)) Setting(key, list);
  std::vector<std::string> words;
  jvbTTextConfig::CutWords(jvb::AsciiLower(list), words);
  std::string out = " ";
  for (const auto& w : words) out += w + " ";
  return out;
}

void qmsTHTTPSession::ChooseHandling() {
  if (Mode != hmFile && Mode != hmIndexFile) return;
  size_t slash = Path.rfind('/'), dot = Path.rfind('.');
  std::string ext =
      dot != std::string::npos && dot > slash ? jvb::AsciiLower(Path.substr(dot)) : "";
  const std::string word = " " + ext + " ";
  if (!ext.empty() && ExtensionList("ApplicationDirectory").find(word) != std::string::npos) {
    Mode = hmApplication;
    if (!Setting("Application[" + ext + "]", ContentType))
      Fail(500, "Applicaton setting for " + qmsQuoted(ext) + " not found");
    return;
  }
  jvbTTextConfig* msg = Messages();
  if (!msg || ((ext.empty() || !msg->ReadValue("EXTENSION", ext, ContentType)) &&
               !msg->ReadValue("EXTENSION", "Default", ContentType)))
    ContentType = "text/plain";
  if (!ext.empty()) {
    fib_ = ExtensionList("FIBDirectory").find(word) != std::string::npos;
    ssi_ = ExtensionList("SSIDirectory").find(word) != std::string::npos;
  }
}

// Reads a POST body into "tmp/<socket>.bdy". False when the request cannot be answered
// as it stands (the error status is set and the connection closes afterwards).
bool qmsTHTTPSession::ReceiveBody() {
  const std::string* cl = Request.Header("CONTENT-LENGTH");
  int64_t length = cl ? qmsContentLength(*cl, post_limit_) : 0;
  if (Request.methodCode != hmPOST) {
    // A body nobody reads would be taken for the next request.
    if (length != 0) KeepAlive = false;
    drain_ = length != 0;
    return true;
  }
  if (length < 0) {
    KeepAlive = false;
    drain_ = true;
    Fail(length == -1 ? 400 : 413, length == -1 ? "Bad Content-Length" : "Request body too large");
    return true;
  }
  char name[64];
  snprintf(name, sizeof name, "tmp/%4.4x.bdy", static_cast<unsigned>(Socket()->Handle()));
  int err = 0;
  int fd = jvb::CreateShared(name, jvb::fmReadWriteExclusive, 1000, true, jvb::kModePrivate, &err);
  if (fd < 0) {
    KeepAlive = false;
    Fail(500, "Cannot create " + qmsQuoted(name));
    return true;
  }
  body_file_ = name;
  std::string piece(16384, '\0');
  int64_t left = length;
  const int waitMs = (Timeout > 0 ? Timeout : 180) * 1000;
  while (left > 0 && !terminate) {
    int n = Socket()->Recv(piece.data(), static_cast<int>(std::min<int64_t>(left, 16384)), waitMs);
    if (n <= 0) break;
    ResetIdle();
    if (!jvb::WriteAll(fd, std::string(piece.data(), static_cast<size_t>(n)))) break;
    left -= n;
  }
  jvb::CloseFile(fd);
  if (left > 0) {
    KeepAlive = false;
    Fail(400, "Request body incomplete");
  }
  return true;
}

void qmsTHTTPSession::Answer() {
  switch (Mode) {
    case hmAdmin:
      (Access & 1) ? SendAdmin() : SendError(401);
      break;
    case hmMetrics:
      (Access & 1) ? SendMetrics() : SendError(401);
      break;
    case hmIcon:
      SendIcon();
      break;
    case hmFile:
    case hmIndexFile:
      if (Path != Request.uri)
        SendError(302);
      else
        (Access & 4) ? SendFile(ssi_, fib_) : SendError(401);
      break;
    case hmApplication:
      ((Access & 1) && (Access & 64)) ? SendCGI() : SendError(401);
      break;
    case hmDirectory:
      ((Access & 1) && (Access & 32)) ? SendDirectory() : SendError(401);
      break;
    default:
      SendError(Status ? Status : 500);
  }
}

// The request's lines go to the service log in one write, each with its own stamp and
// thread prefix as Log writes them.
void qmsTHTTPSession::LogResult() {
  std::string lines;
  auto add = [&](const std::string& text) {
    if (!lines.empty()) lines += "\r\n" + jvb::FormatLogStamp(jvb::NowLocal()) + " ";
    lines += log_prefix_ + qmsVisibleText(text);
  };
  if (log_prefix_.empty()) {
    char id[32];
    snprintf(id, sizeof id, "[%4lx] ", static_cast<long>(threadId.load()));
    log_prefix_ = id;
  }
  char b[160];
  if (processed_) {
    processed_ = false;
    const std::string* host = Request.Header("HOST");
    const unsigned char* o = Socket()->PeerOctets();
    snprintf(b, sizeof b, " %d.%d.%d.%d", o[0], o[1], o[2], o[3]);
    add(qmsQuoted(Request.line) + " " + (host ? *host : std::string("-")) + b);
  }
  snprintf(b, sizeof b, ">>> %d %lld/%lld ", Status, static_cast<long long>(BytesSent),
           static_cast<long long>(ContentLength));
  add(b + user_name_);
  if (!Message.empty()) add(">>> " + Message);
  Service()->Log(lines);
  if (!ext_fields_.empty()) ExtendedLog();
  if (!body_file_.empty()) {
    jvb::DeleteFile(body_file_);
    body_file_.clear();
  }
}
