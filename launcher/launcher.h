// qmsTLauncher: the stability monitor. Installs a dropped-in server program, starts the
// server with a fresh time-stamp argument, and starts it again according to its exit code
// until it asks to stop, ends with a configuration halt, or restarts too often.
// Runs on the main thread; SIGTERM/SIGHUP are passed on to the running server.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct qmsTRunResult {
  int code = 0;        // decoded exit code; -1 when the child could not be started
  int seconds = 0;     // whole seconds the child ran
};

class qmsTLauncher {
 public:
  // Starts the server and waits for it; replaceable for tests.
  using RunChild = std::function<qmsTRunResult(const std::string& program)>;

  qmsTLauncher();
  explicit qmsTLauncher(RunChild run) : run_(std::move(run)) {}

  // The whole program: returns the process exit code.
  int Main(const std::vector<std::string>& args);

  // The run loop alone (steps after the start-up checks); returns the last exit code.
  int RunLoop();
  // True when the loop must start the server again after this exit code.
  bool ShouldRestart(int code);
  int ShortRuns() const { return short_runs_; }

  // Installs "binaries/qms32upd" when present.
  void InstallUpgrade();

  static void PrintBanner();
  static bool IsUsageSwitch(const std::string& arg);
  static std::string RexxLibraryName();
  static bool RexxLibraryLoads();

 private:
  RunChild run_;
  int short_runs_ = 0;
};

// Real child runner: posix_spawn + waitpid, exit status decoded, signals passed on.
qmsTRunResult qmsRunServerChild(const std::string& program);
// SIGTERM/SIGHUP handling of the launcher (Main installs it).
void qmsLauncherInstallSignals();
// Set by SIGTERM/SIGHUP: no new server is started after the current one ends.
bool qmsLauncherStopRequested();
