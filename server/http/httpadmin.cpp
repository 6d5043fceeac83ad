#include "server/http/httpadmin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/http/httpcgi.h"
#include "server/http/httpsession.h"
#include "server/users/access.h"
#include "server/users/accountname.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/filesys.h"
#include "toolbox/names.h"
#include "toolbox/netfile.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

const char kLogDirectory[] = "log";
// A POST body of these pages is read up to this size.
constexpr size_t kMaxFormBytes = 64 * 1024;
// The VFS tree shows at most this many directories, this deep.
constexpr int kMaxTreeRows = 500;
constexpr int kMaxTreeDepth = 8;

std::string E(const std::string& text) { return qmsHTMLEscape(text); }

const char* ProtocolName(int protocol) {
  static const char* const kNames[] = {"ADMINd", "FTPd", "HTTPd", "IMAP4d", "POP3d", "SMTPd"};
  return protocol >= 0 && protocol < 6 ? kNames[protocol] : "-";
}

const char* StateName(int state) {
  static const char* const kStates[] = {"Allocating", "Created",  "Running", "Suspending",
                                        "Suspended",  "Stopping", "Leaving", "Released"};
  return state >= 0 && state < 8 ? kStates[state] : "Unknown";
}

std::string Link(const std::string& href, const std::string& text) {
  return "<a href=\"" + E(href) + "\" target=\"Body\">" + text + "</a>";
}

// "rwx" triples of a permission or limit digit string ("755" -> "rwxr-xr-x").
std::string Triples(const std::string& digits, const char* letters) {
  std::string out;
  for (char d : digits.substr(0, 3)) {
    int v = (d >= '0' && d <= '7') ? d - '0' : 0;
    for (int bit = 2; bit >= 0; --bit) out += (v >> bit) & 1 ? letters[2 - bit] : '-';
  }
  return out;
}

std::vector<std::string> FileNames(const std::string& dir, const std::string& mask) {
  std::vector<jvb::DirEntry> entries;
  std::vector<std::string> names;
  jvb::FindFiles(dir, mask, 0, entries);
  for (const auto& e : entries)
    if (!e.name.empty() && e.name[0] != '.') names.push_back(e.name);
  return names;
}

}  // namespace

void qmsTHTTPSession::SendAdmin() {
  jvbTraceScope trace("qmsTHTTPSession.SendAdmin");
  std::string page = qmsTHTTPAdmin(*this).Page();
  ContentType = "text/html; charset=utf-8";
  SendHeader(-1, static_cast<int64_t>(page.size()), 200);
  SendWithBody(page.data(), page.size());
  BytesSent = Request.methodCode == hmHEAD ? 0 : static_cast<int64_t>(page.size());
}

qmsTHTTPAdmin::qmsTHTTPAdmin(qmsTHTTPSession& session) : s_(session) {
  query_ = qmsRawQuery(s_.Request.line);
  // The account form is posted: its fields follow the query's.
  if (s_.Request.methodCode == hmPOST && !s_.body_file_.empty()) {
    int err = 0;
    int fd = jvb::OpenShared(s_.body_file_, jvb::fmReadDenyNone, 1000, &err);
    std::string body;
    if (fd >= 0) {
      if (jvb::ReadAll(fd, body, kMaxFormBytes)) query_ += "&" + body;
      jvb::CloseFile(fd);
    }
  }
}

bool qmsTHTTPAdmin::QueryValue(int n, std::string& value, const std::string& name) const {
  return qmsQueryValue(query_, n, name, value);
}

std::string qmsTHTTPAdmin::Query(const std::string& name) const {
  std::string v;
  QueryValue(0, v, name);
  return v;
}

void qmsTHTTPAdmin::Set(const std::string& name, const std::string& value) {
  s_.Variables().AddValue(name, value);
}

std::string qmsTHTTPAdmin::Expand(const std::string& section) {
  return s_.ReturnFIB(s_.Section(section));
}

std::string qmsTHTTPAdmin::Page() {
  const std::string pg = Query("pg");
  Set("http.header", "");
  Set("http.admindata", "");
  if (pg.empty()) return Expand("ADMIN.FRAMES");
  if (pg == "hd") {
    return std::string("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>") +
           qms::kProductTitle +
           " - Management</title></head><body style=\"margin:0;text-align:center\">"
           "<a href=\"" +
           qms::kHomePageUrl +
           "\" target=\"_top\"><img src=\"/!icon?header400x40-qmsadm.gif\" "
           "width=\"400\" height=\"40\" alt=\"Quillmar/32 management\" "
           "style=\"border:0\"></a></body></html>";
  }
  if (pg == "mn") {
    Set("http.adminmenu", Menu());
    return Expand("ADMIN.MENU");
  }
  if (pg == "sc" || pg == "sl")
    Set("http.header", "<meta http-equiv=\"refresh\" content=\"5;URL=!admin?" + E(query_) + "\">");
  if (pg == "ae") return Body(AccountEditor());
  if (pg == "cg") return Body(ConfigGlobal());
  if (pg == "ca") return Body(ConfigAccess());
  if (pg == "cv") return Body(ConfigVFS());
  if (pg == "cs") return Body(ConfigService());
  if (pg == "lf") return Body(LogFiles());
  if (pg == "sc") return Body(ServiceConnections());
  if (pg == "sl") return Body(ServiceList());
  return Expand("ADMIN.BODY");
}

std::string qmsTHTTPAdmin::Body(const std::string& data) {
  Set("http.admindata", data);
  return Expand("ADMIN.BODY");
}

// ---------------------------------------------------------------------------------------
// Fragments

std::string qmsTHTTPAdmin::H(int level, const std::string& text) {
  char b[8];
  snprintf(b, sizeof b, "h%d>", level);
  return std::string("<") + b + text + "</" + b;
}

std::string qmsTHTTPAdmin::IText(const std::string& name, const std::string& value, int size) {
  return "<input type=\"text\" name=\"" + E(name) + "\" id=\"f-" + E(name) + "\" value=\"" +
         E(value) + "\" size=\"" + std::to_string(size) + "\">";
}

std::string qmsTHTTPAdmin::IHidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + E(name) + "\" value=\"" + E(value) + "\">";
}

std::string qmsTHTTPAdmin::ISelect(const std::string& name, const std::vector<std::string>& items,
                                   const std::string& current) {
  std::string out = "<select name=\"" + E(name) + "\" aria-label=\"" + E(name) + "\">";
  for (const auto& item : items)
    out += "<option value=\"" + E(item) + "\"" + (item == current ? " selected" : "") + ">" +
           E(item) + "</option>";
  return out + "</select>";
}

std::string qmsTHTTPAdmin::TH(const std::vector<std::string>& cells) {
  std::string out = "<tr>";
  for (const auto& c : cells) out += "<th scope=\"col\">" + c + "</th>";
  return out + "</tr>\n";
}

std::string qmsTHTTPAdmin::TD(const std::vector<std::string>& cells) {
  std::string out = "<tr>";
  for (const auto& c : cells) out += "<td>" + (c.empty() ? std::string("&#160;") : c) + "</td>";
  return out + "</tr>\n";
}

// ---------------------------------------------------------------------------------------
// Menu and settings pages

std::string qmsTHTTPAdmin::Menu() {
  std::string m = "<p class=\"group\">GROUP (" + E(s_.Group()->Name()) + ")</p>\n<ul>\n";
  auto item = [&](int level, const std::string& text) {
    m += "<li class=\"l" + std::to_string(level) + "\">" + text + "</li>\n";
  };
  item(0, "CONFIGURATION");
  item(1, Link("!admin?pg=cg", "Global settings"));
  item(1, Link("!admin?pg=cv", "File system"));
  item(1, "Security");
  item(2, Link("!admin?pg=ae", "Accounts"));
  item(2, Link("!admin?pg=ca", "Groups and Object Access"));
  item(1, "Services");
  std::vector<qmsTService*> services = s_.Group()->Services();
  for (qmsTService* sv : services)
    item(2, Link("!admin?pg=cs&gr=" + sv->Section(), E(sv->Section())));
  item(0, "REAL TIME");
  item(1, Link("!admin?pg=sl", "Services"));
  for (qmsTService* sv : services)
    item(2, Link("!admin?pg=sc&gr=" + sv->Section(), E(sv->Section())));
  item(0, "HISTORICAL");
  item(1, Link("!admin?pg=lf", "Log Files"));
  return m + "</ul>\n";
}

std::string qmsTHTTPAdmin::ConfigGlobal() {
  static const char* const kRows[][2] = {{"*Services", "ServiceSections"},
                                         {"*Site admin e-mail", "SiteAdminMail"},
                                         {"*Site administrator", "SiteAdminUser"},
                                         {"*Site description", "SiteDescription"},
                                         {"*Home directory root", "HomeDirectoryRoot"},
                                         {"*User file directory", "UserDirectory"},
                                         {"*Statistics directory", "StatDirectory"},
                                         {"*Groups", "GroupsDefined"}};
  jvbTTextConfig* cfg = s_.Group()->Config();
  std::string out = H(2, "Global settings") + "<form method=\"get\" action=\"!admin\">" +
                    IHidden("pg", "cg") + "<table>\n" + TH({"Setting", "Value"});
  for (const auto& row : kRows) {
    std::string value;
    cfg->ReadValue("GLOBAL", row[1], value);
    out += TD({"<label for=\"f-" + std::string(row[1]) + "\">" + E(row[0]) + "</label>",
               IText(row[1], value, 40)});
  }
  return out +
         "</table><p class=\"buttons\"><input type=\"reset\" value=\"Reset\"> "
         "<input type=\"submit\" value=\"Apply\" disabled></p></form>\n";
}

std::string qmsTHTTPAdmin::ConfigAccess() {
  std::string text, out = H(2, "Access settings") + H(3, "*Access list") + "<table>\n" +
                          TH({"Path mask", "Owner", "Group", "Access", "Limits"});
  s_.Group()->Config()->ReadSectionText("ACCESS", text);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> f = Tqms_access::SplitFields(line);
    if (line.empty() || line[0] == ';' || f.size() < 5) continue;
    out += TD({"<code>" + Link("!admin?pg=ca&pm=" + f[0], E(f[0])) + "</code>", E(f[1]), E(f[2]),
               "<code>" + Triples(f[3], "rwx") + "</code>",
               "<code>" + Triples(f[4], "dlx") + "</code>"});
  }
  return out + "</table>\n";
}

std::string qmsTHTTPAdmin::ConfigVFS() {
  std::string out =
      H(2, "VFS settings") + H(3, "*VFS links") + "<table>\n" + TH({"Virtual path", "Real path"});
  for (const auto& kv : s_.Group()->Config()->SectionKeys("VFS"))
    out += TD({E(kv.first), E(kv.second)});
  out += "</table>\n" + H(3, "VFS tree") + "<table>\n" + TH({"Virtual path", "Real path"});
  std::string rows;
  int count = 0;
  jvbTFileSys& fs = s_.FileSys();
  fs.SetRoot("/");
  VFSTree("/", 0, rows, count);
  if (!fs.SetRoot(s_.root_)) fs.SetRoot("/");
  return out + rows + "</table>\n";
}

void qmsTHTTPAdmin::VFSTree(const std::string& path, int depth, std::string& rows, int& count) {
  jvbTFileSys& fs = s_.FileSys();
  rows += TD({E(path), E(fs.RealDirectory(path))});
  if (++count >= kMaxTreeRows || depth >= kMaxTreeDepth) return;
  std::vector<std::string> dirs;
  jvbTFSFind find;
  const std::string base = path == "/" ? std::string() : path;
  if (fs.FindFirst(base + "/*", 0x1037, find) == 0) {
    do {
      const jvbTFSFindItem* it = find.Current();
      if (it && (it->attr & 0x10) && it->name != "." && it->name != "..") dirs.push_back(it->name);
    } while (fs.FindNext(find) == 0);
  }
  fs.FindClose(find);
  for (const auto& d : dirs) {
    if (count >= kMaxTreeRows) return;
    VFSTree(base + "/" + d, depth + 1, rows, count);
  }
}

qmsTService* qmsTHTTPAdmin::FindService(const std::string& section) {
  for (qmsTService* sv : s_.Group()->Services())
    if (jvb::EqualNoCase(sv->Section(), section)) return sv;
  return nullptr;
}

std::string qmsTHTTPAdmin::ConfigService() {
  static const char* const kKeys[] = {"Address",   "Port", "Protocol", "ClientAddress",
                                      "DebugFlag", "Host", "LogFlag",  "Timeout"};
  qmsTService* sv = FindService(Query("gr"));
  if (!sv) return H(2, "Service settings") + "<p>No such service.</p>";
  std::string form = "<form method=\"get\" action=\"!admin\">" + IHidden("pg", "cs") +
                     IHidden("gr", sv->Section()) + "<table>\n" + TH({"Setting", "Value"});
  for (const char* key : kKeys) {
    std::string value;
    s_.Group()->Config()->ReadValue(sv->Section(), key, value);
    form += TD(
        {"<label for=\"f-" + std::string(key) + "\">*" + key + "</label>", IText(key, value, 40)});
  }
  form += "</table></form>\n";
  Set("http.service", E(sv->Section()));
  Set("http.serviceform", form);
  return Expand("ADMIN.CS");
}

// ---------------------------------------------------------------------------------------
// Log files

std::string qmsTHTTPAdmin::LogFiles() {
  const std::vector<std::string> logs = FileNames(kLogDirectory, "*.log");
  const std::string fn = Query("fn");
  int32_t kb = 4;
  jvbTTextConfig::ParseInteger(Query("lb"), kb);
  const int64_t want = std::min<int64_t>(std::max<int64_t>(int64_t{kb} * 1024, 2048), 32768);
  Set("http.logform",
      "<form method=\"get\" action=\"!admin\">" + IHidden("pg", "lf") + ISelect("fn", logs, fn) +
          " to <input type=\"submit\" value=\"View\"> last " +
          ISelect("lb", {"4", "8", "16", "32"}, std::to_string(kb)) + " kBytes.</form>");
  std::string data;
  bool listed = false;
  for (const auto& l : logs) listed = listed || l == fn;
  if (!fn.empty() && !listed) {
    data = "The log file " + E(fn) + " is not one of the listed files.";
  } else if (listed) {
    int err = 0;
    struct stat st {};
    int fd = jvb::OpenShared(std::string(kLogDirectory) + "/" + fn, jvb::fmReadDenyNone, 1000, &err,
                             &st);
    if (fd >= 0) {
      const int64_t from = std::max<int64_t>(0, st.st_size - want);
      std::string text(static_cast<size_t>(st.st_size - from), '\0');
      ssize_t got = ::pread(fd, text.data(), text.size(), from);
      jvb::CloseFile(fd);
      text.resize(got > 0 ? static_cast<size_t>(got) : 0);
      if (from > 0)
        text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
      std::string lines;
      for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines += line + "\r\n";
        pos = nl == std::string::npos ? text.size() : nl + 1;
      }
      data = E(lines);
    }
  }
  Set("http.logdata", data);
  return Expand("ADMIN.LF");
}

// ---------------------------------------------------------------------------------------
// Live lists

std::string qmsTHTTPAdmin::ServiceConnections() {
  qmsTService* sv = FindService(Query("gr"));
  if (!sv) return H(2, "Connections") + "<p>No such service.</p>";
  std::string address;
  s_.Group()->Config()->ReadValue(sv->Section(), "Address", address);
  Set("http.service", E(sv->Section()));
  Set("http.serviceaddress", E(address.empty() ? "*" : address));
  Set("http.serviceport", std::to_string(sv->Port()));
  Set("http.serviceprotocol", ProtocolName(sv->Protocol()));
  std::string out = Expand("ADMIN.SC.HEADER");
  const std::string item = s_.Section("ADMIN.SC.ITEM");
  for (const std::string& key : sv->ActiveKeys()) {
    std::vector<std::pair<std::string, std::string>> vars;
    sv->WithSession(key, [&](qmsTSession& x) {
      char b[64];
      snprintf(b, sizeof b, "%4lx", static_cast<long>(x.threadId.load()));
      vars.emplace_back("http.itemsession", b);
      vars.emplace_back("http.itemsocket", std::to_string(x.socketHandle.load()));
      int64_t up, idle;
      {
        std::lock_guard<std::mutex> g(x.timerLock);
        up = x.connectTimer.ElapsedMs() / 1000;
        idle = x.idleTimer.ElapsedMs() / 1000;
      }
      time_t since = time(nullptr) - static_cast<time_t>(up);
      struct tm t {};
      localtime_r(&since, &t);
      strftime(b, sizeof b, "%H:%M:%S", &t);
      vars.emplace_back("http.itemconnected", b);
      vars.emplace_back("http.itemidle", std::to_string(idle));
      const std::string host = x.ListedHost(), address = x.ListedAddress();
      vars.emplace_back("http.itemhostname", E(host.empty() ? std::string("-") : host));
      vars.emplace_back("http.itemhostaddress", E(address.empty() ? std::string("-") : address));
      const std::string user = x.ListedUser();
      vars.emplace_back("http.itemusername", E(user.empty() ? std::string("-") : user));
      vars.emplace_back("http.itemstatus", "-");
      vars.emplace_back("http.itemobject", "-");
    });
    if (vars.empty()) continue;
    for (const auto& v : vars) Set(v.first, v.second);
    out += s_.ReturnFIB(item);
  }
  return out + Expand("ADMIN.SC.FOOTER");
}

std::string qmsTHTTPAdmin::ServiceList() {
  std::string out = Expand("ADMIN.SL.HEADER");
  const std::string item = s_.Section("ADMIN.SL.ITEM");
  for (qmsTGroup* g : s_.Group()->Application()->Groups()) {
    for (qmsTService* sv : g->Services()) {
      std::string address;
      if (sv->Group() && sv->Group()->Config())
        sv->Group()->Config()->ReadValue(sv->Section(), "Address", address);
      char tid[32];
      snprintf(tid, sizeof tid, "%4lx", static_cast<long>(sv->CreatorThread()));
      Set("http.itemservice", E(g->Name() + "/" + sv->Section()));
      Set("http.itemaddress", E(address.empty() ? "*" : address));
      Set("http.itemport", std::to_string(sv->Port()));
      Set("http.itemprotocol", ProtocolName(sv->Protocol()));
      Set("http.itemtid", tid);
      Set("http.itemstatus", StateName(sv->state.load()));
      Set("http.itemsessions", std::to_string(sv->ActiveCount()));
      Set("http.itempoolsize", std::to_string(sv->PoolCount()));
      size_t cached = 0;
      int64_t bytes = 0;
      sv->Cache().Figures(cached, bytes);
      Set("http.itemcachecount", std::to_string(cached));
      Set("http.itemcachesize", std::to_string(bytes));
      out += s_.ReturnFIB(item);
    }
  }
  return out + Expand("ADMIN.SL.FOOTER");
}
