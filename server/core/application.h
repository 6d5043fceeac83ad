// qmsTApplication: the one application object of a server process. It owns the main
// configuration "config/qms.cfg" and the groups, runs the main loop on the main thread
// (RunApplication), and takes operator words from any thread through PostCommand.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/class.h"

class qmsTGroup;
class qmsTService;

class qmsTApplication : public qmsTClass {
 public:
  // Pending operator command.
  enum Command {
    cmdNone = 0,
    cmdRestartIdle = 1,
    cmdRestart = 2,
    cmdShutdownIdle = 3,
    cmdShutdown = 4,
  };

  explicit qmsTApplication(bool standalone = false);
  ~qmsTApplication() override;

  void RunApplication();
  // Turns a pending stop signal into an instant shutdown (main loop).
  void TakeStopSignal();
  void PostCommand(const std::string& word);
  // Runs the queued words (main thread).
  void ProcessCommands();
  void StartGroup(qmsTGroup* group);

  Command PendingCommand() const { return static_cast<Command>(command_.load()); }
  void SetCommand(Command c) { command_ = c; }
  // False when a service could not be stopped: its memory must not be freed.
  bool Stopped() const { return stopped_; }
  bool Standalone() const { return standalone_; }
  bool ConsoleDebug() const { return console_debug_; }

  jvbTTimer& StabilityTimer() { return Timer(); }
  double UptimeSeconds() const { return uptime_.ElapsedSeconds(); }
  // Groups in list order: the management group first, then the site groups by name.
  std::vector<qmsTGroup*> Groups();
  qmsTGroup* AddGroup(const std::string& name);

  // Checks the default accounts of a group's database; true when one still has its default.
  static bool DefaultPasswordWarning(qmsTGroup* group);

  // Operator keys (main loop); replaceable by tests.
  std::function<int()> readKey;  // returns a decoded Alt+letter (lower case) or 0

 private:
  void MainLoop();
  bool StopAll();
  bool StopService(qmsTService* service);
  void PollCommandFiles();
  void StartConsole();

  std::atomic<int> command_{cmdNone};
  std::mutex command_lock_;
  std::deque<std::string> queue_;
  std::map<std::string, std::unique_ptr<qmsTGroup>> groups_;
  std::mutex groups_lock_;
  bool standalone_;
  bool console_debug_ = false;
  bool stopped_ = true;
  jvbTTimer uptime_;
};

// The instance while one exists (set and cleared by qmsRunServer).
extern qmsTApplication* qmsApplication;

// Set by the signal thread; the main loop turns it into "shutdown.instant".
extern std::atomic<bool> qmsStopSignal;

// Maximum posted words waiting; more are dropped (a flooding console cannot grow it).
inline constexpr size_t kMaxPostedCommands = 100;
