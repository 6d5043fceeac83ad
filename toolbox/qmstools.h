// qmsTools: operator-visible text of the server and the launcher - the console, the
// system log "log/qms32.log", the console record file "tmp/console.tmp" - and qmsHalt,
// the one way a program stops itself on an installation or configuration error.
// Every routine may be called from any thread; files serialise through their locks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Process-wide flags; written by the main thread only.
void qmsSetConsoleThreadId(bool on);
void qmsSetLogThreadId(bool on);

std::string qmsConTID(const std::string& text);
// Orders console lines (screen and record file); held while one line is written.
std::mutex& qmsConsoleLock();
void qmsCon(const std::string& text);
void qmsConMsg(const std::string& text);
void qmsLog(const std::string& text);
void qmsConLog(const std::string& text);
[[noreturn]] void qmsHalt(bool log, int number);
// The same lines on the screen only: for a halt that must not write into the site's files.
[[noreturn]] void qmsHaltScreen(int number);
void qmsErrFind(int code);
// Sends trap reports to the console and the system log (fatal ones by safe writes).
void qmsDebug();

// Text as it may go into a log line or a reply: control bytes (below 0x20, 0x7F, the C1
// range) and bytes that are not well-formed UTF-8 become "\xNN"; the rest is kept.
std::string qmsVisibleText(const std::string& text);

// Text in double quotes, as log lines name files, users and hosts.
inline std::string qmsQuoted(const std::string& text) { return "\"" + text + "\""; }

// The message line of a halt number ("- QMS ..."), formatted.
std::string qmsHaltMessage(int number);

// Exit codes: the suite's logical codes (0, 1, 10000-10099, 10100, run-time errors)
// carried through an 8-bit exit status, and back.
int qmsEncodeExit(int code);
int qmsDecodeExit(int status);

// A routine that puts the terminal back as it was; called by qmsHalt and the trap
// reports before the process ends. The server installs it while it holds raw mode.
using qmsRestoreProc = void (*)();
void qmsSetTerminalRestore(qmsRestoreProc proc);
void qmsRestoreTerminal();

// Console record layout of "tmp/console.tmp".
inline constexpr int kConsoleRecordSize = 256;
inline constexpr int kConsoleTextMax = 247;
// The record file is cut back to empty when it passes this size.
inline constexpr int64_t kConsoleFileCap = 16 * 1024 * 1024;
// Builds one record (exposed for tests and readers).
void qmsBuildConsoleRecord(unsigned char* rec, const std::string& text);
