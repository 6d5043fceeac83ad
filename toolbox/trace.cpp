// Per-thread call trace, the run-time error texts and the platform text.
#include "toolbox/trace.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolbox/platform.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"

std::atomic<bool> jvbTraceEnabled{false};
std::string jvbTraceFileName = "jvb%4.4x%s.trc";
int jvbTraceMaxLines = 5000;

namespace {

constexpr int kMaxDepth = 80;
constexpr size_t kMaxText = 255;
constexpr size_t kMaxArgText = 2048;

// One thread's trace. Only its own thread touches it, so no lock is needed.
struct TraceState {
  bool active = false;  // the thread started while tracing was on
  bool ready = false;   // cleared while a line is written: trace calls made meanwhile are dropped
  int depth = 0;
  int overflow = 0;  // entries beyond kMaxDepth still waiting for their exit line
  int lines = 0;
  char letter = 'a';
  jvbTTextFile file;
  int64_t start[kMaxDepth + 1] = {};
};

TraceState& State() {
  thread_local TraceState state;
  return state;
}

const std::string& Bars() {
  static const std::string bars(kMaxDepth, '|');
  return bars;
}

// Formats the name template with the thread id (integer conversions) and the file letter
// ("%s"). Only these conversions are honoured, so a stray "%" in a configured name cannot
// make the formatting read arguments that are not there.
std::string FormatTraceName(const std::string& tmpl, long tid, char letter) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') {
      out += tmpl[i];
      continue;
    }
    size_t j = i + 1;
    while (j < tmpl.size() && std::strchr("-+ #0123456789.", tmpl[j]) != nullptr) ++j;
    if (j >= tmpl.size()) {
      out.append(tmpl, i, std::string::npos);
      break;
    }
    const char conv = tmpl[j];
    const std::string flags = tmpl.substr(i + 1, j - i - 1);
    char buf[64];
    if (conv == '%') {
      out += '%';
    } else if (std::strchr("xXdiu", conv) != nullptr && flags.size() < 16) {
      const std::string conversion = "%" + flags + "l" + conv;
      std::snprintf(buf, sizeof buf, conversion.c_str(), tid);
      out += buf;
    } else if (conv == 's' && flags.size() < 16) {
      const std::string conversion = "%" + flags + "s";
      const char text[2] = {letter, '\0'};
      std::snprintf(buf, sizeof buf, conversion.c_str(), text);
      out += buf;
    } else {
      out.append(tmpl, i, j - i + 1);
    }
    i = j;
  }
  return jvb::NativePath(out);
}

void WriteHeader(TraceState& st, const char* what) {
  const jvb::DateTime now = jvb::NowLocal();
  char date[32];
  std::snprintf(date, sizeof date, "%4.4d/%2.2d/%2.2d", now.year, now.month, now.day);
  st.file.WriteLine(jvb::FormatTraceStamp(now) + " Thread trace " + what + " (" + date + ")");
}

// Closes the current file and starts the next one: a -> b -> c -> b ...
void SwitchFile(TraceState& st) {
  st.file.Close();
  st.lines = 0;
  switch (st.letter) {
    case 'a':
      st.letter = 'b';
      break;
    case 'b':
      st.letter = 'c';
      break;
    case 'c':
      st.letter = 'b';
      break;
    default:
      st.letter = 'a';
      break;
  }
  st.file.Init(FormatTraceName(jvbTraceFileName, jvb::CurrentThreadId(), st.letter),
               jvb::fmWriteDenyWrite);
  if (st.file.Rewrite()) WriteHeader(st, "continued");
}

// Decimal text of v with `decimals` places, "." as separator whatever the locale.
std::string FixedText(double v, int decimals) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (res.ec != std::errc()) return "0";
  return std::string(buf, res.ptr);
}

// "1,234.50": thousands separators and two decimals.
std::string NumberText(double v) {
  std::string s = FixedText(v, 2);
  if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.back()))) return s;
  const size_t sign = (s[0] == '-') ? 1 : 0;
  size_t dot = s.find('.');
  if (dot == std::string::npos) dot = s.size();
  for (size_t pos = dot; pos > sign + 3; pos -= 3) s.insert(pos - 3, 1, ',');
  return s;
}

std::string PointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

std::string CutText(std::string s) {
  if (s.size() > kMaxText) s.resize(kMaxText);
  return s;
}

}  // namespace

void jvbTraceThreadStart() {
  jvbTrapThreadStart();
  TraceState& st = State();
  st.file.Close();
  st.active = false;
  st.ready = false;
  if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
  st.depth = 0;
  st.overflow = 0;
  st.lines = 0;
  st.letter = 'a';
  std::fill(std::begin(st.start), std::end(st.start), 0);
  st.file.Init(FormatTraceName(jvbTraceFileName, jvb::CurrentThreadId(), st.letter),
               jvb::fmWriteDenyWrite);
  // An existing file is written from its start without being emptied.
  if (st.file.OpenOrCreate()) WriteHeader(st, "activated");
  st.active = true;
  st.ready = true;
}

void jvbTraceThreadEnd() {
  TraceState& st = State();
  if (!st.active) return;
  st.file.Close();
  st.active = false;
  st.ready = false;
}

void jvbTraceWrite(const std::string& text) {
  if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
  TraceState& st = State();
  if (!st.active || !st.ready) return;

  double elapsed = 0;
  if (!text.empty() && text[0] == '<') {
    if (st.overflow > 0) {
      // Leaving a call deeper than the table: shown at the deepest level, untimed.
      --st.overflow;
    } else if (st.depth >= 1) {
      elapsed = static_cast<double>(jvb::MonotonicNs() - st.start[st.depth]) / 1e9;
      --st.depth;
    }
  }

  st.ready = false;
  if (st.lines > jvbTraceMaxLines) {
    SwitchFile(st);  // the line that causes the switch opens the new file, uncounted
  } else {
    ++st.lines;
  }
  if (st.file.IsOpen()) {
    std::string line = jvb::FormatTraceStamp(jvb::NowLocal());
    line += ' ';
    line.append(Bars(), 0, static_cast<size_t>(st.depth));
    line.append(text, 0, kMaxText);
    if (elapsed != 0) {
      line += " [";
      line += FixedText(elapsed, 5);
      line += ']';
    }
    st.file.WriteLine(line);
  }
  st.ready = true;

  if (!text.empty() && text[0] == '>') {
    if (st.depth < kMaxDepth) {
      ++st.depth;
      st.start[st.depth] = jvb::MonotonicNs();
    } else {
      ++st.overflow;
    }
  }
}

std::string jvbFormatTraceArgs(const std::string& name, const std::vector<jvbTraceValue>& values) {
  std::string args;
  char buf[64];
  for (const jvbTraceValue& v : values) {
    switch (v.kind) {
      case jvbTraceValue::Int:
        std::snprintf(buf, sizeof buf, "int(%lld); ", static_cast<long long>(v.i));
        args += buf;
        break;
      case jvbTraceValue::Bool:
        args += v.i != 0 ? "bool(1); " : "bool(0); ";
        break;
      case jvbTraceValue::Char:
        args += "ch('" + v.s.substr(0, 1) + "'); ";
        break;
      case jvbTraceValue::Float:
        args += "ext(" + NumberText(v.f) + "); ";
        break;
      case jvbTraceValue::ShortStr:
        args += "sstr('" + CutText(v.s) + "'); ";
        break;
      case jvbTraceValue::Pointer:
        args += "ptr(" + PointerText(v.p) + "); ";
        break;
      case jvbTraceValue::PChar:
        args += v.s.size() > kMaxArgText ? std::string("pch(); ") : "pch('" + v.s + "'); ";
        break;
      case jvbTraceValue::Object:
        args += "obj(); ";
        break;
      case jvbTraceValue::Class:
        args += "cls(" + v.s + "); ";
        break;
      case jvbTraceValue::Currency:
        args += "cur(" + NumberText(v.f) + "); ";
        break;
      case jvbTraceValue::LongStr:
        args += v.s.size() > kMaxArgText ? std::string("astr(); ") : "astr('" + v.s + "'); ";
        break;
      default:
        args += "unknown(); ";
        break;
    }
    if (args.size() > 4 * kMaxText) break;  // the rest would be cut off anyway
  }
  if (args.size() >= 2 && args.compare(args.size() - 2, 2, "; ") == 0) args.resize(args.size() - 2);
  return CutText(name + "(" + args + ")");
}

void jvbTraceArgsWrite(int count, const std::vector<jvbTraceValue>& values,
                       const std::string& name) {
  if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
  const TraceState& st = State();
  if (!st.active || !st.ready) return;
  const size_t n = count < 0 ? 0 : std::min(values.size(), static_cast<size_t>(count) + 1);
  if (n == values.size()) {
    jvbTraceWrite(jvbFormatTraceArgs(name, values));
  } else {
    jvbTraceWrite(jvbFormatTraceArgs(
        name, std::vector<jvbTraceValue>(values.begin(), values.begin() + static_cast<long>(n))));
  }
}

const char* jvbRuntimeErrorText(int n) {
  struct Entry {
    int number;
    const char* text;
  };
  static const Entry kTable[] = {
      {100, "Disk read error"},
      {101, "Disk write error"},
      {102, "File not assigned"},
      {103, "File not open"},
      {104, "File not open for input"},
      {105, "File not open for output"},
      {106, "Invalid numeric format"},
      {150, "Disk is write-protected"},
      {151, "Bad drive request struct length"},
      {152, "Drive not ready"},
      {154, "CRC error in data"},
      {156, "Disk seek error"},
      {157, "Unknown media type"},
      {158, "Sector Not Found"},
      {159, "Printer out of paper"},
      {160, "Device write fault"},
      {161, "Device read fault"},
      {162, "Hardware failure"},
      {200, "Division by zero"},
      {201, "Range check error"},
      {202, "Stack overflow error"},
      {203, "Heap overflow error"},
      {204, "Invalid pointer operation"},
      {205, "Floating point overflow"},
      {206, "Floating point underflow"},
      {207, "Invalid floating point operation"},
      {208, "Overlay manager not installed"},
      {209, "Overlay file read error"},
      {210, "Object not initialized"},
      {211, "Call to abstract method"},
      {212, "Stream registration error"},
      {213, "Collection index out of range"},
      {214, "Collection overflow error"},
      {215, "Arithmetic overflow error"},
      {216, "General Protection fault"},
      {217, "Unhandled exception"},
      {219, "Invalid type cast"},
  };
  for (const Entry& e : kTable) {
    if (e.number == n) return e.text;
  }
  return nullptr;
}

std::string jvbErrorText(int n) {
  char buf[64];
  if (n >= 1 && n <= 88) {
    std::snprintf(buf, sizeof buf, "Operating system error #%d", n);
    return buf;
  }
  if (n < 0) {
    std::snprintf(buf, sizeof buf, "Operating system error #%lld", -static_cast<long long>(n));
    return buf;
  }
  if (const char* text = jvbRuntimeErrorText(n)) return text;
  std::snprintf(buf, sizeof buf, "Unidentified error #%d", n);
  return buf;
}

std::string jvbPlatformText() {
  // Linux is none of the classic platform kinds; the kernel release "6.1.0-18-amd64" gives
  // major 6, minor 1 and patch 0 as the build number.
  long parts[3] = {0, 0, 0};
  struct utsname u;
  if (uname(&u) == 0) {
    const char* p = u.release;
    for (long& part : parts) {
      if (!std::isdigit(static_cast<unsigned char>(*p))) break;
      char* end = nullptr;
      part = std::strtol(p, &end, 10);
      p = end;
      if (*p != '.') break;
      ++p;
    }
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, "Unknown platform v%d.%d (Rev. %d)", static_cast<int>(parts[0]),
                static_cast<int>(parts[1]), static_cast<int>(static_cast<int16_t>(parts[2])));
  return buf;
}
