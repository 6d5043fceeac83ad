// Names of the suite's programs, files and fixed texts, in one table.
#pragma once

namespace qms {

inline constexpr const char* kLauncherProgram = "qms32";
inline constexpr const char* kServerProgram = "binaries/qms32srv";
inline constexpr const char* kUpgradeProgram = "binaries/qms32upd";
inline constexpr const char* kOldProgram = "binaries/qms32old";
inline constexpr const char* kCgiProgram = "binaries/qms32cgi";
inline constexpr const char* kConsoleProgram = "utilities/qms32con";
inline constexpr const char* kManagerProgram = "utilities/qms32mgr";
inline constexpr const char* kRexxLibrary = "libregina.so.3";

inline constexpr const char* kMainConfig = "config/qms.cfg";
inline constexpr const char* kSystemLog = "log/qms32.log";
inline constexpr const char* kConsoleRecords = "tmp/console.tmp";
// Held locked by the running server for its whole life: one server per site.
inline constexpr const char* kSiteLock = "qms32srv.lck";

inline constexpr const char* kProductVersion = "0.9.5";
inline constexpr const char* kBuildId = "Build ID: Jan 02 2003 20:00 (Beta)";
inline constexpr const char* kProductTitle = "Quillmar/32 v0.9.5";
inline constexpr const char* kMakerNotice = "(c) Quillmar/32 developers";
inline constexpr const char* kHomePageUrl = "https://quillmar.example/";
inline constexpr const char* kStandaloneWord = "Quillmar";

}  // namespace qms
