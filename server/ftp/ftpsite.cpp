// The SITE command family of qmsTFTPSession, except RADM (ftpradm.cpp).
#include <cstdio>
#include <string>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/ftp/ftpformat.h"
#include "server/ftp/ftpsession.h"
#include "server/users/scramble.h"
#include "server/users/user.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"

namespace {

constexpr int kLogMisc = 64;

// The subcommand word matches name on the first n characters, without regard to case.
bool Matches(const std::string& word, const char* name, size_t n) {
  return word.size() >= n && jvb::EqualNoCase(word.substr(0, n), std::string(name).substr(0, n));
}

}  // namespace

void qmsTFTPSession::cSITE(const std::string&, const std::string& argument) {
  const int before = Status;
  std::string hook, output;
  Group()->Config()->ReadString(hook, Service()->Section(), "hookOnSite");
  if (!hook.empty()) {
    Status = stSite;
    const int rc = CallHook(output, hook + " " + qmsNeutralizeTemplate(argument));
    Status = before;
    if (rc >= 1) {
      SendHookReply(output);
      return Log("SITE " + qmsQuoted(argument) + ", handled by script", kLogMisc);
    }
  }
  if (before != stLoggedIn) return SendTxt("530a", "SITE");
  Status = stSite;
  SiteDispatch(argument);
  Status = stLoggedIn;
}

void qmsTFTPSession::SiteUnknown(const std::string& argument) {
  SendTxt("202a", "SITE");
  Log("SITE Unknown command " + qmsQuoted(argument), kLogMisc);
}

void qmsTFTPSession::SiteDispatch(const std::string& argument) {
  std::string rest;
  const std::string word = qmsftp::FirstWord(argument, rest);
  if (Matches(word, "HELP", 1)) return SiteHelp(rest);
  if (Matches(word, "IDLE", 2)) return SiteIdle(rest);
  if (Matches(word, "LANG", 2)) return SiteLang(rest);
  for (const char* list : {"LIST", "NLST", "MLSD"}) {
    if (!Matches(word, list, std::string(list) == "MLSD" ? 4 : 2)) continue;
    SendTxt("LISTa", "SITE");
    Status = stLoggedIn;
    List(false, list, rest);
    return SendTxt("LISTb", "SITE");
  }
  if (Matches(word, "NAME", 2)) return SiteName(rest);
  if (Matches(word, "PASS", 2)) return SitePass(rest);
  if (Matches(word, "RADM", 4) && IsAdministrator()) return SiteRadm(rest);
  if (Matches(word, "STAT", 2)) return SendTxt("STATa", "SITE");
  if (Matches(word, "WHO", 2)) return SiteWho();
  std::string more;
  if (Matches(word, "XQMS", 4) && Matches(qmsftp::FirstWord(rest, more), "XCMD", 4)) {
    xqms_ = true;
    return SendTxt("XCMDa", "SITE");
  }
  SiteUnknown(argument);
}

void qmsTFTPSession::SiteHelp(const std::string& arg) {
  SendTxt("HELPa", "SITE");
  jvbTTextConfig help("messages/ftp/ftp.hlp");
  std::vector<std::string> sections = {"HEADER"};
  std::string rest;
  const std::string topic = qmsftp::FirstWord(arg, rest);
  if (!topic.empty()) {
    sections.push_back("CMD." + jvb::AsciiUpper(topic));
  } else {
    sections.push_back(IsAnonymous() ? "ANON" : "USER");
    if (IsAdministrator()) sections.push_back("ADMIN");
  }
  sections.push_back("FOOTER");
  for (const std::string& section : sections) {
    std::vector<std::string> lines;
    if (!help.ReadSection(section, lines)) continue;
    for (const std::string& line : lines) SendCmd("", " " + line);
  }
  SendTxt("HELPb", "SITE");
}

void qmsTFTPSession::SiteIdle(const std::string& arg) {
  std::string rest;
  const std::string word = qmsftp::FirstWord(arg, rest);
  if (word.empty()) return SendTxt("IDLEb", "SITE");
  int32_t seconds = 0;
  if (jvbTTextConfig::ParseInteger(word, seconds) && seconds > 0) Timeout = seconds;
  if (!IsAdministrator() && Timeout > timeout_max_) Timeout = timeout_max_;
  SendTxt("IDLEa", "SITE");
  Log("SITE Idle time-out set to " + std::to_string(Timeout), kLogMisc);
}

void qmsTFTPSession::SiteLang(const std::string& arg) {
  std::string rest;
  const std::string lang = jvb::AsciiLower(qmsftp::FirstWord(arg, rest));
  const std::string file = "messages/ftp/ftp" + lang + ".res";
  // The name is built from client text: only a plain language word may reach the disk.
  if (!qmsftp::ValidLanguage(lang) || !jvb::FileExists(file)) return SendTxt("LANGb", "SITE");
  messages_ = std::make_unique<jvbTTextConfig>(file);
  SendTxt("LANGa", "SITE");
}

void qmsTFTPSession::SiteName(const std::string& arg) {
  if (arg.empty() || IsAnonymous()) return SendTxt("NAMEa", "SITE");
  const std::string old = User()->GetFullname();
  User()->Config().WriteString("USER", "Fullname", arg);
  SendTxt("NAMEb", "SITE");
  Log("SITE Full name changed from " + qmsQuoted(old), kLogMisc);
}

void qmsTFTPSession::SitePass(const std::string& arg) {
  qmsTUser* u = User();
  const std::string stored = u->GetPassword();
  if (arg.empty() || arg.size() > kQmsMaxPasswordBytes || u->GetAnonymous() ||
      u->GetAdministrator() || !u->GetChangePassword() || stored == "<ntdomain>" ||
      stored == "<external>" ||
      !u->Config().WriteString("USER", "Password", qmsHexEncode(qmsScramble(arg)))) {
    SendTxt("PASSb", "SITE");
    return Log("SITE Password change rejected", kLogMisc);
  }
  SendTxt("PASSa", "SITE");
  Log("SITE Password changed", kLogMisc);
}

void qmsTFTPSession::SendSiteLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  SendRaw(out);
}

std::vector<std::string> qmsTFTPSession::SessionLines(bool admin, bool radm) {
  std::vector<std::string> lines;
  for (const std::string& key : Service()->ActiveKeys()) {
    Service()->WithSession(key, [&](qmsTSession& s) {
      auto* ftp = dynamic_cast<qmsTFTPSession*>(&s);
      if (!ftp) return;
      const Figures f = ftp->Snapshot();
      int64_t idle = 0, connected = 0;
      {
        std::lock_guard<std::mutex> g(s.timerLock);
        idle = s.idleTimer.ElapsedMs() / 1000;
        connected = s.connectTimer.ElapsedMs() / 1000;
      }
      const std::string user = f.user.empty() ? "(unknown)" : f.user;
      const std::string address = s.Socket() ? s.Socket()->PeerDotted() : "0.0.0.0";
      char b[600];
      if (radm) {
        snprintf(b, sizeof b, " %d|%s|%d-%d,%d,%d|%lld|%s|%lld|%s|", s.socketHandle.load(),
                 user.c_str(), f.status, f.percent, f.rate, f.timeLeft,
                 static_cast<long long>(idle), address.c_str(), static_cast<long long>(connected),
                 f.path.c_str());
        lines.push_back(b);
        return;
      }
      std::string state;
      switch (f.status) {
        case stNone:
          state = "CONN (" + std::to_string(idle) + ")";
          break;
        case stLoggedIn:
          state = "IDLE (" + std::to_string(idle) + ")";
          break;
        case stRetr:
          snprintf(b, sizeof b, "RETR (%d%% at %dkB/s, ETA: %d:%2.2d:%2.2d)", f.percent, f.rate,
                   f.timeLeft / 3600, f.timeLeft / 60 % 60, f.timeLeft % 60);
          state = b;
          break;
        case stStor:
          snprintf(b, sizeof b, "STOR (%lldkB at %dkB/s)",
                   static_cast<long long>(f.bytesDone / 1024), f.rate);
          state = b;
          break;
        case stList:
          state = "LIST";
          break;
        case stSite:
          state = "SITE (" + std::to_string(idle) + "s)";
          break;
        default:
          break;
      }
      snprintf(b, sizeof b, " %5d %-16s ", s.socketHandle.load(), user.c_str());
      std::string line = b;
      if (admin) {
        snprintf(b, sizeof b, "%-15s ", address.c_str());
        line += b;
      }
      lines.push_back(line + state);
      if (admin) lines.push_back("       " + f.path);
    });
  }
  return lines;
}

void qmsTFTPSession::SiteWho() {
  const bool admin = IsAdministrator();
  // Lines are built under the session-list lock and sent after it is released: a client
  // that stops reading must never hold the lock.
  const std::vector<std::string> lines = SessionLines(admin, false);
  SendTxt("WHOa", "SITE");
  SendLine(" ");
  if (admin) {
    SendLine(" Sock  Username         Remote address  Status");
    SendLine(" ----- ---------------- --------------- ------");
  } else {
    SendTxt("WHOb", "SITE");
    SendTxt("WHOc", "SITE");
  }
  SendSiteLines(lines);
  SendLine(" ");
  SendTxt("WHOd", "SITE");
  Log("SITE Listed online users", kLogMisc);
}
