#include "server/core/runserver.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include "server/core/application.h"
#include "server/core/setup.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

const char* const kCommandFiles[] = {".restart.instant", ".shutdown.instant", ".restart",
                                     ".shutdown"};

std::string HeapLine(const char* format) {
  char b[128];
  snprintf(b, sizeof b, format, static_cast<unsigned long long>(jvb::HeapBytesAllocated()));
  return b;
}

void RemoveCommandFiles() {
  qmsConLog("Removing command files ...");
  for (const char* f : kCommandFiles) {
    if (!jvb::PathExists(f)) continue;
    // A stale command file that stays would stop every new run within seconds: say so.
    if (!jvb::DeleteFile(f))
      qmsConLog(std::string("- Unable to remove command file \"") + f + "\" (" +
                std::to_string(errno) + ")");
  }
}

void ConfigurationGate(qmsTApplication& app, bool standalone) {
  bool disabled = false;
  app.Config()->ReadBool("GLOBAL", "DisableConfigCheck", disabled);
  if (!disabled && !standalone) {
    qmsCheckSetup(*app.Config());
    return;
  }
  qmsConLog("Config check: Disabled");
  std::string version, build;
  app.Config()->ReadString(version, "UPGRADE", "CurrentVersion");
  app.Config()->ReadString(build, "UPGRADE", "CurrentBuild");
  if (version != qms::kProductVersion || build != qms::kBuildId) qmsHalt(true, 10010);
}

}  // namespace

std::vector<std::string> qmsServerBannerLines() {
  char title[256], build[256];
  snprintf(title, sizeof title, "%s%*s", " Quillmar/32 v0.9.5 Server", 46, qms::kMakerNotice);
  snprintf(build, sizeof build, "%s%*s", qms::kBuildId, 44, qms::kHomePageUrl);
  return {std::string(78, '-'), title, build};
}

bool qmsIsStandalone(const std::vector<std::string>& args) {
  return !args.empty() && args[0] == qms::kStandaloneWord;
}

bool qmsCheckLauncherProof(const std::vector<std::string>& args, time_t nowEpoch, int nowMs) {
  if (args.size() != 1) return false;
  time_t stamp = 0;
  int ms = 0;
  if (!jvb::ParseLauncherStamp(args[0], &stamp, &ms)) return false;
  // Epoch seconds, not wall-clock fields, so a daylight-saving change cannot age a stamp.
  long long diffMs = (static_cast<long long>(nowEpoch) - stamp) * 1000 + (nowMs - ms);
  return diffMs / 1000 <= 5;
}

// Termination signals are blocked in every thread and taken here, one at a time, as an
// instant shutdown: kill, systemctl stop and Ctrl-C all stop the server in order.
static void StartSignalThread() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) qmsStopSignal = true;
    }
  }).detach();
}

// Takes the site lock, or halts with 10005 before anything is written into log/ or tmp/
// (those belong to the server that holds it). The descriptor is close-on-exec: programs
// the server starts do not keep the site locked.
static std::unique_ptr<jvbTTextFile> LockSite() {
  auto lock = std::make_unique<jvbTTextFile>();
  lock->Init(qms::kSiteLock, jvb::fmWriteDenyWrite);
  if (!lock->OpenOrCreate()) qmsHaltScreen(10005);
  return lock;
}

int qmsRunServer(const std::vector<std::string>& args) {
  // Time-zone data is read once, before any other thread asks for local time.
  tzset();
  signal(SIGPIPE, SIG_IGN);
  StartSignalThread();
  jvb::RaiseFileLimit();
  std::unique_ptr<jvbTTextFile> siteLock = LockSite();
  for (const auto& line : qmsServerBannerLines()) qmsConLog(line);
  qmsCon("");

  bool standalone = qmsIsStandalone(args);
  if (!standalone) {
    struct timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (!qmsCheckLauncherProof(args, ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000)))
      qmsHalt(true, 10003);
  }

  qmsApplication = new qmsTApplication(standalone);
  qmsTApplication& app = *qmsApplication;
  qmsArchiveLogs(*app.Config());

  bool trace = false;
  app.Config()->ReadBool("DEBUG", "Trace", trace);
  if (trace) {
    qmsConLog("Debug trace mode: Enabled");
    jvbTraceFileName = "log/qms%4.4x%s.trc";
    jvbTraceEnabled = true;
  }
  jvbTraceThreadStart();
  jvbTrace(">qmsRunServer");

  ConfigurationGate(app, standalone);
  RemoveCommandFiles();
  // Sockets need no library start-up here.

  qmsCon("");
  qmsConLog(HeapLine("Starting QMS Server (%llu) ..."));
  qmsCon("");

  qmsSetConsoleThreadId(true);
  qmsSetLogThreadId(true);
  app.RunApplication();
  qmsSetConsoleThreadId(false);
  qmsSetLogThreadId(false);
  int result = app.PendingCommand() == qmsTApplication::cmdRestart ? 1 : 0;
  if (!app.Stopped()) {
    // A thread still runs inside what would be freed: end here, with the exit code.
    qmsConLog("Ending QMS Server without waiting for the services left");
    qmsRestoreTerminal();
    _exit(qmsEncodeExit(result));
  }

  delete qmsApplication;
  qmsApplication = nullptr;

  qmsCon("");
  qmsConLog(HeapLine(result == 0 ? "Stopping QMS Server (%llu) ..." : "Restarting QMS Server (%llu) ..."));
  jvbTrace("<qmsRunServer");
  jvbTraceThreadEnd();
  return result;
}
