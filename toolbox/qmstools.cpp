#include "toolbox/qmstools.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

std::atomic<bool> g_console_tid{false};
std::atomic<bool> g_log_tid{false};
std::atomic<qmsRestoreProc> g_restore{nullptr};

std::string Prefixed(const std::string& text, bool flag) { return flag ? qmsConTID(text) : text; }

void ConsoleWrite(const std::string& text) {
  std::string line = text + "\r\n";
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void WriteConsoleRecord(const std::string& text) {
  unsigned char rec[kConsoleRecordSize];
  qmsBuildConsoleRecord(rec, text);
  jvbTTextFile f;
  f.Init(qms::kConsoleRecords, jvb::fmWriteDenyWrite, kConsoleRecordSize, 0, 5000);
  if (!f.OpenOrCreate()) return;  // a missing tmp directory or a long-held lock drops the record
  // Readers follow the file by position; past the cap it starts again from empty, which
  // readers notice as a size below their position.
  if (f.Size() * kConsoleRecordSize >= kConsoleFileCap) {
    f.SeekStart();
    f.Truncate();
  }
  f.SeekEnd();
  f.BlockWrite(rec, 1);
}

// Length of the well-formed UTF-8 sequence of two or more bytes at s[i], 0 when none
// (overlong forms, surrogates and C1 controls included).
size_t Utf8Length(const std::string& s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  size_t n = c >= 0xC2 && c <= 0xDF   ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  unsigned char d = at(i + 1);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d > 0x8F) || (c == 0xC2 && d < 0xA0))
    return 0;
  return n;
}

}  // namespace

std::string qmsVisibleText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (size_t n = c >= 0x80 ? Utf8Length(text, i) : 0) {
      out.append(text, i, n);
      i += n;
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    }
  }
  return out;
}

namespace {

// --- Trap lines from the fatal-signal handler ------------------------------------------
// Local time there cannot come from the C library (it locks), so the offset from UTC is
// noted whenever the log is written and applied to the real-time clock.
std::atomic<long> g_utcOffset{0};

void NoteUtcOffset() {
  time_t t = time(nullptr);
  struct tm tm{};
  if (localtime_r(&t, &tm) != nullptr) g_utcOffset = tm.tm_gmtoff;
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void AppendTo(const char* name, const void* data, size_t length, bool create) {
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
  int fd = ::open(name, flags, jvb::kModeShared);
  if (fd < 0) return;
  WriteAll(fd, static_cast<const char*>(data), length);
  ::close(fd);
}

void AddThreadPrefix(jvbSafeLine& out) {
  jvbSafeLine hex;
  hex.Hex(static_cast<unsigned long long>(jvb::CurrentThreadId()), 0, false);
  out.Add("[");
  for (size_t pad = hex.size(); pad < 4; ++pad) out.Add(" ");
  out.Add(hex.data(), hex.size()).Add("] ");
}

// One trap line onto the screen, into the system log and the console records, with
// async-signal-safe calls only (no file locks: the faulting thread may hold one).
void TrapLineSafe(const char* line, size_t length) {
  jvbSafeLine text;
  if (g_console_tid) AddThreadPrefix(text);
  text.Add(line, length);
  jvbSafeLine screen;
  screen.Add(text.data(), text.size()).Add("\r\n");
  WriteAll(STDOUT_FILENO, screen.data(), screen.size());

  struct timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  long long local = static_cast<long long>(ts.tv_sec) + g_utcOffset.load();
  long long days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  long long second = local - days * 86400;
  int ms = static_cast<int>(ts.tv_nsec / 1000000);
  jvbSafeLine entry;
  entry.Dec(second / 3600 / 10).Dec(second / 3600 % 10).Add(":");
  entry.Dec(second / 60 % 60 / 10).Dec(second / 60 % 10).Add(":");
  entry.Dec(second % 60 / 10).Dec(second % 10).Add(".").Dec(ms / 100).Dec(ms / 10 % 10).Add(" ");
  if (g_log_tid) AddThreadPrefix(entry);
  entry.Add(line, length).Add("\r\n");
  AppendTo(qms::kSystemLog, entry.data(), entry.size(), true);

  unsigned char rec[kConsoleRecordSize] = {};
  uint32_t msOfDay = static_cast<uint32_t>(second * 1000 + ms);
  uint32_t day = static_cast<uint32_t>(days + 719163);
  for (int i = 0; i < 4; ++i) {
    rec[i] = static_cast<unsigned char>(msOfDay >> (8 * i));
    rec[4 + i] = static_cast<unsigned char>(day >> (8 * i));
  }
  size_t n = std::min<size_t>(text.size(), kConsoleTextMax);
  rec[8] = static_cast<unsigned char>(n);
  std::memcpy(rec + 9, text.data(), n);
  AppendTo(qms::kConsoleRecords, rec, sizeof rec, false);
}

}  // namespace

std::mutex& qmsConsoleLock() {
  static std::mutex order;
  return order;
}

void qmsSetConsoleThreadId(bool on) { g_console_tid = on; }
void qmsSetLogThreadId(bool on) { g_log_tid = on; }

std::string qmsConTID(const std::string& text) {
  char b[32];
  snprintf(b, sizeof b, "[%4lx] ", jvb::CurrentThreadId());
  return b + text;
}

void qmsBuildConsoleRecord(unsigned char* rec, const std::string& text) {
  std::memset(rec, 0, kConsoleRecordSize);
  jvb::PutStamp8(rec, jvb::NowLocal());
  size_t n = std::min<size_t>(text.size(), kConsoleTextMax);
  rec[8] = static_cast<unsigned char>(n);
  std::memcpy(rec + 9, text.data(), n);
}

void qmsCon(const std::string& text) {
  std::string t = Prefixed(text, g_console_tid);
  // One line at a time, so the screen and the record file list lines in the same order.
  std::lock_guard<std::mutex> g(qmsConsoleLock());
  ConsoleWrite(t);
  WriteConsoleRecord(t);
}

void qmsConMsg(const std::string& text) { WriteConsoleRecord(Prefixed(text, g_console_tid)); }

void qmsLog(const std::string& text) {
  NoteUtcOffset();
  jvb::DateTime now = jvb::NowLocal();
  std::string line = jvb::FormatLogStamp(now) + " " + Prefixed(text, g_log_tid);
  jvb::FileInfo info;
  bool fresh = !jvb::GetFileInfo(qms::kSystemLog, info);
  jvbTTextFile f;
  f.Init(qms::kSystemLog, jvb::fmWriteDenyWrite);
  if (!f.OpenOrCreate()) return;
  if (!fresh) {
    // The last-write date decides, read after the lock is held so two writers agree.
    jvb::FileInfo held;
    if (jvb::GetFileInfo(f.fd(), held)) {
      jvb::DateTime last = jvb::ToLocal(held.mtime);
      fresh =
          held.size == 0 || last.year != now.year || last.month != now.month || last.day != now.day;
    }
  }
  f.SeekEnd();
  if (fresh) f.WriteLine(jvb::FormatDayLine(now));
  f.WriteLine(line);
}

void qmsConLog(const std::string& text) {
  qmsCon(text);
  qmsLog(text);
}

std::string qmsHaltMessage(int number) {
  char b[512];
  switch (number) {
    case 10000:
      snprintf(b, sizeof b, "- QMS must be executed from its own directory: \"%s\"",
               jvb::ProgramDirectory().c_str());
      break;
    case 10001:
      snprintf(b, sizeof b, "- QMS cannot find a valid configuration file: \"%s\"", qms::kMainConfig);
      break;
    case 10002:
      snprintf(b, sizeof b, "- QMS cannot find required Rexx file: \"%s\"", qms::kRexxLibrary);
      break;
    case 10003:
      snprintf(b, sizeof b, "- QMS component cannot be run directly, has to be called from: \"%s\"",
               qms::kLauncherProgram);
      break;
    case 10004:
      return "- QMS detected a blocked stability monitor";
    case 10005:
      snprintf(b, sizeof b, "- QMS site is in use by another server, \"%s\" is locked",
               qms::kSiteLock);
      break;
    case 10010:
      return "- QMS is unable to start with this config, enable config check and retry";
    case 10011:
      return "- QMS is unable to upgrade from this version, fresh install required";
    case 10100:
      return "- QMS is unable in init sockets";
    default:
      return "- Unknown error";
  }
  return b;
}

void qmsHalt(bool log, int number) {
  auto out = log ? qmsConLog : qmsCon;
  out("qmsHalt #" + std::to_string(number));
  out(qmsHaltMessage(number));
  fflush(stdout);
  qmsRestoreTerminal();
  _exit(qmsEncodeExit(number));
}

void qmsHaltScreen(int number) {
  ConsoleWrite("qmsHalt #" + std::to_string(number));
  ConsoleWrite(qmsHaltMessage(number));
  qmsRestoreTerminal();
  _exit(qmsEncodeExit(number));
}

void qmsErrFind(int code) {
  if (code == 0 || code == jvb::kErrFileNotFound || code == jvb::kErrPathNotFound ||
      code == jvb::kErrNoMoreFiles)
    return;
  qmsLog("Error: SysFind returned " + std::to_string(code) +
         " (TID: " + std::to_string(jvb::CurrentThreadId()) + ")");
}

static void TrapToConsoleAndLog(const std::string& line) { qmsConLog(line); }

void qmsDebug() {
  NoteUtcOffset();
  jvbSetTrapWriter(TrapToConsoleAndLog);
  jvbSetTrapSafeWriter(TrapLineSafe);
}

int qmsEncodeExit(int code) {
  if (code == 0 || code == 1) return code;
  if (code >= 10000 && code <= 10099) return code - 9900;
  if (code == 10100) return 99;
  if (code >= 200 && code <= 255) return code;  // run-time errors keep their number
  return 98;  // anything else: an abnormal end the launcher restarts
}

int qmsDecodeExit(int status) {
  if (status >= 100 && status <= 199) return status + 9900;
  if (status == 99) return 10100;
  return status;
}

void qmsSetTerminalRestore(qmsRestoreProc proc) { g_restore = proc; }

void qmsRestoreTerminal() {
  if (qmsRestoreProc p = g_restore.load()) p();
}
