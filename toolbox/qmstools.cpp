#include "toolbox/qmstools.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
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

}  // namespace

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
  static std::mutex order;
  std::lock_guard<std::mutex> g(order);
  ConsoleWrite(t);
  WriteConsoleRecord(t);
}

void qmsConMsg(const std::string& text) { WriteConsoleRecord(Prefixed(text, g_console_tid)); }

void qmsLog(const std::string& text) {
  jvb::DateTime now = jvb::NowLocal();
  std::string line = jvb::FormatLogStamp(now) + " " + Prefixed(text, g_log_tid);
  struct stat st{};
  bool fresh = ::stat(qms::kSystemLog, &st) != 0;
  jvbTTextFile f;
  f.Init(qms::kSystemLog, jvb::fmWriteDenyWrite);
  if (!f.OpenOrCreate()) return;
  if (!fresh) {
    // The last-write date decides, read after the lock is held so two writers agree.
    struct stat held{};
    if (fstat(f.fd(), &held) == 0) {
      jvb::DateTime last = jvb::ToLocal(held.st_mtime);
      fresh = held.st_size == 0 || last.year != now.year || last.month != now.month ||
              last.day != now.day;
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

void qmsErrFind(int code) {
  if (code == 0 || code == jvb::kErrFileNotFound || code == jvb::kErrPathNotFound ||
      code == jvb::kErrNoMoreFiles)
    return;
  qmsLog("Error: SysFind returned " + std::to_string(code) +
         " (TID: " + std::to_string(jvb::CurrentThreadId()) + ")");
}

static void TrapToConsoleAndLog(const std::string& line) { qmsConLog(line); }

void qmsDebug() { jvbSetTrapWriter(TrapToConsoleAndLog); }

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
