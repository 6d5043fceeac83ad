// The account editor of the administration pages.
#include "server/core/group.h"
#include "server/http/httpadmin.h"
#include "server/http/httpsession.h"
#include "server/users/accountname.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

std::string E(const std::string& text) { return qmsHTMLEscape(text); }

std::string Label(const std::string& key, const std::string& text) {
  return "<label for=\"f-" + E(key) + "\">" + E(text) + "</label>";
}

std::string Item(const std::string& text) { return "<li>" + text + "</li>\n"; }

std::string Password(const std::string& name, int n) {
  return "<input type=\"password\" name=\"" + name + "\" id=\"f-" + name + std::to_string(n) +
         "\" autocomplete=\"new-password\" aria-label=\"" +
         (n == 0 ? std::string("Password") : std::string("Password again")) + "\">";
}

}  // namespace

// Changes come only from this page's own form, posted: never from a link or a GET that
// another page could make a signed-in browser send.
bool qmsTHTTPAdmin::ChangeAllowed() const {
  if (s_.Request.methodCode != hmPOST) return false;
  const std::string* origin = s_.Request.Header("ORIGIN");
  const std::string* host = s_.Request.Header("HOST");
  if (!origin || *origin == "null") return origin == nullptr;
  const std::string o = jvb::AsciiLower(*origin);
  return host &&
         (o == "http://" + jvb::AsciiLower(*host) || o == "https://" + jvb::AsciiLower(*host));
}

std::string qmsTHTTPAdmin::AccountEditor() {
  qmsTUserDatabase* db = s_.Group()->Users();
  const std::string dir = db ? db->UserDirectory() : std::string();
  std::vector<jvb::DirEntry> entries;
  std::vector<std::string> users;
  jvb::FindFiles(dir, "*", 0, entries);
  for (const auto& e : entries)
    if (qmsValidAccountName(e.name) && e.name.find('.') == std::string::npos)
      users.push_back(e.name);
  std::string us = Query("us");
  std::string out = H(2, "Account editor") + "<form method=\"get\" action=\"!admin\">Select user " +
                    IHidden("pg", "ae") + ISelect("us", users, us) +
                    " to <input type=\"submit\" value=\"View\"></form>\n";
  if (!db || !qmsValidAccountName(us) || !jvb::FileExists(dir + "/" + us)) return out;
  std::string file = dir + "/" + us;
  const std::string bt = Query("bt");
  if ((bt == "Apply" || bt == "Save as new") && ChangeAllowed()) {
    out += H(2, "Updating account") + "<ul>\n" + UpdateAccount(us, file) + "</ul>\n";
    us = file.substr(file.rfind('/') + 1);
  } else if (!bt.empty()) {
    out += H(2, "Updating account") + "<p>Changes are made only through this page's form.</p>\n";
  }
  return out + AccountRecord(us, file) + AccountStatistics(us);
}

// Applies the form to the user file; file becomes the file that holds the account now.
std::string qmsTHTTPAdmin::UpdateAccount(const std::string& user, std::string& file) {
  std::string list;
  const bool copy = Query("bt") == "Save as new";
  std::string name;
  if (QueryValue(0, name, "Username") && !name.empty() && name != user) {
    const std::string lower = jvb::AsciiLower(name);
    const std::string target = file.substr(0, file.rfind('/') + 1) + lower;
    bool ok = qmsValidAccountName(lower) && lower.find('.') == std::string::npos &&
              !jvb::FileExists(target);
    if (ok && copy) {
      const std::string staging = target + ".new";
      ok = jvb::CopyFileAtomic(file, staging) && jvb::RenameNoReplace(staging, target);
      jvb::DeleteFile(staging);
    } else if (ok) {
      ok = jvb::RenameNoReplace(file, target);
    }
    if (ok) {
      file = target;
      jvbTTextConfig(file).WriteString("USER", "Username", name);
      list += Item("Changed Username");
    } else {
      list += Item(copy ? "Unable create user" : "Unable to change Username");
      return list;
    }
  }
  static const char* const kKeys[][2] = {{"Fullname", "Changed Fullname"},
                                         {"Aliases", "Changed Aliases"},
                                         {"RootDirectory", "Changed Root directory"},
                                         {"LoginDirectory", "Changed Login directory"},
                                         {"MaxBandwidth", "Changed Max bandwidth"},
                                         {"ClientAddress", "Changed Client address"}};
  for (const auto& k : kKeys)
    if (UpdateConfig(k[0], "USER", file)) list += Item(k[1]);
  std::string p1, p2;
  if (QueryValue(0, p1, "Password") && QueryValue(1, p2, "Password") && !p1.empty() && p1 == p2) {
    jvbTTextConfig(file).WriteString("USER", "Password", "-" + p1);
    list += Item("Changed Password");
  }
  return list;
}

bool qmsTHTTPAdmin::UpdateConfig(const std::string& key, const std::string& section,
                                 const std::string& file) {
  std::string value, current;
  if (!QueryValue(0, value, key)) return false;
  jvbTTextConfig cfg(file);
  if (!cfg.ReadValue(section, key, current) || current == value) return false;
  return cfg.WriteString(section, key, value);
}

std::string qmsTHTTPAdmin::AccountRecord(const std::string& user, const std::string& file) {
  jvbTTextConfig cfg(file);
  auto value = [&](const char* key) {
    std::string v;
    cfg.ReadValue("USER", key, v);
    return v;
  };
  auto flag = [&](const char* key) { return value(key) == "1"; };
  std::string out = H(2, "Account record") +
                    "<form method=\"post\" action=\"!admin?pg=ae&amp;us=" + E(user) +
                    "\">\n<table>\n" + TH({"Setting", "Value"});
  for (const char* key : {"Username", "Fullname", "Aliases"})
    out += TD({Label(key, key), IText(key, value(key), 40)});
  out +=
      TD({Label("Password0", "Password"), Password("Password", 0) + " " + Password("Password", 1)});
  out += TD({"*User flags", std::string("<label><input type=\"checkbox\" name=\"ChangePassword\"") +
                                (flag("ChangePassword") ? " checked" : "") +
                                "> Allow password change</label>"});
  const int type = flag("Administrator") ? 2 : flag("Anonymous") ? 1 : 0;
  std::string radios;
  const char* const kTypes[] = {"Normal user", "Anonymous user", "Administrative user"};
  for (int i = 0; i < 3; ++i)
    radios += "<label><input type=\"radio\" name=\"UserType\" value=\"" + std::to_string(i) + "\"" +
              (i == type ? " checked" : "") + "> " + kTypes[i] + "</label> ";
  out += TD(
      {"*User type", "<fieldset><legend class=\"sr\">User type</legend>" + radios + "</fieldset>"});
  static const char* const kRows[][2] = {{"RootDirectory", "Root directory"},
                                         {"LoginDirectory", "Login directory"},
                                         {"ClientAddress", "Client address"}};
  for (const auto& r : kRows) out += TD({Label(r[0], r[1]), IText(r[0], value(r[0]), 40)});
  out += TD({Label("MaxBandwidth", "Max bandwidth"),
             IText("MaxBandwidth", value("MaxBandwidth"), 8) + " kB/s"});
  return out +
         "</table>\n<p class=\"buttons\"><input type=\"reset\" value=\"Reset\"> "
         "<input type=\"submit\" name=\"bt\" value=\"Apply\"> "
         "<input type=\"submit\" name=\"bt\" value=\"Save as new\"></p></form>\n";
}

std::string qmsTHTTPAdmin::AccountStatistics(const std::string& user) {
  std::unique_ptr<qmsTUser> u;
  qmsTUserDatabase* db = s_.Group()->Users();
  std::string out = H(2, "Account statistics") + "<table>\n" + TH({"Statistic", "Value"});
  if (!db || !db->FindUser(user, u) || !u->OpenStat()) return out + "</table>\n";
  const Tqms_user& st = u->Stat();
  static const std::pair<const char*, Tqms_user::Counter> kRows[] = {
      {"Files sent (FTP)", Tqms_user::ftpSent},
      {"KBytes sent (FTP)", Tqms_user::ftpSentKB},
      {"Files received (FTP)", Tqms_user::ftpRecv},
      {"KBytes received (FTP)", Tqms_user::ftpRecvKB},
      {"Send speed (FTP)", Tqms_user::ftpSentRate},
      {"Received speed (FTP)", Tqms_user::ftpRecvRate},
      {"Messages received (SMTP)", Tqms_user::smtpRecv},
      {"KBytes received (SMTP)", Tqms_user::smtpRecvKB}};
  for (const auto& r : kRows) out += TD({r.first, std::to_string(st.Get(r.second))});
  u->CloseStat();
  return out +
         "</table>\n<p class=\"buttons\"><button type=\"button\" disabled>*Reset "
         "statistics</button></p>\n";
}
