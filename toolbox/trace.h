// Per-thread call trace and trap reports.
//
// Trace: when jvbTraceEnabled is set, every thread registered with jvbTraceThreadStart
// writes entry (">name") and exit ("<name") lines to a file of its own, indented by call
// depth, exit lines with the call's duration. Files switch a -> b -> c -> b ... after
// jvbTraceMaxLines lines. With tracing off every call costs one flag test.
//
// Traps: an exception that escapes a thread's outermost handler, std::terminate and the
// fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) produce a short report with the
// source positions of the call chain, written line by line through the trap line writer
// (default: the ".trp" file beside the program).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <variant>
#include <vector>

extern std::atomic<bool> jvbTraceEnabled;
extern std::string jvbTraceFileName;  // "jvb%4.4x%s.trc"; set before threads start
extern int jvbTraceMaxLines;          // 5000

void jvbTraceThreadStart();
void jvbTraceThreadEnd();
void jvbTraceWrite(const std::string& text);
inline void jvbTrace(const std::string& text) {
  if (jvbTraceEnabled.load(std::memory_order_relaxed)) jvbTraceWrite(text);
}
inline void jvbTrace(const char* text) {
  if (jvbTraceEnabled.load(std::memory_order_relaxed)) jvbTraceWrite(text);
}

// Typed values for jvbTraceArgs.
struct jvbTraceValue {
  enum Kind { Int, Bool, Char, Float, ShortStr, Pointer, PChar, Object, Class, Currency, LongStr, Unknown };
  Kind kind = Unknown;
  int64_t i = 0;
  double f = 0;
  const void* p = nullptr;
  std::string s;
  static jvbTraceValue Integer(int64_t v) { jvbTraceValue t; t.kind = Int; t.i = v; return t; }
  static jvbTraceValue Boolean(bool v) { jvbTraceValue t; t.kind = Bool; t.i = v; return t; }
  static jvbTraceValue Str(std::string v) { jvbTraceValue t; t.kind = LongStr; t.s = std::move(v); return t; }
  static jvbTraceValue Ptr(const void* v) { jvbTraceValue t; t.kind = Pointer; t.p = v; return t; }
  static jvbTraceValue Chr(char v) { jvbTraceValue t; t.kind = Char; t.s.assign(1, v); return t; }
  static jvbTraceValue Ext(double v) { jvbTraceValue t; t.kind = Float; t.f = v; return t; }
  static jvbTraceValue Cur(double v) { jvbTraceValue t; t.kind = Currency; t.f = v; return t; }
  static jvbTraceValue SStr(std::string v) { jvbTraceValue t; t.kind = ShortStr; t.s = std::move(v); return t; }
  static jvbTraceValue PCh(const char* v) { jvbTraceValue t; t.kind = PChar; t.s = v ? v : ""; return t; }
  static jvbTraceValue Obj(const void* v) { jvbTraceValue t; t.kind = Object; t.p = v; return t; }
  static jvbTraceValue Cls(std::string name) { jvbTraceValue t; t.kind = Class; t.s = std::move(name); return t; }
  static jvbTraceValue Other() { return jvbTraceValue{}; }
};
// Formats name + "(" + values + ")" (cut to 255 characters) without writing it.
std::string jvbFormatTraceArgs(const std::string& name, const std::vector<jvbTraceValue>& values);
// The classic call shape: count is the number of values minus one.
void jvbTraceArgsWrite(int count, const std::vector<jvbTraceValue>& values, const std::string& name);
template <typename... V>
inline void jvbTraceArgs(const std::string& name, V&&... values) {
  if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
  std::vector<jvbTraceValue> v{std::forward<V>(values)...};
  jvbTraceArgsWrite(static_cast<int>(v.size()) - 1, v, name);
}

// Scoped entry/exit pair: writes ">name" now and "<name" when it leaves the scope.
class jvbTraceScope {
 public:
  explicit jvbTraceScope(const char* name) : name_(name) {
    if (jvbTraceEnabled.load(std::memory_order_relaxed)) jvbTraceWrite(std::string(">") + name_);
  }
  ~jvbTraceScope() {
    if (jvbTraceEnabled.load(std::memory_order_relaxed)) jvbTraceWrite(std::string("<") + name_);
  }
  jvbTraceScope(const jvbTraceScope&) = delete;
  jvbTraceScope& operator=(const jvbTraceScope&) = delete;

 private:
  const char* name_;
};

std::string jvbErrorText(int n);
std::string jvbPlatformText();

// Message text of a run-time error number of the table ("General Protection fault");
// nullptr for numbers outside it. Safe inside a signal handler.
const char* jvbRuntimeErrorText(int n);

// --- Trap reports ---------------------------------------------------------------------
using jvbTrapWriter = void (*)(const std::string& line);
void jvbSetTrapWriter(jvbTrapWriter writer);  // nullptr restores the default writer

// A report line built in a fixed buffer, without allocation or locks, so that it can be
// made inside a signal handler. Text beyond the buffer is cut.
class jvbSafeLine {
 public:
  jvbSafeLine& Add(const char* text);
  jvbSafeLine& Add(const char* text, size_t length);
  jvbSafeLine& Dec(long long value, int width = 0);                    // right-aligned in width
  jvbSafeLine& Hex(unsigned long long value, int digits, bool upper);  // zero-padded
  const char* data() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char buf_[1024];
  size_t len_ = 0;
};

// Writes one fatal-report line (no line end). Called inside the fatal-signal handler, so it
// must keep to async-signal-safe calls: write(2), open(2) and the like, no locks, no heap.
using jvbTrapSafeWriter = void (*)(const char* line, size_t length);
// nullptr restores the default: the lines are appended to the trap file.
void jvbSetTrapSafeWriter(jvbTrapSafeWriter writer);
// Seconds a fatal report may take; then the process ends with its run-time error status.
inline constexpr unsigned kTrapWatchdogSeconds = 5;
std::string jvbTrapFileName();                 // program path + ".trp"
void jvbSetTrapFileName(const std::string& name);  // another file for the default writer
// Installs the fatal-signal handlers (on an alternate stack) and std::terminate handler.
// Called once at program start; also records the trap file name.
void jvbInstallTraps();
// Gives the calling thread its alternate signal stack (jvbTraceThreadStart also does).
void jvbTrapThreadStart();
// Reports an exception caught at a thread's outermost handler; the thread then ends
// (only that session), the process goes on.
void jvbReportException(const std::exception* e, const char* typeName);
// Runs body and reports any exception that escapes it. Returns false when one did.
template <typename F>
bool jvbGuardThread(F&& body) {
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    jvbReportException(&e, nullptr);
  } catch (...) {
    jvbReportException(nullptr, nullptr);
  }
  return false;
}
