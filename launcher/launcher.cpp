#include "launcher/launcher.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"

namespace {

volatile sig_atomic_t g_child_pid = 0;
volatile sig_atomic_t g_stop_requested = 0;  // the signal that asked for the stop

void PassOnSignal(int sig) {
  g_stop_requested = sig;
  pid_t pid = g_child_pid;
  if (pid > 0) kill(pid, sig);
}

}  // namespace

void qmsLauncherInstallSignals() {
  struct sigaction sa{};
  sa.sa_handler = PassOnSignal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: the wait for the server ends with EINTR and is entered again. A runtime
  // that defers handlers to the next library call (ThreadSanitizer's) would otherwise hold
  // the signal for as long as the server runs, and the stop would never be passed on.
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // Ctrl-C reaches the whole foreground group; the server handles it and stops in order.
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

qmsTLauncher::qmsTLauncher() : run_(qmsRunServerChild) {}

bool qmsLauncherStopRequested() { return g_stop_requested != 0; }

qmsTRunResult qmsRunServerChild(const std::string& program) {
  qmsTRunResult r;
  std::string stamp = jvb::FormatLauncherStamp(jvb::NowLocal());
  int64_t start = jvb::MonotonicMs();
  int err = 0;
  pid_t pid = jvb::SpawnProcess(program, {stamp}, false, &err);
  if (pid < 0) {
    r.code = -1;
  } else {
    g_child_pid = pid;
    // A stop that came while the child was being started finds no pid to pass on to:
    // pass it on now, so that no server runs on with nobody to stop it.
    if (int sig = g_stop_requested) kill(pid, sig);
    int status = jvb::WaitProcess(pid);
    g_child_pid = 0;
    if (status == -1)
      r.code = -1;
    else if (WIFEXITED(status))
      r.code = qmsDecodeExit(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      r.code = 128 + WTERMSIG(status);  // a crash: restarted like any abnormal end
    else
      r.code = -1;
  }
  r.seconds = static_cast<int>((jvb::MonotonicMs() - start) / 1000);
  return r;
}

void qmsTLauncher::PrintBanner() {
  char b[256];
  qmsCon(std::string(78, '-'));
  snprintf(b, sizeof b, "%s%*s", qms::kProductTitle, 53, qms::kMakerNotice);
  qmsCon(b);
  snprintf(b, sizeof b, "%s%*s", qms::kBuildId, 44, qms::kHomePageUrl);
  qmsCon(b);
  qmsCon("");
}

bool qmsTLauncher::IsUsageSwitch(const std::string& a) {
  return a == "-?" || a == "/?" || a == "-h" || a == "/h";
}

std::string qmsTLauncher::RexxLibraryName() {
  const char* over = std::getenv("QMS_REXX_LIBRARY");
  return (over && *over) ? over : qms::kRexxLibrary;
}

bool qmsTLauncher::RexxLibraryLoads() {
  void* h = dlopen(RexxLibraryName().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  dlclose(h);
  return true;
}

void qmsTLauncher::InstallUpgrade() {
  if (!jvb::FileExists(qms::kUpgradeProgram)) return;
  if (jvb::CopyFileAtomic(qms::kServerProgram, qms::kOldProgram))
    qmsConLog("- Backup of " + qmsQuoted(qms::kServerProgram) + " saved as " + qmsQuoted(qms::kOldProgram) +
              ".");
  if (!jvb::CopyFileAtomic(qms::kUpgradeProgram, qms::kServerProgram)) {
    qmsConLog("- Upgrade failed.");
  } else {
    qmsConLog("- Copied new file " + qmsQuoted(qms::kUpgradeProgram) + " to " +
              qmsQuoted(qms::kServerProgram) + ".");
    if (jvb::DeleteFile(qms::kUpgradeProgram))
      qmsConLog("- Deleted update file " + qmsQuoted(qms::kUpgradeProgram) + ".");
    else
      qmsConLog("- Unable to delete upgrade file " + qmsQuoted(qms::kUpgradeProgram) + ".");
  }
  qmsCon("");
}

bool qmsTLauncher::ShouldRestart(int code) {
  if (qmsLauncherStopRequested()) return false;
  return code != 0 && short_runs_ < 5 && !(code >= 10000 && code <= 10099);
}

int qmsTLauncher::RunLoop() {
  int code = 0;
  do {
    qmsConLog("Checking for new server binary ...");
    InstallUpgrade();
    qmsConLog("Calling server binary " + qmsQuoted(qms::kServerProgram) + " ...");
    qmsTRunResult r = run_(qms::kServerProgram);
    code = r.code;
    qmsCon("");
    qmsConLog("Returned from server binary " + qmsQuoted(qms::kServerProgram) + " ...");
    short_runs_ = r.seconds < 5 ? short_runs_ + 1 : 0;
    if (code != 0) qmsConLog("qmsHalt #" + std::to_string(code));
  } while (ShouldRestart(code));
  return code;
}

// A server already runs in this site when its lock file is held: leave its console
// records and logs alone.
static void CheckSiteFree() {
  jvbTTextFile lock;
  lock.Init(qms::kSiteLock, jvb::fmWriteDenyWrite, 1, 0, 0);
  if (!lock.Open() && lock.LastError() == EWOULDBLOCK) qmsHaltScreen(10005);
}

int qmsTLauncher::Main(const std::vector<std::string>& args) {
  qmsLauncherInstallSignals();
  CheckSiteFree();
  jvb::DeleteFile(qms::kConsoleRecords);
  PrintBanner();
  for (const auto& a : args) {
    if (IsUsageSwitch(a)) {
      qmsCon("Usage:");
      qmsCon(std::string("  ") + qms::kLauncherProgram);
      qmsCon(std::string("  ") + qms::kLauncherProgram + " [-?|-h]");
      return 0;
    }
  }
  if (!jvb::SameDirectory(".", jvb::ProgramDirectory())) qmsHalt(false, 10000);
  jvb::ForceDirectories("log");
  char b[256];
  qmsLog(std::string(78, '-'));
  snprintf(b, sizeof b, "%s%*s", qms::kProductTitle, 53, qms::kMakerNotice);
  qmsLog(b);
  snprintf(b, sizeof b, "%s%*s", qms::kBuildId, 44, qms::kHomePageUrl);
  qmsLog(b);
  if (!RexxLibraryLoads()) qmsHalt(true, 10002);
  int code = RunLoop();
  if (code == 0 || (code >= 10000 && code <= 10099) || qmsLauncherStopRequested())
    qmsConLog("QMS has been shut down ...");
  else
    qmsConLog("QMS has been shut down; too many frequent restarts ...");
  return 0;
}
