#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/trace.h"

namespace {

// The faults below are meant to reach the signal handlers, not the sanitizers' checks.
#define QMS_NO_SANITIZE __attribute__((noinline, no_sanitize("address", "undefined")))

int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
volatile bool g_stop = false;

QMS_NO_SANITIZE void WriteThroughNull() { *g_nowhere = 1; }

volatile int g_quotient = 0;

QMS_NO_SANITIZE void DivideByZero() { g_quotient = 100 / g_zero; }

QMS_NO_SANITIZE int Recurse(int n) {
  volatile char pad[512];
  pad[n % sizeof pad] = static_cast<char>(n);
  if (g_stop) return 0;
  return Recurse(n + 1) + pad[0];
}

[[noreturn]] void ThrowRuntimeError(const char* text) { throw std::runtime_error(text); }

// Runs body in a forked child that ends with _exit(0) if body returns; returns the wait
// status, or -1 when the child did not end within 30 seconds.
int RunChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  if (pid < 0) return -1;
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}


std::string Dump(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Index of the first line matching re at or after from; -1 when none.
int Find(const std::vector<std::string>& lines, const std::string& re, size_t from = 0) {
  const std::regex r(re);
  for (size_t i = from; i < lines.size(); ++i) {
    if (std::regex_match(lines[i], r)) return static_cast<int>(i);
  }
  return -1;
}

const char kThisFileLine[] = R"(^ {0,7}\d+ .*test_trap\.cpp$)";

// The "in thread" part for the thread id tid, as a pattern.
std::string InThread(long tid) {
  char buf[64];
  std::snprintf(buf, sizeof buf, R"( in thread %ld \(\$%lx\)$)", tid, tid);
  return buf;
}

// Runs a crashing body in a child that reports through the default writer into a file
// below dir (in folders that do not exist yet). Returns the exit status and the lines.
struct CrashResult {
  int status = -1;
  std::vector<std::string> lines;
};

CrashResult Crash(const TempDir& dir, const std::function<void()>& body) {
  const std::string file = dir / "traps/deep/victim.trp";
  CrashResult r;
  r.status = RunChild([&] {
    jvbSetTrapWriter(nullptr);
    jvbSetTrapFileName(file);
    jvbInstallTraps();
    body();
  });
  r.lines = ReadLines(file);
  return r;
}

std::mutex g_capturedMutex;
std::vector<std::string> g_captured;

void CaptureLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_capturedMutex);
  g_captured.push_back(line);
}

}  // namespace

TEST(Trap, AccessViolationEndsTheProcessWithRuntimeError216AndSourceLines) {
  TempDir dir;
  long tid = 0;
  const CrashResult r = Crash(dir, [&] { WriteThroughNull(); });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 216);
  const auto& l = r.lines;
  // The child's only thread is its main thread, whose id is the child's pid.
  const int ex = Find(l, R"(^Exception "EAccessViolation" at \$[0-9A-F]{16} in thread .*)");
  ASSERT_GE(ex, 1) << Dump(l);
  EXPECT_EQ(l[ex - 1], "");
  EXPECT_NE(l[ex + 1].find("-> \"Access violation at address "), std::string::npos) << Dump(l);
  EXPECT_NE(l[ex + 1].find("Write of address 0000000000000000"), std::string::npos) << Dump(l);
  const int rt =
      Find(l, R"(^Runtime error 216 at \$[0-9A-F]{16} in thread (\d+) \(\$[0-9a-f]+\)$)");
  ASSERT_GT(rt, ex) << Dump(l);
  EXPECT_EQ(l[rt - 1], "");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(l[rt], m, std::regex(R"(.* in thread (\d+) .*)")));
  tid = std::stol(m[1].str());
  EXPECT_TRUE(std::regex_search(l[rt], std::regex(InThread(tid)))) << l[rt];
  EXPECT_EQ(l[rt + 1], "-> \"General Protection fault\"");
  // The faulting line, then the calling chain: the lambda above is in this file too.
  EXPECT_TRUE(std::regex_match(l[rt + 2], std::regex(kThisFileLine))) << Dump(l);
  EXPECT_GE(Find(l, kThisFileLine, rt + 3), rt + 3) << Dump(l);
}

TEST(Trap, IntegerDivisionByZeroIsRuntimeError200) {
  TempDir dir;
  const CrashResult r = Crash(dir, [] { DivideByZero(); });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 200);
  EXPECT_GE(Find(r.lines, R"(^Exception "EDivByZero" at .*)"), 0) << Dump(r.lines);
  const int rt = Find(r.lines, "^Runtime error 200 at .*");
  ASSERT_GE(rt, 0) << Dump(r.lines);
  EXPECT_EQ(r.lines[rt + 1], "-> \"Division by zero\"");
}

TEST(Trap, StackOverflowIsReportedFromTheAlternateStack) {
  TempDir dir;
  const CrashResult r = Crash(dir, [] { Recurse(0); });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 202);
  const int rt = Find(r.lines, "^Runtime error 202 at .*");
  ASSERT_GE(rt, 0) << Dump(r.lines);
  EXPECT_EQ(r.lines[rt + 1], "-> \"Stack overflow error\"");
  EXPECT_LE(r.lines.size(), 200u);  // the frame walk is bounded
}

TEST(Trap, UncaughtExceptionReportsItsThrowSiteAndEndsWith217) {
  TempDir dir;
  const CrashResult r = Crash(dir, [] {
    std::thread t([] { ThrowRuntimeError("left alone"); });
    t.join();
  });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 217);
  const auto& l = r.lines;
  const int ex = Find(l, R"(^Exception "std::runtime_error" at \$[0-9A-F]{16} in thread .*)");
  ASSERT_GE(ex, 1) << Dump(l);
  EXPECT_EQ(l[ex + 1], "-> \"left alone\"");
  EXPECT_TRUE(std::regex_match(l[ex + 2], std::regex(kThisFileLine))) << Dump(l);
  const int rt = Find(l, "^Runtime error 217 at .*");
  ASSERT_GT(rt, ex) << Dump(l);
  EXPECT_EQ(l[rt + 1], "-> \"Unhandled exception\"");
}

TEST(Trap, UncaughtBadAllocIsRuntimeError203) {
  TempDir dir;
  const CrashResult r = Crash(dir, [] {
    std::thread t([] { throw std::bad_alloc(); });
    t.join();
  });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 203);
  EXPECT_GE(Find(r.lines, R"(^Exception "std::bad_alloc" at .*)"), 0) << Dump(r.lines);
  EXPECT_GE(Find(r.lines, "^Runtime error 203 at .*"), 0) << Dump(r.lines);
}

TEST(Trap, GuardedThreadReportsItsExceptionAndTheProcessGoesOn) {
  TempDir dir;
  const CrashResult r = Crash(dir, [] {
    bool ok = true;
    std::thread t([&] { ok = jvbGuardThread([] { ThrowRuntimeError("session broke"); }); });
    t.join();
    _exit(ok ? 1 : 0);
  });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
  EXPECT_EQ(WEXITSTATUS(r.status), 0);
  const auto& l = r.lines;
  ASSERT_EQ(l.size(), 4u) << Dump(l);
  EXPECT_EQ(l[0], "");
  EXPECT_TRUE(std::regex_match(
      l[1],
      std::regex(
          R"(^Exception "std::runtime_error" at \$[0-9A-F]{16} in thread \d+ \(\$[0-9a-f]+\)$)")))
      << l[1];
  EXPECT_EQ(l[2], "-> \"session broke\"");
  EXPECT_TRUE(std::regex_match(l[3], std::regex(kThisFileLine))) << l[3];
}

TEST(Trap, ReportsGoThroughTheReplaceableWriter) {
  {
    std::lock_guard<std::mutex> lock(g_capturedMutex);
    g_captured.clear();
  }
  jvbSetTrapWriter(CaptureLine);
  long tid = 0;
  std::thread t([&] {
    tid = jvb::CurrentThreadId();
    EXPECT_FALSE(jvbGuardThread([] { throw 42; }));
    EXPECT_TRUE(jvbGuardThread([] {}));
    const std::logic_error e("named");
    jvbReportException(&e, "EMyError");
  });
  t.join();
  jvbSetTrapWriter(nullptr);

  std::lock_guard<std::mutex> lock(g_capturedMutex);
  const auto& l = g_captured;
  ASSERT_GE(l.size(), 5u) << Dump(l);
  // Not a std::exception: the class name only, no message line.
  EXPECT_EQ(l[0], "");
  EXPECT_TRUE(
      std::regex_match(l[1], std::regex(R"(^Exception "int" at \$[0-9A-F]{16})" + InThread(tid))))
      << l[1];
  const int named = Find(l, R"(^Exception "EMyError" at .*)");
  ASSERT_GE(named, 2) << Dump(l);
  EXPECT_EQ(l[named - 1], "");
  EXPECT_EQ(l[named + 1], "-> \"named\"");
  EXPECT_EQ(Find(l, "^-> .*"), named + 1);
}

TEST(Trap, FaultWhileTheConsoleLockIsHeldIsReportedAndEndsTheProcess) {
  TempDir dir;
  const int status = RunChild([&] {
    if (chdir(dir.path().c_str()) != 0 || mkdir("log", 0755) != 0) _exit(3);
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    jvbInstallTraps();
    qmsDebug();
    const std::lock_guard<std::mutex> held(qmsConsoleLock());
    WriteThroughNull();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 216);
  const auto lines = ReadLines(dir / "log/qms32.log");
  EXPECT_GE(Find(lines, R"(^\d\d:\d\d:\d\d\.\d\d Runtime error 216 at \$.*)"), 0) << Dump(lines);
}

TEST(Trap, AReportThatNeverEndsIsCutByTheWatchdogWithTheTrapStatus) {
  const int status = RunChild([] {
    jvbInstallTraps();
    jvbSetTrapSafeWriter([](const char*, size_t) {
      for (;;) pause();
    });
    WriteThroughNull();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 216);
}

TEST(Trap, TrapFileLiesBesideTheProgram) {
  EXPECT_EQ(jvbTrapFileName(), jvb::ProgramPath() + ".trp");
}
