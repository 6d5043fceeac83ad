#include "server/core/setup.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "server/core/runserver.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"

namespace {

// Creates a directory when missing; returns true when it was created now.
bool MakeDirectory(const std::string& dir, bool* failed) {
  *failed = false;
  if (jvb::DirectoryExists(dir)) return false;
  if (jvb::ForceDirectories(dir)) {
    qmsConLog("- " + qmsQuoted(dir) + " created");
    return true;
  }
  qmsConLog("- " + qmsQuoted(dir) + " cannot be created");
  *failed = true;
  return false;
}

struct DefaultSet {
  const char* dir;
  const char* installing;
  const char* upgrading;
  const char* missing;
};

const DefaultSet kDefaults[] = {
    {"config", "Installing default configuration ...",
     "New version installed, upgrading configuration ...",
     "- Default configuration not found in \"%s\""},
    {"messages", "Installing system message files ...",
     "New version installed, upgrading message files ...",
     "- Default system message files not found in \"%s\""},
    {"scripts", "Installing default script files ...",
     "New version installed, upgrading script files ...",
     "- Default script files not found in \"%s\""},
};

void InstallOrReport(jvbTTextConfig& config, const DefaultSet& set, bool upgrade) {
  qmsConLog(upgrade ? set.upgrading : set.installing);
  std::string source = std::string("documentation/") + set.dir;
  if (jvb::DirectoryExists(source)) {
    qmsInstallFiles(config, set.dir, source, upgrade);
  } else {
    char b[512];
    snprintf(b, sizeof b, set.missing, source.c_str());
    qmsConLog(b);
  }
}

bool CopyDefault(const std::string& s, const std::string& d) {
  if (jvb::CopyFileAtomic(s, d)) return true;
  qmsConLog("- Unable to copy " + qmsQuoted(s) + " to " + qmsQuoted(d));
  return false;
}

}  // namespace

uint32_t qmsFileCrc(const std::string& path) {
  jvbTTextFile f;
  f.Init(path, jvb::fmReadDenyWrite);
  if (!f.Open()) return 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::vector<unsigned char> buf(16384);
  for (;;) {
    int64_t n = f.BlockRead(buf.data(), static_cast<int64_t>(buf.size()));
    if (n <= 0) break;
    crc = crc32(crc, buf.data(), static_cast<uInt>(n));
  }
  return static_cast<uint32_t>(crc);
}

std::string qmsCrcText(uint32_t crc) {
  char b[16];
  snprintf(b, sizeof b, "%8.8x", crc);
  return b;
}

void qmsInstallFiles(jvbTTextConfig& config, const std::string& destination,
                     const std::string& source, bool upgrade) {
  bool failed = false;
  MakeDirectory(destination, &failed);
  if (failed || !jvb::DirectoryExists(destination)) return;
  std::vector<jvb::DirEntry> entries;
  jvb::FindFiles(source, "*", jvb::faDirectory, entries);
  // Files before folders: the main configuration, which records every installed file,
  // must be in place before the keys of the files below it are written into it.
  std::stable_partition(entries.begin(), entries.end(),
                        [](const jvb::DirEntry& e) { return !(e.attr & jvb::faDirectory); });
  for (const auto& e : entries) {
    std::string s = source + "/" + e.name;
    std::string d = destination + "/" + e.name;
    if (e.attr & jvb::faDirectory) {
      qmsInstallFiles(config, d, s, upgrade);
      continue;
    }
    std::string key = "File[" + d + "]";
    std::string cs = qmsCrcText(qmsFileCrc(s));
    if (!upgrade) {
      if (CopyDefault(s, d)) config.WriteString("UPGRADE", key, cs);
      continue;
    }
    std::string stored;
    config.ReadString(stored, "UPGRADE", key);
    bool present = jvb::FileExists(d);
    if (!present && !stored.empty()) {
      qmsConLog("- FILE DELETED: Automatic file upgrade not performed, update manually:");
      qmsConLog("    " + qmsQuoted(s) + " -> " + qmsQuoted(d));
    } else if (!present) {
      if (CopyDefault(s, d)) {
        config.WriteString("UPGRADE", key, cs);
        qmsConLog("- NEW FILE ADDED: " + qmsQuoted(d));
      }
    } else {
      std::string cd = qmsCrcText(qmsFileCrc(d));
      if (stored == cd || cd == cs) {
        if (CopyDefault(s, d)) config.WriteString("UPGRADE", key, cs);
      } else {
        qmsConLog("- FILE MODIFIED: Automatic file upgrade not performed, update manually:");
        qmsConLog("    " + qmsQuoted(s) + " -> " + qmsQuoted(d));
      }
    }
  }
}

void qmsObjectCreate(jvbTTextConfig& config) {
  bool disabled = false;
  config.ReadBool("GLOBAL", "DisableObjectCreate", disabled);
  if (disabled) qmsConLog("Object create: Disabled");
}

void qmsCheckSetup(jvbTTextConfig& config) {
  qmsConLog("Starting system configuration check ...");
  qmsConLog("Checking directory structure ...");
  bool created[3] = {false, false, false};
  const char* dirs[] = {"config", "log", "messages", "scripts", "tmp"};
  for (const char* d : dirs) {
    bool failed = false;
    bool now = MakeDirectory(d, &failed);
    for (int i = 0; i < 3; ++i)
      if (std::string(kDefaults[i].dir) == d) created[i] = now;
  }
  for (int i = 0; i < 3; ++i)
    if (created[i]) InstallOrReport(config, kDefaults[i], false);
  qmsObjectCreate(config);
  std::string version, build;
  config.ReadString(version, "UPGRADE", "CurrentVersion");
  config.ReadString(build, "UPGRADE", "CurrentBuild");
  if (version == qms::kProductVersion && build == qms::kBuildId) return;
  if (version < qms::kProductVersion) qmsHalt(true, 10011);
  for (int i = 0; i < 3; ++i)
    if (!created[i]) InstallOrReport(config, kDefaults[i], true);
  config.WriteString("UPGRADE", "CurrentVersion", qms::kProductVersion);
  config.WriteString("UPGRADE", "CurrentBuild", qms::kBuildId);
}

void qmsArchiveLogs(jvbTTextConfig& config) {
  bool disabled = false;
  config.ReadBool("GLOBAL", "DisableLogArchiving", disabled);
  if (disabled) {
    qmsConLog("Log archiving: Disabled");
    return;
  }
  std::string zip = jvb::FindInPath("zip");
  if (zip.empty()) {
    qmsConLog("Log archiving: Disabled (zip not found)");
    return;
  }
  std::string name = jvb::FormatArchiveName(jvb::NowLocal());
  std::string dir = "log/" + name;
  qmsConLog("Archiving log files into " + qmsQuoted(name + ".zip") + " ...");
  qmsLog("(Log continued in new file)");
  jvb::ForceDirectories(dir);

  // Move the regular files of log/ (not the dated folders of earlier runs).
  std::vector<jvb::DirEntry> entries;
  jvb::FindFiles("log", "*", 0, entries);
  std::vector<std::string> moved;
  bool moveFailed = false;
  for (const auto& e : entries) {
    if (!(e.attr & jvb::faArchive)) continue;
    std::string to = dir + "/" + e.name;
    if (jvb::RenameNoReplace("log/" + e.name, to))
      moved.push_back(to);
    else
      moveFailed = true;
  }
  if (moveFailed) qmsConLog("Log file move failed");

  if (!moved.empty()) {
    std::vector<std::string> args = {"-9jmq", dir + "/" + name + ".zip"};
    args.insert(args.end(), moved.begin(), moved.end());
    args.push_back("-x");
    args.push_back("*.zip");
    pid_t pid = jvb::SpawnProcess(zip, args, true);
    if (pid < 0)
      qmsConLog("Log file compress failed");
    else
      jvb::WaitProcess(pid);
  }
  qmsLog("(Log continued from old file archived in " + qmsQuoted(name + ".zip") + ")");
  for (const auto& line : qmsServerBannerLines()) qmsLog(line);
}
