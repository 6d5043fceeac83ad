// Template variables and the extended log of the HTTP session.
#include <cstdio>
#include <mutex>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/http/httpsession.h"
#include "server/users/user.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"

namespace {

const char kHomePage[] = "https://quillmar.example/";

std::string IconLink(int size) {
  char b[256];
  snprintf(b, sizeof b,
           "<A HREF=\"%s\" TARGET=\"_blank\" REL=\"noopener\"><IMG SRC=\"/!icon?icon%d-qms.gif\" "
           "WIDTH=\"%d\" HEIGHT=\"%d\" BORDER=\"0\" ALT=\"Quillmar/32\"></A>",
           kHomePage, size, size, size);
  return b;
}

// Only one session writes the header lines of an empty extended log.
std::mutex& ExtHeaderLock() {
  static std::mutex m;
  return m;
}

}  // namespace

bool qmsTHTTPSession::GetVars(const std::string& name, std::string& value) {
  if (qmsTSession::GetVars(name, value)) {
    // Values that carry client text are escaped where they land in a page.
    if (html_ && name == "http.directory") value = qmsHTMLEscape(value);
    return true;
  }
  if (name.compare(0, 6, "http.!") == 0) {
    const std::string* h = Request.Header(jvb::AsciiUpper(name.substr(6)).c_str());
    value = h ? *h : std::string();
  } else if (name == "http.iconlink.large") {
    value = IconLink(40);
    return true;
  } else if (name == "http.iconlink.small") {
    value = IconLink(20);
    return true;
  } else if (name == "http.request") {
    value = Request.line;
  } else if (name == "http.request.method") {
    value = Request.method;
  } else if (name == "http.request.uri") {
    value = Request.uri;
  } else if (name == "http.request.version") {
    value = Request.version;
  } else if (name == "http.querystring") {
    value = Request.query;
  } else if (name == "http.status") {
    value = std::to_string(Status);
    return true;
  } else if (name == "http.statustext") {
    if (!Messages() || !Messages()->ReadValue("STATUS", std::to_string(Status), value))
      value = std::to_string(Status);
    return true;
  } else {
    return false;
  }
  if (html_) value = qmsHTMLEscape(value);
  return true;
}

void qmsTHTTPSession::ExtendedLog() {
  if (!Service()->HasExtFile()) return;
  const jvb::DateTime now = jvb::NowLocal();
  char day[16], clock[16];
  snprintf(day, sizeof day, "%04d-%02d-%02d", now.year, now.month, now.day);
  snprintf(clock, sizeof clock, "%02d:%02d:%02d", now.hour, now.minute, now.second);
  if (ext_fields_.size() > 1 && ext_fields_[0] != "x-common") {
    std::string file;
    Group()->Config()->ReadString(file, Service()->Section(), "ExtendedLogFile");
    std::lock_guard<std::mutex> g(ExtHeaderLock());
    jvb::FileInfo info;
    if (!file.empty() && jvb::GetFileInfo(jvb::NativePath(file), info) && info.size == 0) {
      Service()->Extln("#Version: 1.0");
      Service()->Extln("#Fields: " + ext_fields_text_);
      Service()->Extln("#Software: \"Quillmar/32\"");
      Service()->Extln(std::string("#Start-Date: ") + day + " " + clock);
    }
  }
  const unsigned char* o = Socket()->PeerOctets();
  char ip[20];
  snprintf(ip, sizeof ip, "%d.%d.%d.%d", o[0], o[1], o[2], o[3]);
  std::string line;
  for (const std::string& f : ext_fields_) {
    if (!line.empty()) line += ' ';
    if (f == "x-common") {
      char tail[64];
      snprintf(tail, sizeof tail, "[%02d/%s/%04d %02d:%02d:%02d]", now.day,
               jvb::MonthShort(now.month), now.year, now.hour, now.minute, now.second);
      const std::string& host = Socket()->peerHostName;
      line += (host.empty() ? std::string(ip) : host) + " -" +
              (anonymous_user_ || !User() ? std::string(" -") : " " + User()->GetUsername()) + " " +
              tail + " \"" + Request.line + "\" " + std::to_string(Status) + " " +
              std::to_string(ContentLength);
    } else if (f == "c-ip") {
      line += ip;
    } else if (f == "cs-method") {
      line += Request.method;
    } else if (f == "cs-uri") {
      line += Request.uri;
    } else if (f == "sc-status") {
      line += std::to_string(Status);
    } else if (f == "date") {
      line += day;
    } else if (f == "time") {
      line += clock;
    } else if (f == "time-taken" || f == "cached") {
      line += "0";
    } else if (f == "bytes") {
      line += std::to_string(BytesSent);
    } else {
      line += "-";
    }
  }
  // Client text must not break or forge a line of the log.
  Service()->Extln(qmsVisibleText(line));
}
