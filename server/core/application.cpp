#include "server/core/application.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "server/core/group.h"
#include "server/core/service.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/terminal.h"
#include "toolbox/trace.h"

qmsTApplication* qmsApplication = nullptr;
std::atomic<bool> qmsStopSignal{false};

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One word for a POSIX shell: in single quotes, each quote inside as '\''.
std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

qmsTApplication::qmsTApplication(bool standalone) : standalone_(standalone) {
  SetConfigFile(qms::kMainConfig);
  readKey = [] { return jvbReadAltKey(); };
}

qmsTApplication::~qmsTApplication() {
  std::lock_guard<std::mutex> g(groups_lock_);
  groups_.clear();
}

std::vector<qmsTGroup*> qmsTApplication::Groups() {
  std::lock_guard<std::mutex> g(groups_lock_);
  std::vector<qmsTGroup*> out;
  for (auto& [name, group] : groups_) out.push_back(group.get());
  return out;
}

qmsTGroup* qmsTApplication::AddGroup(const std::string& name) {
  auto group = std::make_unique<qmsTGroup>(this, name);
  qmsTGroup* raw = group.get();
  std::lock_guard<std::mutex> g(groups_lock_);
  groups_[name] = std::move(group);  // "" sorts first: the management group is group 0
  return raw;
}

void qmsTApplication::PostCommand(const std::string& word) {
  std::lock_guard<std::mutex> g(command_lock_);
  if (queue_.size() >= kMaxPostedCommands) {
    // A full queue never swallows a stop: it is kept in the flag the main loop checks.
    if (word == "shutdown.instant") qmsStopSignal = true;
    return;
  }
  queue_.push_back(word);
}

void qmsTApplication::ProcessCommands() {
  for (;;) {
    std::string word;
    {
      std::lock_guard<std::mutex> g(command_lock_);
      if (queue_.empty()) return;
      word = queue_.front();
      queue_.pop_front();
    }
    int c = command_;
    if (word == "debug") {
      console_debug_ = !console_debug_;
      qmsCon("DEBUG (Alt+D)");
      qmsCon(console_debug_ ? "  Console debug: ON" : "  Console debug: OFF");
      qmsCon("");
    } else if (word == "help") {
      for (const char* line : {"HELP (Alt+H)", "  Alt+D  Toggle debug mode", "  Alt+H  Display this help",
                               "  Alt+R  Restart", "  Alt+V  Show version", "  Alt+X  Shutdown"})
        qmsCon(line);
      qmsCon("");
    } else if (word == "instant" || word == "restart.instant" || word == "shutdown.instant") {
      if (c == cmdRestartIdle || word == "restart.instant") command_ = c = cmdRestart;
      if (c == cmdShutdownIdle || word == "shutdown.instant") command_ = cmdShutdown;
    } else if (word == "restart" || word == "restart.idle") {
      if (c == cmdNone || c == cmdShutdownIdle) {
        qmsCon("RESTART (Alt+R)");
        qmsCon("  QMS will restart when there are no active connections.");
        qmsCon("  Press Alt+I for instant restart!");
        qmsCon("");
        command_ = cmdRestartIdle;
      } else if (c == cmdRestartIdle && word == "restart") {
        qmsCon("RESTART (Alt+R)");
        qmsCon("  QMS restart aborted.");
        qmsCon("");
        command_ = cmdNone;
      }
    } else if (word == "shutdown" || word == "shutdown.idle") {
      if (c == cmdNone || c == cmdRestartIdle) {
        qmsCon("SHUTDOWN (Alt+X)");
        qmsCon("  QMS will shutdown when there are no active connections.");
        qmsCon("  Press Alt+I for instant shutdown!");
        qmsCon("");
        command_ = cmdShutdownIdle;
      } else if (c == cmdShutdownIdle && word == "shutdown") {
        qmsCon("SHUTDOWN (Alt+X)");
        qmsCon("  QMS shutdown aborted.");
        qmsCon("");
        command_ = cmdNone;
      }
    } else if (word == "version") {
      qmsCon("VERSION (Alt+V)");
      qmsCon(std::string("  ") + qms::kProductTitle);
      qmsCon(std::string("  ") + qms::kBuildId);
      qmsCon("");
    }
  }
}

void qmsTApplication::PollCommandFiles() {
  static const std::pair<const char*, const char*> kFiles[] = {
      {".restart", "restart.idle"},
      {".shutdown", "shutdown.idle"},
      {".restart.instant", "restart.instant"},
      {".shutdown.instant", "shutdown.instant"},
  };
  for (const auto& [file, word] : kFiles)
    if (jvb::PathExists(file)) PostCommand(word);
}

void qmsTApplication::StartConsole() {
  bool disabled = false;
  Config()->ReadBool("GLOBAL", "DisableConsoleStart", disabled);
  if (disabled || standalone_) {
    qmsConLog("Console auto start: Disabled");
    return;
  }
  qmsConLog("Starting QMS Console ...");
  if (!jvb::FileExists(qms::kConsoleProgram)) {
    qmsConLog(std::string("- Console program \"") + qms::kConsoleProgram + "\" not installed");
    return;
  }
  // A window of its own, never this terminal: both would read the keyboard.
  std::string title = std::string(qms::kProductTitle) + " Console";
  // The new window does not start in our directory, so it gets the full path.
  std::string site = jvb::CurrentDirectory();
  std::string console = site + "/" + qms::kConsoleProgram;
  std::vector<std::string> args;
  std::string program;
  if (getenv("TMUX")) {
    // tmux hands a single command word to the shell: quote it.
    program = jvb::FindInPath("tmux");
    args = {"new-window", "-d", "-n", title, "-c", site, ShellQuoted(console)};
  } else if (getenv("DISPLAY") || getenv("WAYLAND_DISPLAY")) {
    program = jvb::FindInPath("x-terminal-emulator");
    args = {"-T", title, "-e", console};
  }
  if (program.empty()) {
    qmsConLog("- No terminal window available, console not started");
    return;
  }
  pid_t pid = jvb::SpawnProcess(program, args, true);
  if (pid > 0) {
    // Reap it in the background so no zombie stays; never wait on other children.
    std::thread([pid] { jvb::WaitProcess(pid); }).detach();
  }
}

void qmsTApplication::RunApplication() {
  jvbTraceScope trace("qmsTApplication.RunApplication");
  StabilityTimer().Reset();
  qmsConLog("Starting management service ...");
  qmsTGroup* admin = AddGroup("");
  qmsServiceStart(admin, "ADMIN");
  qmsConLog("- Service thread created and started");
  StartConsole();

  qmsConLog("Scanning for site personality groups ...");
  std::vector<jvb::DirEntry> dirs;
  jvb::FindFiles("config", "*", jvb::faDirectory, dirs);
  for (const auto& d : dirs) {
    if (!(d.attr & jvb::faDirectory)) continue;
    qmsConLog("- Site personality group " + qmsQuoted(d.name) + " found");
    AddGroup(d.name);
    qmsConLog("- Site personality group " + qmsQuoted(d.name) + " created");
  }
  qmsConLog("Starting created site personality groups ...");
  std::vector<qmsTGroup*> groups = Groups();
  for (size_t i = 1; i < groups.size(); ++i) {
    qmsConLog("- Starting site personality group " + qmsQuoted(groups[i]->Name()));
    StartGroup(groups[i]);
  }
  qmsCon("Stability monitor is running ... -[ Press Alt+X to shutdown ]-");
  jvbTerminalRaw();
  MainLoop();
  stopped_ = StopAll();
  jvbTerminalRestore();
}

// A stop signal is acted on directly, never through the bounded command queue.
void qmsTApplication::TakeStopSignal() {
  if (qmsStopSignal.exchange(false)) command_ = cmdShutdown;
}

void qmsTApplication::MainLoop() {
  jvbTTimer poll;
  static const char kKeys[] = "dhirvx";
  static const char* const kWords[] = {"debug", "help", "instant", "restart", "version", "shutdown"};
  for (;;) {
    StabilityTimer().Reset();
    TakeStopSignal();
    int active = 0;
    std::vector<qmsTGroup*> groups = Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
      for (qmsTService* s : groups[g]->Services()) {
        s->Monitor();
        if (g > 0) active += s->ActiveCount();
      }
    }
    if (command_ == cmdRestartIdle && active == 0) command_ = cmdRestart;
    if (command_ == cmdShutdownIdle && active == 0) command_ = cmdShutdown;
    if (command_ == cmdRestart || command_ == cmdShutdown) break;
    if (poll.ElapsedMs() > 5000) {
      poll.Reset();
      PollCommandFiles();
    }
    for (int i = 0; i < 10; ++i) {
      TakeStopSignal();
      ProcessCommands();
      int key = readKey ? readKey() : 0;
      if (key == 0) {
        Sleep(100);
        continue;
      }
      const char* at = std::strchr(kKeys, key);
      if (at && *at) PostCommand(kWords[at - kKeys]);
    }
    if (command_ == cmdRestart || command_ == cmdShutdown) break;
  }
}

// Stops every listed service, newest group first. Each step waits a bounded time; a
// service that does not get through is logged and left alone, and false is returned so
// that the process can end without freeing what that service may still use.
bool qmsTApplication::StopAll() {
  qmsCon("");
  std::vector<qmsTGroup*> groups = Groups();
  for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
    auto services = (*g)->Services();
    for (auto s = services.rbegin(); s != services.rend(); ++s) (*s)->SuspendService();
  }
  bool complete = true;
  for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
    auto services = (*g)->Services();
    for (auto s = services.rbegin(); s != services.rend(); ++s)
      if (!StopService(*s)) complete = false;
  }
  // Every service thread frees its service; wait until they are gone.
  for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
    if (!qmsWaitUntil([g] { return (*g)->ServiceThreads() <= 0; })) {
      qmsConLog("Site personality group \"" + (*g)->Name() + "\" has service threads left");
      complete = false;
    }
  }
  return complete;
}

bool qmsTApplication::StopService(qmsTService* svc) {
  char b[512];
  snprintf(b, sizeof b, "%s releasing resource pool (%d sessions)", svc->Prefix().c_str(),
           svc->PoolCount());
  qmsConLog(b);
  svc->ReleasePool();
  svc->KillSessions();
  bool ended = qmsWaitUntil([&] {
    svc->Monitor();
    StabilityTimer().Reset();
    return svc->ActiveCount() <= 0;
  });
  if (ended && svc->StopService()) return true;
  snprintf(b, sizeof b, "%s did not stop within %d seconds", svc->Prefix().c_str(),
           kStopWaitMs / 1000);
  qmsConLog(b);
  return false;
}
