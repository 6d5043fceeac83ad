// Starting a site personality group: its user database, the account warning and its
// services.
#include <cstring>
#include <set>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/users/scramble.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/trace.h"

namespace {

// Reads a required directory key of GLOBAL, creating the directory when missing.
bool RequiredDirectory(jvbTTextConfig* cfg, const char* key, std::string& dir) {
  if (!cfg->ReadValue("GLOBAL", key, dir)) {
    qmsConLog(std::string("--- GLOBAL/") + key + " not found in " + qmsQuoted(cfg->FileName()));
    return false;
  }
  dir = jvb::NativePath(dir);
  if (!jvb::ForceDirectories(dir)) {
    qmsConLog(std::string("--- GLOBAL/") + key + " not existing and unable to create");
    return false;
  }
  return true;
}

void CreateUserDatabase(qmsTGroup* group) {
  jvbTTextConfig* cfg = group->Config();
  std::string users, stats;
  if (!RequiredDirectory(cfg, "UserDirectory", users)) return;
  if (!RequiredDirectory(cfg, "StatDirectory", stats)) return;
  auto db = std::make_unique<qmsTUserDatabase>(users, stats);
  std::string hook;
  if (cfg->ReadValue("GLOBAL", "hookOnAuthenticate", hook)) {
    qmsConLog("--- GLOBAL/hookOnAuthenticate found, enabling external authentication");
    db->SetAuthHook(jvb::NativePath(hook));
  }
  group->SetUsers(std::move(db));
}

// The words of a section list, separated by blanks, commas or semicolons.
std::vector<std::string> SectionList(const std::string& list) {
  std::vector<std::string> out;
  std::string word;
  for (size_t i = 0; i <= list.size(); ++i) {
    char c = i < list.size() ? list[i] : ' ';
    if (c == ' ' || c == ',' || c == ';' || c == '\t') {
      if (!word.empty()) out.push_back(word.substr(0, 255));
      word.clear();
    } else {
      word += c;
    }
  }
  return out;
}

}  // namespace

bool qmsTApplication::DefaultPasswordWarning(qmsTGroup* group) {
  qmsTUserDatabase* db = group->Users();
  if (!db) return false;
  std::vector<std::string> found;
  for (const char* account : {"admin", "user"}) {
    std::unique_ptr<qmsTUser> user;
    if (!db->FindUser(account, user)) continue;
    std::string builtIn;
    qmsHexDecode(std::strcmp(account, "admin") == 0 ? kQmsDefaultAdminPasswordHex
                                                     : kQmsDefaultUserPasswordHex,
                 builtIn);
    // Compared in scrambled form: no password is unscrambled for this check.
    if (user->GetPassword() == builtIn) found.push_back(account);
  }
  if (found.empty()) return false;
  qmsCon("");
  qmsLog("");
  qmsConLog("=[ CRITICAL SECURITY WARNING ]=========================================");
  for (const auto& a : found)
    qmsConLog("- Default password present for account " + qmsQuoted(a) + "!");
  qmsConLog(std::string(71, '='));
  qmsCon("");
  return true;
}

void qmsTApplication::StartGroup(qmsTGroup* group) {
  jvbTraceScope trace("qmsTApplication.StartGroup");
  jvbTTextConfig* cfg = group->Config();
  if (!jvb::FileExists(cfg->FileName())) {
    qmsConLog("--- Group config file " + qmsQuoted(cfg->FileName()) + " not found");
    return;
  }
  CreateUserDatabase(group);
  std::string groups;
  if (!cfg->ReadValue("GLOBAL", "GroupsDefined", groups)) {
    qmsConLog("--- GLOBAL/GroupsDefined not found in " + qmsQuoted(cfg->FileName()));
    return;
  }
  if (groups.empty()) {
    qmsConLog("--- GLOBAL/GroupsDefined is empty");
    return;
  }
  std::string sections;
  if (!cfg->ReadValue("GLOBAL", "ServiceSections", sections)) {
    qmsConLog("--- GLOBAL/ServiceSections not found in " + qmsQuoted(cfg->FileName()));
    return;
  }
  if (sections.empty()) {
    qmsConLog("--- GLOBAL/ServicesSections is empty");
    return;
  }
  DefaultPasswordWarning(group);
  std::set<std::string> started;
  for (const std::string& section : SectionList(sections)) {
    // Section names are matched without regard to case: one section, one service.
    if (!started.insert(jvb::AsciiLower(section)).second) {
      qmsConLog("--- Service section " + qmsQuoted(section) +
                " listed more than once in GLOBAL/ServiceSections, started once");
      continue;
    }
    qmsServiceStart(group, section);
  }
}
