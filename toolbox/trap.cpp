// Trap reports: exceptions at thread edges, std::terminate and fatal signals.
//
// Every report is a few lines handed one by one to the trap line writer. Source positions
// come from libbacktrace; its state is created (and the debug information read) once at
// jvbInstallTraps, so that a report made inside a signal handler only looks things up.
//
// A fatal signal may come while the faulting thread holds a lock or is inside the heap, so
// its report is built in fixed buffers and handed to the safe writer, which keeps to
// async-signal-safe calls. libbacktrace allocates with mmap and takes no lock, but it reads
// memory that the fault may have damaged: a watchdog (alarm) and a guard against a second
// fault in the reporting thread end the process with the trap status whatever happens.
#include <backtrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <typeinfo>

#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textfile.h"
#include "toolbox/trace.h"

namespace {

// Where the last exception of this thread was thrown; filled by the __cxa_throw hook below.
struct ThrowSite {
  void* object = nullptr;
  std::type_info* type = nullptr;
  uintptr_t ret = 0;  // return address of the throwing call
};
thread_local ThrowSite t_throw;

using CxaThrowFn = void (*)(void*, std::type_info*, void (*)(void*));

}  // namespace

// Records the throw site of every exception before handing it to the C++ run time, so
// that a report made after the stack has unwound can still name the line that threw.
namespace __cxxabiv1 {
extern "C" void __cxa_throw(void* obj, std::type_info* tinfo, void (*dest)(void*)) {
  static const CxaThrowFn real = reinterpret_cast<CxaThrowFn>(dlsym(RTLD_NEXT, "__cxa_throw"));
  t_throw.object = obj;
  t_throw.type = tinfo;
  t_throw.ret = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  if (real == nullptr) std::abort();
  real(obj, tinfo, dest);
  __builtin_unreachable();
}
}  // namespace __cxxabiv1

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];
constexpr size_t kAltStackSize = 256 * 1024;
constexpr int kMaxFrames = 128;
constexpr int kMaxFrameLines = 100;

std::atomic<jvbTrapWriter> g_writer{nullptr};
std::atomic<jvbTrapSafeWriter> g_safeWriter{nullptr};
std::mutex g_fileMutex;
std::string g_trapFile;  // guarded by g_fileMutex
// The trap file name for the signal handler, which cannot take g_fileMutex; written under
// it, read by the handler as it is.
char g_trapPath[4096];
// Run-time error number of the fatal report under way (0: none): the watchdog's status.
std::atomic<int> g_fatalNumber{0};

backtrace_state* g_backtrace = nullptr;  // written once, before the handlers exist
struct sigaction g_previous[kSignalCount];
std::terminate_handler g_previousTerminate = nullptr;

// Thread id of the report being written (0: none) and whether it ends the process.
std::atomic<long> g_reportOwner{0};
std::atomic<bool> g_fatalReport{false};

// --- Per-thread alternate signal stack ------------------------------------------------

class AltStack {
 public:
  AltStack() = default;
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;
  ~AltStack() {
    if (mem_ == nullptr) return;
    stack_t cur{};
    if (sigaltstack(nullptr, &cur) == 0 && cur.ss_sp == stack_) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    munmap(mem_, size_);
  }

  void Install() {
    if (mem_ != nullptr) return;
    // A stack that is already there (a sanitizer run time sets its own) is left in place:
    // its owner frees it at thread end, and it must not find ours there instead.
    stack_t cur{};
    if (sigaltstack(nullptr, &cur) == 0 && (cur.ss_flags & SS_DISABLE) == 0) return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = kAltStackSize + page;
    void* mem = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) return;
    mem_ = mem;
    mprotect(mem_, page, PROT_NONE);  // guard page below the handler's stack
    stack_ = static_cast<char*>(mem_) + page;
    stack_t ss{};
    ss.ss_sp = stack_;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
      munmap(mem_, size_);
      mem_ = nullptr;
      stack_ = nullptr;
    }
  }

 private:
  void* mem_ = nullptr;
  void* stack_ = nullptr;
  size_t size_ = 0;
};

thread_local AltStack t_altStack;
thread_local uintptr_t t_stackLow = 0;  // lowest usable address of the thread's own stack

// --- Source positions -------------------------------------------------------------------

struct SourcePos {
  uintptr_t pc = 0;
  int line = 0;
  const char* file = nullptr;  // owned by the libbacktrace state
  bool known() const { return line > 0 && file != nullptr && *file != '\0'; }
};

void IgnoreBacktraceError(void*, const char*, int) {}

int TakeFirstPosition(void* data, uintptr_t pc, const char* file, int line, const char*) {
  auto* pos = static_cast<SourcePos*>(data);
  pos->pc = pc;
  pos->file = file;
  pos->line = line;
  return 1;  // the innermost (inlined) position is the one wanted
}

SourcePos SourceOf(uintptr_t pc) {
  SourcePos pos;
  if (g_backtrace != nullptr && pc != 0) {
    backtrace_pcinfo(g_backtrace, pc, TakeFirstPosition, IgnoreBacktraceError, &pos);
  }
  return pos;
}

struct FrameList {
  SourcePos frames[kMaxFrames];
  int count = 0;
};

int CollectFrame(void* data, uintptr_t pc, const char* file, int line, const char*) {
  auto* list = static_cast<FrameList*>(data);
  if (list->count >= kMaxFrames) return 1;
  SourcePos& f = list->frames[list->count++];
  f.pc = pc;
  f.file = file;
  f.line = line;
  return 0;
}

bool IsThisFile(const char* file) {
  if (file == nullptr) return false;
  if (std::strcmp(file, __FILE__) == 0) return true;
  const size_t n = std::strlen(file);
  static const char kTail[] = "toolbox/trap.cpp";
  return n >= sizeof kTail - 1 && std::strcmp(file + n - (sizeof kTail - 1), kTail) == 0;
}

// --- Report lines -----------------------------------------------------------------------

std::string AddressText(uintptr_t a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(a));
  return buf;
}

std::string ThreadText() {
  const long tid = jvb::CurrentThreadId();
  char buf[64];
  std::snprintf(buf, sizeof buf, " in thread %ld ($%lx)", tid, tid);
  return buf;
}

std::string SourceLine(const SourcePos& pos) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%8d ", pos.line);
  return buf + std::string(pos.file);
}

void DefaultTrapWriter(const std::string& line) { jvbAppendLine(line, jvbTrapFileName()); }

void Put(const std::string& line) {
  try {
    const jvbTrapWriter writer = g_writer.load();
    if (writer != nullptr) {
      writer(line);
    } else {
      DefaultTrapWriter(line);
    }
  } catch (...) {
    // A report never raises; a line that cannot be written is lost.
  }
}

// --- The fatal-signal path: no heap, no locks ---------------------------------------------

void SetTrapPath(const std::string& name) {
  const size_t n = std::min(name.size(), sizeof g_trapPath - 1);
  std::memcpy(g_trapPath, name.data(), n);
  g_trapPath[n] = '\0';
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// Creates the folders above path, as jvbAppendLine does for the trap file.
void MakeParentFolders(const char* path) {
  char dir[sizeof g_trapPath];
  const size_t n = std::min(std::strlen(path), sizeof dir - 1);
  std::memcpy(dir, path, n);
  dir[n] = '\0';
  for (size_t i = 1; i < n; ++i) {
    if (dir[i] != '/') continue;
    dir[i] = '\0';
    ::mkdir(dir, 0755);
    dir[i] = '/';
  }
}

void DefaultSafeWriter(const char* line, size_t length) {
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(g_trapPath, flags, 0644);
  if (fd < 0 && errno == ENOENT) {
    MakeParentFolders(g_trapPath);
    fd = ::open(g_trapPath, flags, 0644);
  }
  if (fd < 0) return;
  jvbSafeLine out;
  out.Add(line, length).Add("\r\n");
  WriteAll(fd, out.data(), out.size());
  ::close(fd);
}

void SafePut(const jvbSafeLine& line) {
  const jvbTrapSafeWriter writer = g_safeWriter.load();
  (writer != nullptr ? writer : DefaultSafeWriter)(line.data(), line.size());
}

[[noreturn]] void EndWithTrapStatus() {
  const int number = g_fatalNumber.load();
  _exit(qmsEncodeExit(number != 0 ? number : 217));
}

void OnWatchdog(int) { EndWithTrapStatus(); }

// From here on the process ends with the trap status within kTrapWatchdogSeconds, even when
// the report blocks. The first fatal report's number wins.
void ArmWatchdog(int number) {
  int none = 0;
  g_fatalNumber.compare_exchange_strong(none, number);
  struct sigaction sa {};
  sa.sa_handler = OnWatchdog;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  sigset_t alarmOnly;
  sigemptyset(&alarmOnly);
  sigaddset(&alarmOnly, SIGALRM);
  pthread_sigmask(SIG_UNBLOCK, &alarmOnly, nullptr);
  alarm(kTrapWatchdogSeconds);
}

void SleepMs(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Serialises whole reports between threads. Returns true when the caller took the turn
// and must give it back. A thread that fails while another thread's fatal report runs
// waits for the process to end instead of mixing its lines in.
bool AcquireReport(bool fatal) {
  const long me = jvb::CurrentThreadId();
  for (int waited = 0;; ++waited) {
    long expected = 0;
    if (g_reportOwner.compare_exchange_strong(expected, me)) {
      if (fatal) g_fatalReport = true;
      return true;
    }
    if (expected == me) {  // failed while writing a report of its own
      if (fatal) g_fatalReport = true;
      return false;
    }
    if (g_fatalReport.load()) {
      for (;;) SleepMs(1000);
    }
    if (waited >= 3000) return false;  // the holder is stuck: write anyway
    SleepMs(1);
  }
}

void ReleaseReport(bool acquired) {
  if (acquired) g_reportOwner = 0;
}

struct CodeAddress {
  uintptr_t shown = 0;   // the address printed after "$"
  uintptr_t lookup = 0;  // the address whose source position is printed
};

void WriteExceptionLines(const std::string& cls, CodeAddress at, const std::string* message) {
  Put("");
  Put("Exception \"" + cls + "\" at $" + AddressText(at.shown) + ThreadText());
  if (message != nullptr) Put("-> \"" + *message + "\"");
  const SourcePos pos = SourceOf(at.lookup);
  if (pos.known()) Put(SourceLine(pos));
}

// The chain starts behind the failing frame; without it, behind the reporting code.
int FirstChainFrame(const FrameList& frames, uintptr_t lookup) {
  int first = -1;
  for (int i = 0; i < frames.count; ++i) {
    if (frames.frames[i].pc == lookup) {
      first = i + 1;
    } else if (first >= 0) {
      break;
    }
  }
  if (first < 0) {
    first = 0;
    while (first < frames.count &&
           (!frames.frames[first].known() || IsThisFile(frames.frames[first].file))) {
      ++first;
    }
  }
  return first;
}

// The run-time error block: what, where, and the source lines of the calling chain.
void WriteRuntimeLines(int number, CodeAddress at, const FrameList& frames) {
  char head[128];
  std::snprintf(head, sizeof head, "Runtime error %d at $", number);
  Put("");
  Put(head + AddressText(at.shown) + ThreadText());
  Put("-> \"" + jvbErrorText(number) + "\"");
  const SourcePos pos = SourceOf(at.lookup);
  Put(pos.known() ? SourceLine(pos)
                  : std::string("       0 (Unable to locate exact source line information)"));

  int written = 0;
  for (int i = FirstChainFrame(frames, at.lookup); i < frames.count && written < kMaxFrameLines;
       ++i) {
    if (!frames.frames[i].known()) continue;
    Put(SourceLine(frames.frames[i]));
    ++written;
  }
}

void CollectFrames(FrameList& frames) {
  if (g_backtrace != nullptr) {
    backtrace_full(g_backtrace, 0, CollectFrame, IgnoreBacktraceError, &frames);
  }
}

[[noreturn]] void EndProcess(int number) {
  qmsRestoreTerminal();
  _exit(qmsEncodeExit(number));
}

std::string Demangle(const char* name) {
  if (name == nullptr) return "Unknown";
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = (status == 0 && plain != nullptr) ? plain : name;
  std::free(plain);
  return out;
}

// Class name and throw site of the exception being handled. The recorded site is used
// only when it belongs to this very exception object.
void DescribeCurrent(const std::exception* e, const char* typeName, uintptr_t fallback,
                     std::string& cls, CodeAddress& at) {
  std::type_info* current = abi::__cxa_current_exception_type();
  if (typeName != nullptr) {
    cls = typeName;
  } else if (e != nullptr) {
    cls = Demangle(typeid(*e).name());
  } else {
    cls = Demangle(current != nullptr ? current->name() : nullptr);
  }
  const ThrowSite site = t_throw;
  bool match =
      site.ret != 0 && current != nullptr && site.type != nullptr && *site.type == *current;
  if (match && e != nullptr) match = dynamic_cast<const void*>(e) == site.object;
  at.shown = match ? site.ret : fallback;
  at.lookup = at.shown != 0 ? at.shown - 1 : 0;
}

#if defined(__x86_64__)
uintptr_t ContextPc(void* uc) {
  return static_cast<uintptr_t>(static_cast<ucontext_t*>(uc)->uc_mcontext.gregs[REG_RIP]);
}
uintptr_t ContextSp(void* uc) {
  return static_cast<uintptr_t>(static_cast<ucontext_t*>(uc)->uc_mcontext.gregs[REG_RSP]);
}
bool ContextWrite(void* uc) {
  return (static_cast<ucontext_t*>(uc)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
}
#elif defined(__aarch64__)
uintptr_t ContextPc(void* uc) { return static_cast<ucontext_t*>(uc)->uc_mcontext.pc; }
uintptr_t ContextSp(void* uc) { return static_cast<ucontext_t*>(uc)->uc_mcontext.sp; }
bool ContextWrite(void*) { return false; }
#else
uintptr_t ContextPc(void*) { return 0; }
uintptr_t ContextSp(void*) { return 0; }
bool ContextWrite(void*) { return false; }
#endif

// A fault just beyond the end of the stack is a stack overflow.
bool IsStackOverflow(const siginfo_t* info, void* uc) {
  if (info->si_code != SEGV_MAPERR && info->si_code != SEGV_ACCERR) return false;
  constexpr uintptr_t kWindow = 64 * 1024;
  const uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (t_stackLow != 0 && a < t_stackLow + page && a + kWindow >= t_stackLow) return true;
  const uintptr_t sp = ContextSp(uc);
  return sp != 0 && a < sp + kWindow && a + kWindow >= sp;
}

struct SignalCause {
  int number = 217;
  const char* cls = nullptr;  // no exception block when null
  jvbSafeLine message;
  void Set(int n, const char* c, const char* text) {
    number = n;
    cls = c;
    message.Add(text);
  }
};

void ClassifyFpe(const siginfo_t* info, SignalCause& c) {
  switch (info->si_code) {
    case FPE_INTDIV:
      return c.Set(200, "EDivByZero", "Division by zero");
    case FPE_INTOVF:
      return c.Set(215, "EIntOverflow", "Integer overflow");
    case FPE_FLTDIV:
      return c.Set(207, "EZeroDivide", "Floating point division by zero");
    case FPE_FLTOVF:
      return c.Set(207, "EOverflow", "Floating point overflow");
    case FPE_FLTUND:
      return c.Set(207, "EUnderflow", "Floating point underflow");
    default:
      return c.Set(207, "EInvalidOp", "Invalid floating point operation");
  }
}

void ClassifySignal(int sig, const siginfo_t* info, void* uc, uintptr_t pc, SignalCause& c) {
  switch (sig) {
    case SIGSEGV:
    case SIGBUS:
      if (sig == SIGSEGV && IsStackOverflow(info, uc))
        return c.Set(202, "EStackOverflow", "Stack overflow");
      c.Set(216, "EAccessViolation", "Access violation at address ");
      c.message.Hex(pc, 16, true).Add(ContextWrite(uc) ? ". Write" : ". Read").Add(" of address ");
      c.message.Hex(reinterpret_cast<uintptr_t>(info->si_addr), 16, true);
      return;
    case SIGFPE:
      return ClassifyFpe(info, c);
    case SIGILL:
      return c.Set(217, "EPrivilege", "Privileged instruction");
    default:  // SIGABRT: nothing to add to "Unhandled exception"
      return c.Set(217, nullptr, "");
  }
}

jvbSafeLine& AddThread(jvbSafeLine& line) {
  const long tid = jvb::CurrentThreadId();
  return line.Add(" in thread ")
      .Dec(tid)
      .Add(" ($")
      .Hex(static_cast<unsigned long long>(tid), 0, false)
      .Add(")");
}

void SafeSourceLine(const SourcePos& pos) {
  jvbSafeLine line;
  SafePut(line.Dec(pos.line, 8).Add(" ").Add(pos.file));
}

void SafeExceptionLines(const SignalCause& cause, uintptr_t pc) {
  SafePut(jvbSafeLine());
  jvbSafeLine head;
  head.Add("Exception \"").Add(cause.cls).Add("\" at $").Hex(pc, 16, true);
  SafePut(AddThread(head));
  jvbSafeLine message;
  SafePut(message.Add("-> \"").Add(cause.message.data(), cause.message.size()).Add("\""));
  const SourcePos pos = SourceOf(pc);
  if (pos.known()) SafeSourceLine(pos);
}

void SafeRuntimeLines(int number, uintptr_t pc, const FrameList& frames) {
  SafePut(jvbSafeLine());
  jvbSafeLine head;
  head.Add("Runtime error ").Dec(number).Add(" at $").Hex(pc, 16, true);
  SafePut(AddThread(head));
  const char* text = jvbRuntimeErrorText(number);
  jvbSafeLine message;
  SafePut(message.Add("-> \"").Add(text != nullptr ? text : "Unhandled exception").Add("\""));
  const SourcePos pos = SourceOf(pc);
  if (pos.known()) {
    SafeSourceLine(pos);
  } else {
    SafePut(jvbSafeLine().Add("       0 (Unable to locate exact source line information)"));
  }
  int written = 0;
  for (int i = FirstChainFrame(frames, pc); i < frames.count && written < kMaxFrameLines; ++i) {
    if (!frames.frames[i].known()) continue;
    SafeSourceLine(frames.frames[i]);
    ++written;
  }
}

// A second fault in the thread that writes the fatal report ends the process at once.
void OnFatalSignal(int sig, siginfo_t* info, void* uc) {
  if (g_fatalReport.load() && g_reportOwner.load() == jvb::CurrentThreadId()) EndWithTrapStatus();
  uintptr_t pc = ContextPc(uc);
  if (pc == 0 && sig != SIGABRT) pc = reinterpret_cast<uintptr_t>(info->si_addr);
  SignalCause cause;
  ClassifySignal(sig, info, uc, pc, cause);
  ArmWatchdog(cause.number);
  AcquireReport(true);
  if (cause.cls != nullptr) SafeExceptionLines(cause, pc);
  FrameList frames;
  CollectFrames(frames);
  SafeRuntimeLines(cause.number, pc, frames);
  EndProcess(cause.number);
}

[[noreturn]] void OnTerminate() {
  std::set_terminate(g_previousTerminate);
  ArmWatchdog(217);
  AcquireReport(true);
  int number = 217;
  CodeAddress at;
  const uintptr_t fallback = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  try {
    if (std::exception_ptr ep = std::current_exception()) {
      std::string cls;
      try {
        std::rethrow_exception(ep);
      } catch (const std::bad_alloc& e) {
        number = 203;
        const std::string what = e.what();
        DescribeCurrent(&e, nullptr, fallback, cls, at);
        WriteExceptionLines(cls, at, &what);
      } catch (const std::bad_cast& e) {
        number = 219;
        const std::string what = e.what();
        DescribeCurrent(&e, nullptr, fallback, cls, at);
        WriteExceptionLines(cls, at, &what);
      } catch (const std::exception& e) {
        const std::string what = e.what();
        DescribeCurrent(&e, nullptr, fallback, cls, at);
        WriteExceptionLines(cls, at, &what);
      } catch (...) {
        DescribeCurrent(nullptr, nullptr, fallback, cls, at);
        WriteExceptionLines(cls, at, nullptr);
      }
    }
    g_fatalNumber = number;  // the watchdog ends with the status now known
    if (at.shown == 0) at = {fallback, fallback != 0 ? fallback - 1 : 0};
    FrameList frames;
    CollectFrames(frames);
    WriteRuntimeLines(number, at, frames);
  } catch (...) {
  }
  EndProcess(number);
}

std::string TrapNameFor(const std::string& program) {
  const size_t sep = program.find_last_of("/\\:");
  const size_t dot = program.rfind('.');
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) {
    return program.substr(0, dot) + ".trp";
  }
  return program + ".trp";
}

}  // namespace

void jvbSetTrapWriter(jvbTrapWriter writer) { g_writer = writer; }

std::string jvbTrapFileName() {
  std::lock_guard<std::mutex> lock(g_fileMutex);
  if (g_trapFile.empty()) {
    g_trapFile = TrapNameFor(jvb::ProgramPath());
    SetTrapPath(g_trapFile);
  }
  return g_trapFile;
}

void jvbSetTrapFileName(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_fileMutex);
  g_trapFile = name;
  SetTrapPath(name);
}

void jvbSetTrapSafeWriter(jvbTrapSafeWriter writer) { g_safeWriter = writer; }

jvbSafeLine& jvbSafeLine::Add(const char* text) {
  return text != nullptr ? Add(text, std::strlen(text)) : *this;
}

jvbSafeLine& jvbSafeLine::Add(const char* text, size_t length) {
  const size_t n = std::min(length, sizeof buf_ - 1 - len_);
  std::memcpy(buf_ + len_, text, n);
  len_ += n;
  buf_[len_] = '\0';
  return *this;
}

jvbSafeLine& jvbSafeLine::Dec(long long value, int width) {
  char digits[24];
  int n = 0;
  unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                   : static_cast<unsigned long long>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) digits[n++] = '-';
  for (int pad = n; pad < width && pad < 64; ++pad) Add(" ", 1);
  while (n > 0) Add(&digits[--n], 1);
  return *this;
}

jvbSafeLine& jvbSafeLine::Hex(unsigned long long value, int digits, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char out[16];
  int n = 0;
  do {
    out[n++] = set[value & 15];
    value >>= 4;
  } while (value != 0 && n < 16);
  for (int pad = n; pad < digits && pad < 16; ++pad) Add("0", 1);
  while (n > 0) Add(&out[--n], 1);
  return *this;
}

void jvbTrapThreadStart() {
  t_altStack.Install();
  if (t_stackLow == 0) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        t_stackLow = reinterpret_cast<uintptr_t>(addr);
      }
      pthread_attr_destroy(&attr);
    }
  }
}

void jvbInstallTraps() {
  static std::once_flag once;
  std::call_once(once, [] {
    jvbTrapFileName();
    g_backtrace = backtrace_create_state(nullptr, 1, IgnoreBacktraceError, nullptr);
    // Read the debug information now rather than inside a signal handler.
    SourceOf(reinterpret_cast<uintptr_t>(&jvbInstallTraps));

    struct sigaction sa {};
    sa.sa_sigaction = OnFatalSignal;
    // SA_NODEFER: a second fault inside the report reaches the handler (which ends the
    // process) instead of the default action.
    sa.sa_flags = SA_ONSTACK | SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kFatalSignals[i], &sa, &g_previous[i]);
    g_previousTerminate = std::set_terminate(OnTerminate);
  });
  jvbTrapThreadStart();
}

void jvbReportException(const std::exception* e, const char* typeName) {
  const uintptr_t caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  const bool acquired = AcquireReport(false);
  try {
    std::string cls;
    CodeAddress at;
    DescribeCurrent(e, typeName, caller, cls, at);
    if (e != nullptr) {
      const std::string what = e->what();
      WriteExceptionLines(cls, at, &what);
    } else {
      WriteExceptionLines(cls, at, nullptr);
    }
  } catch (...) {
  }
  ReleaseReport(acquired);
}
