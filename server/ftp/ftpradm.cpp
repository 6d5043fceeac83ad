// SITE RADM of qmsTFTPSession: remote administration for administrators - configuration
// and user files read and changed key by key, accounts copied, sessions, services and
// users listed, sessions ended, the server restarted or stopped.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/ftp/ftpformat.h"
#include "server/ftp/ftpsession.h"
#include "server/users/accountname.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"

namespace {

constexpr int kLogMisc = 64;
constexpr int kMonitorMaxSeconds = 3600;

bool Is(const std::string& word, const char* name) {
  return word.size() >= 4 && jvb::EqualNoCase(word.substr(0, 4), std::string(name).substr(0, 4));
}

// A configuration file named by the administrator: inside the installation directory,
// without "..".
bool SafeFileName(std::string& name) {
  name = jvb::NativePath(name);
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('/', start);
    if (name.substr(start, slash - start) == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

void qmsTFTPSession::SiteRadm(const std::string& arg) {
  std::string rest;
  const std::string word = qmsftp::FirstWord(arg, rest);
  if (Is(word, "CGET")) return RadmGet(false, rest);
  if (Is(word, "CSET")) return RadmSet(false, rest);
  if (Is(word, "UGET")) return RadmGet(true, rest);
  if (Is(word, "USET")) return RadmSet(true, rest);
  if (Is(word, "UDUP")) return RadmUdup(rest);
  if (Is(word, "LIST")) return RadmList(rest);
  if (Is(word, "KILL")) return RadmKill(rest);
  if (Is(word, "MONITOR")) return RadmMonitor(rest);
  struct {
    const char* word;
    const char* system;
    const char* log;
    const char* key;
    const char* command;
  } const kPosts[] = {
      {"RESTART", "Remote restart by Administrator", "SITE RADM restart", "RADMc", "restart.idle"},
      {"SHUTDOWN", "Remote shutdown by Administrator", "SITE RADM shutdown", "RADMd",
       "shutdown.idle"},
      {"INSTANT", "Instant remote restart/shutdown by Administrator", "SITE RADM instant", "RADMe",
       "instant"},
  };
  for (const auto& p : kPosts) {
    if (!Is(word, p.word)) continue;
    qmsLog(p.system);
    Log(p.log, kLogMisc);
    SendTxt(p.key, "SITE");
    if (qmsApplication) qmsApplication->PostCommand(p.command);
    return;
  }
  SiteUnknown("RADM " + arg);
}

void qmsTFTPSession::RadmGet(bool userFile, const std::string& arg) {
  const std::string k = userFile ? "RADM.UGET" : "RADM.CGET";
  std::string rest, more;
  std::string file = qmsftp::FirstWord(arg, rest);
  const std::string section = qmsftp::FirstWord(rest, more);
  const std::string key = qmsftp::FirstWord(more, rest);
  if (userFile) {
    const std::string name = jvb::AsciiLower(file);
    file = qmsValidAccountName(name) ? Group()->Users()->UserDirectory() + "/" + name : "";
  } else if (!SafeFileName(file)) {
    file.clear();
  }
  if (file.empty() || !jvb::FileExists(file)) return SendTxt(k + "c", "SITE");
  jvbTTextConfig cfg(file);
  std::vector<std::string> lines;
  if (section.empty()) {
    for (const std::string& s : cfg.SectionNames()) lines.push_back(" " + s);
    SendTxt(k + "d", "SITE");
    SendSiteLines(lines);
    return SendTxt(k + "e", "SITE");
  }
  if (key.empty()) {
    if (!cfg.ReadSection(section, lines)) return SendTxt(k + "c", "SITE");
    for (std::string& l : lines) l = " " + l;
    SendTxt(k + "f", "SITE");
    SendSiteLines(lines);
    return SendTxt(k + "g", "SITE");
  }
  std::string value;
  if (!cfg.ReadValue(section, key, value)) return SendTxt(k + "b", "SITE");
  SendArg(k + "a", "SITE", value, file + "/" + section + "/" + key);
}

void qmsTFTPSession::RadmSet(bool userFile, const std::string& arg) {
  const std::string k = userFile ? "RADM.USET" : "RADM.CSET";
  std::string rest, more;
  std::string file = qmsftp::FirstWord(arg, rest);
  const std::string section = qmsftp::FirstWord(rest, more);
  const std::string key = qmsftp::FirstWord(more, rest);
  const std::string value = rest;
  if (userFile) {
    const std::string name = jvb::AsciiLower(file);
    file = qmsValidAccountName(name) ? Group()->Users()->UserDirectory() + "/" + name : "";
  } else if (!SafeFileName(file)) {
    file.clear();
  }
  if (file.empty() || !jvb::FileExists(file)) return SendTxt(k + "d", "SITE");
  jvbTTextConfig cfg(file);
  std::string old;
  if (section.empty() || key.empty() || !cfg.ReadValue(section, key, old))
    return SendTxt(k + "c", "SITE");
  const std::string where = file + "/" + section + "/" + key;
  SendArg(k + "a", "SITE", old, where);
  const bool written = cfg.WriteString(section, key, value);
  SendArg(k + "b", "SITE", written ? value : old, where);
}

void qmsTFTPSession::RadmUdup(const std::string& arg) {
  std::string rest, more;
  const std::string source = jvb::AsciiLower(qmsftp::FirstWord(arg, rest));
  const std::string target = jvb::AsciiLower(qmsftp::FirstWord(rest, more));
  const std::string dir = Group()->Users()->UserDirectory() + "/";
  // Both names come from the client: they must be account names, and an existing account
  // is never replaced.
  if (!qmsValidAccountName(source) || !qmsValidAccountName(target) ||
      jvb::PathExists(dir + target) || !jvb::FileExists(dir + source))
    return SendTxt("RADM.UDUPb", "SITE");
  const std::string temp = dir + "." + target + ".udup";
  bool ok = jvb::CopyFileAtomic(dir + source, temp) && jvb::RenameNoReplace(temp, dir + target);
  jvb::DeleteFile(temp);
  if (ok) {
    jvbTTextConfig copy(dir + target);
    ok = copy.WriteString("USER", "Username", target);
  }
  SendTxt(ok ? "RADM.UDUPa" : "RADM.UDUPb", "SITE");
}

void qmsTFTPSession::RadmList(const std::string& arg) {
  std::string rest;
  const std::string what = qmsftp::FirstWord(arg, rest);
  std::vector<std::string> lines;
  if (Is(what, "SOCKETS")) {
    lines = {" RADM LIST SOCKETS", " ",
             " Socket|Username|Status-XDone,XRate,XETA|Idle|RemoteIP|ConnectDur|Path|"};
    for (std::string& l : SessionLines(true, true)) lines.push_back(std::move(l));
  } else if (Is(what, "SERVICES")) {
    lines = {" RADM LIST SERVICES", " ",
             " ConfigGroup|ConfigSection|IP:Socket|Protocol|TID|Status|"};
    for (qmsTGroup* g : qmsApplication ? qmsApplication->Groups() : std::vector<qmsTGroup*>{}) {
      for (const qmsTServiceStatus& s : g->ServiceStatus()) {
        std::string address = "0.0.0.0";
        int32_t port = 0;
        if (g->Config()) {
          g->Config()->ReadValue(s.section, "Address", address);
          g->Config()->ReadInteger(port, s.section, "Port");
        }
        lines.push_back(" " + g->Name() + "|" + s.section + "|" + address + ":" +
                        std::to_string(port) + "|" + std::to_string(s.protocol) + "|0|" +
                        std::to_string(s.state) + "|");
      }
    }
  } else if (Is(what, "USERS")) {
    lines = {" RADM LIST USERS", " ", " Username|Datestamp|"};
    qmsTUserDatabase* db = Group()->Users();
    std::vector<jvb::DirEntry> entries;
    jvb::FindFiles(db->UserDirectory(), "*", 0, entries);
    for (const jvb::DirEntry& e : entries)
      if (db->IsAccountFile(e.name))
        lines.push_back(" " + e.name + "|" + qmsftp::Stamp14(e.mtime) + "|");
  } else {
    return SiteUnknown("RADM LIST " + arg);
  }
  SendTxt("RADMa", "SITE");
  SendSiteLines(lines);
  SendTxt("RADMb", "SITE");
}

void qmsTFTPSession::RadmKill(const std::string& arg) {
  std::vector<std::string> lines = {" RADM KILL", " ", " Socket|Username|"};
  std::string rest = arg;
  std::vector<int> wanted;
  while (!rest.empty()) {
    std::string next;
    int32_t n = 0;
    if (jvbTTextConfig::ParseInteger(qmsftp::FirstWord(rest, next), n)) wanted.push_back(n);
    rest = next;
  }
  for (const std::string& key : Service()->ActiveKeys()) {
    Service()->WithSession(key, [&](qmsTSession& s) {
      auto* ftp = dynamic_cast<qmsTFTPSession*>(&s);
      if (!ftp) return;
      for (int n : wanted) {
        if (s.socketHandle.load() != n) continue;
        lines.push_back(" " + std::to_string(n) + "|" + ftp->Snapshot().user + "|");
        ftp->Kill();
      }
    });
  }
  SendTxt("RADMa", "SITE");
  SendSiteLines(lines);
  SendTxt("RADMb", "SITE");
  Log("SITE RADM kill", kLogMisc);
}

void qmsTFTPSession::RadmMonitor(const std::string& arg) {
  std::string rest;
  int32_t seconds = 0;
  jvbTTextConfig::ParseInteger(qmsftp::FirstWord(arg, rest), seconds);
  seconds = std::clamp<int32_t>(seconds, 0, kMonitorMaxSeconds);
  SendTxt("RADMa", "SITE");
  SendSiteLines({" RADM MONITOR", " "});
  const std::string file = "tmp/QMS" + std::to_string(jvb::MonotonicMs());
  jvb::CloseFile(jvb::OpenAppend(file, 0600));
  const int64_t end = jvb::MonotonicMs() + int64_t{seconds} * 1000;
  while (!Stopping() && jvb::MonotonicMs() < end) {
    ResetIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  jvb::DeleteFile(file);
  SendTxt("RADMb", "SITE");
  Log("SITE RADM monitor", kLogMisc);
}
