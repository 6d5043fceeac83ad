// Applications of the HTTP session: plug-in libraries, REXX scripts and CGI programs run
// through the CGI processor.
//
// A CGI run owns a pipe for the program's output, a file under tmp/ for its standard
// error and a named semaphore that the processor posts when the program has ended. They
// belong to one CgiRun object, which removes all of them and ends the program's whole
// process group on every way out (a program that keeps silent past the service's Timeout,
// a client that went away, a session told to stop).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "server/core/hooks.h"
#include "server/core/service.h"
#include "server/http/httpcgi.h"
#include "server/http/httpsession.h"
#include "toolbox/childprocess.h"
#include "toolbox/names.h"
#include "toolbox/netfile.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timer.h"
#include "toolbox/trace.h"

extern char** environ;

namespace {

constexpr size_t kPipeBlock = 16384;
// A header block larger than this is relayed as it stands, without looking for a status.
constexpr size_t kMaxHeaderBlock = 16384;
// Standard-error lines beyond these limits are not logged.
constexpr size_t kMaxErrorBytes = 64 * 1024;
constexpr int kMaxErrorLines = 200;

// Everything one program run holds; released on every path.
struct CgiRun {
  std::string errFile;
  int errFd = -1;
  int inFd = -1;
  int readFd = -1;
  int writeFd = -1;
  jvb::NamedSemaphore event;
  pid_t pid = -1;
  bool reaped = false;

  CgiRun() = default;
  CgiRun(const CgiRun&) = delete;
  CgiRun& operator=(const CgiRun&) = delete;
  ~CgiRun() {
    EndProgram();
    for (int* fd : {&errFd, &inFd, &readFd, &writeFd}) CloseFd(*fd);
    if (!errFile.empty()) jvb::DeleteFile(errFile);
  }
  void EndProgram() {
    if (pid > 0) jvb::KillGroupAndReap(pid, reaped);
    pid = -1;
  }
  static void CloseFd(int& fd) {
    if (fd >= 0) jvb::CloseFile(fd);
    fd = -1;
  }
};

std::string Directory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  return jvb::WorkingDirectory() + "/" + (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

}  // namespace

// Runs the application a request names, for one session.
class qmsTHTTPApp {
 public:
  explicit qmsTHTTPApp(qmsTHTTPSession& session) : s_(session) {}
  void Run();

 private:
  void RunPlugin(const std::string& library);
  void RunRexx();
  void RunProgram(const qmsTHTTPAppCommand& app);
  std::vector<std::string> Environment();
  bool Prepare(CgiRun& run);
  std::vector<std::string> ProcessorArguments(const CgiRun& run, const qmsTHTTPAppCommand& app);
  void Relay(CgiRun& run);
  bool Forward(const char* data, size_t len);
  void LogErrors(CgiRun& run);
  void Fail(const std::string& message) {
    s_.Fail(500, message);
    s_.SendError(500);
  }

  qmsTHTTPSession& s_;
  std::string head_;  // output held back until its header block is complete
  bool head_sent_ = false;
  int64_t total_ = 0;
};

void qmsTHTTPSession::SendCGI() { qmsTHTTPApp(*this).Run(); }

void qmsTHTTPApp::Run() {
  jvbTraceScope trace("qmsTHTTPSession.SendCGI");
  s_.KeepAlive = false;
  const qmsTHTTPAppCommand app = qmsParseAppCommand(s_.ContentType);
  switch (app.kind) {
    case qmsTHTTPAppCommand::kPlugin:
      RunPlugin(app.program);
      break;
    case qmsTHTTPAppCommand::kRexx:
      RunRexx();
      break;
    default:
      RunProgram(app);
  }
  if (s_.Socket()) s_.Socket()->Shutdown();
}

void qmsTHTTPApp::RunPlugin(const std::string& library) {
  const auto& call = qmsHookRunners().httpRequest;
  if (library.empty() || !call || !call(s_, library)) {
    Fail("Plug-in " + qmsQuoted(library) + " did not answer");
    return;
  }
  s_.Status = 200;
}

void qmsTHTTPApp::RunRexx() {
  std::string result;
  bool notRun = false;
  int rc = s_.RunREXX(result, s_.real_path_, &notRun);
  // A script that never ran (an interpreter error) answered nothing: the client gets the
  // error page instead of a closed connection.
  if (notRun || rc == 1 || (rc == 0 && result != "0")) {
    Fail("REXX application " + qmsQuoted(s_.Path) + " failed");
    return;
  }
  s_.Status = 200;
}

std::vector<std::string> qmsTHTTPApp::Environment() {
  const qmsTHTTPRequest& r = s_.Request;
  qmsTCGIEnvironment env;
  jvbTSocket* sock = s_.Socket();
  auto header = [&](const char* name) {
    const std::string* v = r.Header(name);
    return v ? *v : std::string();
  };
  env.Add("AUTH_TYPE", "");
  env.Add("CONTENT_LENGTH", header("CONTENT-LENGTH"));
  env.Add("CONTENT_TYPE", header("CONTENT-TYPE"));
  env.Add("GATEWAY_INTERFACE", "CGI/1.1");
  env.Add("QUERY_STRING", qmsRawQuery(r.line));
  env.Add("REMOTE_ADDR", sock ? sock->PeerDotted() : std::string());
  env.Add("REMOTE_HOST",
          sock && sock->peerHostName != sock->PeerDotted() ? sock->peerHostName : std::string());
  env.Add("REMOTE_IDENT", "");
  env.Add("REMOTE_USER", jvb::EqualNoCase(s_.user_name_, "anonymous") ? "" : s_.user_name_);
  env.Add("REQUEST_METHOD", r.method);
  env.Add("SCRIPT_NAME", s_.Path);
  env.Add("SERVER_NAME", s_.Host);
  env.Add("SERVER_PORT", std::to_string(s_.Service()->Port()));
  env.Add("SERVER_PROTOCOL", r.version);
  env.Add("SERVER_SOFTWARE", qms::kProductTitle);
  env.AddHeaders(r.headers);
  env.AddServerEnvironment(environ);
  return env.Strings();
}

bool qmsTHTTPApp::Prepare(CgiRun& run) {
  const unsigned handle = static_cast<unsigned>(s_.Socket()->Handle());
  char name[64];
  snprintf(name, sizeof name, "tmp/%4.4x.cgi", handle);
  int err = 0;
  run.errFd = jvb::CreateShared(name, jvb::fmWrite, 1000, true, jvb::kModePrivate, &err);
  if (run.errFd < 0) return false;
  run.errFile = name;
  const bool post = s_.Request.methodCode == hmPOST && !s_.body_file_.empty();
  run.inFd = post ? jvb::OpenShared(s_.body_file_, jvb::fmReadDenyNone, 1000, &err)
                  : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (run.inFd < 0 || !jvb::MakePipe(run.readFd, run.writeFd)) return false;
  snprintf(name, sizeof name, "QMSCGI%4.4x-%d", handle, jvb::ProcessId());
  return run.event.Create(name);
}

// The words of "event stdin stdout stderr directory command path", split at blanks.
std::vector<std::string> qmsTHTTPApp::ProcessorArguments(const CgiRun& run,
                                                         const qmsTHTTPAppCommand& app) {
  char name[64];
  snprintf(name, sizeof name, "QMSCGI%4.4x-%d", static_cast<unsigned>(s_.Socket()->Handle()),
           jvb::ProcessId());
  std::string program = jvb::FindInPath(app.program);
  if (program.empty())
    program = app.program.find('/') != std::string::npos ? Absolute(app.program) : app.program;
  const std::string real = Absolute(s_.real_path_);
  std::string line = std::string(name) + " " + std::to_string(run.inFd) + " " +
                     std::to_string(run.writeFd) + " " + std::to_string(run.errFd) + " " +
                     Directory(real) + " " + program + " " + app.rest + " " + real;
  std::vector<std::string> words;
  for (size_t pos = 0; pos < line.size();) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    if (end > pos) words.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

void qmsTHTTPApp::RunProgram(const qmsTHTTPAppCommand& app) {
  CgiRun run;
  if (app.program.empty() || !s_.Socket() || !Prepare(run)) {
    Fail("Cannot prepare CGI program for " + qmsQuoted(s_.Path));
    return;
  }
  int err = 0;
  run.pid = jvb::SpawnGroup(qms::kCgiProgram, ProcessorArguments(run, app), Environment(),
                            {run.inFd, run.writeFd, run.errFd}, run.errFd, &err);
  // Only the program may hold the pipe's write end: its end is the end of the output.
  CgiRun::CloseFd(run.writeFd);
  CgiRun::CloseFd(run.inFd);
  if (run.pid < 0) {
    Fail("Cannot start " + qmsQuoted(qms::kCgiProgram) + " (" + std::to_string(err) + ")");
  } else {
    Relay(run);
  }
  LogErrors(run);
}

// Relays the program's output until it ends. The program ends the output by ending (the
// pipe reaches its end) or, while something else still holds the pipe, by the processor's
// semaphore; a silent program is ended after the service's Timeout.
void qmsTHTTPApp::Relay(CgiRun& run) {
  const int64_t limitMs = static_cast<int64_t>(s_.Timeout > 0 ? s_.Timeout : 180) * 1000;
  const int sock = s_.Socket()->Handle();
  jvbTTimer quiet;
  std::string buf(kPipeBlock, '\0');
  bool ended = false, eof = false, lost = false, late = false;
  while (!eof && !lost && !late && !s_.terminate) {
    struct pollfd p[2] = {{run.readFd, POLLIN, 0}, {sock, POLLRDHUP, 0}};
    int n = ::poll(p, 2, 50);
    if (n > 0 && (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      lost = true;
    } else if (n > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = ::read(run.readFd, buf.data(), buf.size());
      if (got > 0) {
        quiet.Reset();
        s_.ResetIdle();
        lost = !Forward(buf.data(), static_cast<size_t>(got));
      } else {
        eof = got == 0 || errno != EINTR;
      }
    } else if (ended) {
      break;  // nothing more in the pipe and the program has ended
    } else {
      s_.ResetIdle();  // the limit below, not the idle time-out, ends a silent program
      if (run.event.TryTake()) ended = true;
      if (jvb::ChildEnded(run.pid)) ended = run.reaped = true;
      late = quiet.ElapsedMs() >= limitMs;
    }
  }
  // After the output's end the processor posts and exits at once; wait for it a while.
  for (jvbTTimer wait; eof && !run.reaped && wait.ElapsedMs() < limitMs && !s_.terminate;)
    if (jvb::ChildEnded(run.pid))
      run.reaped = true;
    else
      ::poll(nullptr, 0, 10);
  run.EndProgram();
  if (late)
    s_.Message = "CGI program gave no output within " + std::to_string(limitMs / 1000) + "s";
  if (lost) s_.Message = "Client left during the CGI program";
  if (!lost && !head_sent_ && !head_.empty()) Forward(nullptr, 0);
  if (total_ == 0 && !lost) {
    if (!late) s_.Message = "CGI program gave no output";
    s_.Status = 500;
    s_.SendError(500);
    return;
  }
  s_.BytesSent = total_;
}

// Hands output on; the header block is held until it is complete (or too large) so that
// a "Status:" line can become the status line. Forward(nullptr, 0) sends what is held.
bool qmsTHTTPApp::Forward(const char* data, size_t len) {
  total_ += static_cast<int64_t>(len);
  if (head_sent_) return s_.Send(data, len);
  head_.append(data ? data : "", len);
  size_t end = qmsCGIHeaderEnd(head_);
  if (data && end == 0 && head_.size() < kMaxHeaderBlock) return true;
  std::string statusText;
  int status = 200;
  std::string block = head_.substr(0, end);
  if (end == 0 || !qmsCGIStatus(block, statusText, status)) {
    status = 200;
    if (!s_.Messages() || !s_.Messages()->ReadValue("STATUS", "200", statusText))
      statusText = "200 OK";
  }
  std::string out = "HTTP/1.1 " + statusText + "\r\n" + block + head_.substr(end);
  head_.clear();
  head_sent_ = true;
  s_.Status = status;
  return s_.Send(out.data(), out.size());
}

// The program's standard error goes to the service log, one "ERR" line per line.
void qmsTHTTPApp::LogErrors(CgiRun& run) {
  if (run.errFile.empty()) return;
  CgiRun::CloseFd(run.errFd);
  int err = 0;
  int fd = jvb::OpenShared(run.errFile, jvb::fmReadDenyNone, 1000, &err);
  std::string text;
  if (fd >= 0) {
    jvb::ReadAll(fd, text, kMaxErrorBytes);
    jvb::CloseFile(fd);
  }
  int count = 0;
  for (size_t pos = 0; pos < text.size() && count < kMaxErrorLines; ++count) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    s_.Log("ERR " + qmsVisibleText(line));
    pos = nl + 1;
  }
  jvb::DeleteFile(run.errFile);
  run.errFile.clear();
}
