// Tqms_access: what a logged-in user may do with a path of the server's file space.
//
// Rules are the lines of the "ACCESS" sections of the user's file (first) and of the
// group's configuration (after them), each
//
//     mask;owner;group;permissions;limits
//
// with three permission digits and three limit digits for owner, group and others. The
// first rule whose mask matches a path decides owner, group and access word alike.
//
// Masks match without regard to case: "?" one character, "*" any run of characters. A
// "*" followed by more mask text stops at the first occurrence of the next mask
// character and does not try later ones, so "/pub/*.txt" matches "/pub/a.txt" but not
// "/pub/a.b.txt". Mask and path are compared over their full lengths.
//
// Packed access word, one byte per class (others bits 0-7, group 8-15, owner 16-23):
// low half the permission digit (4 read, 2 write, 1 execute), high half the limit digit
// complemented (limit xor 15), so a limit digit 0 restricts nothing.
//
// One object belongs to one session. The configurations are not owned and must outlive
// it; the rules are read once per login (ReadConfig) and not refreshed afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class jvbTTextConfig;
class qmsTUser;

// One rule of an ACCESS section.
struct Tqms_accbuf {
  std::string owner;    // owner account name as written
  std::string group;    // group name as written
  uint32_t access = 0;  // packed access word
};

class Tqms_access {
 public:
  Tqms_access();
  ~Tqms_access();
  Tqms_access(const Tqms_access&) = delete;
  Tqms_access& operator=(const Tqms_access&) = delete;

  void Init(jvbTTextConfig* groupConfig);
  // The logged-in user's file; set after a successful FindUser, before ReadConfig.
  void SetUserConfig(jvbTTextConfig* userConfig) { user_config_ = userConfig; }
  void Clear();
  void Done();
  void ReadConfig();
  void ProcessLine(const std::string& line);

  std::string GetPathOwner(const std::string& path);
  std::string GetPathGroup(const std::string& path);
  uint32_t GetPathAccess(const std::string& path);
  // "rwxr-x---" style: owner, group, others; limits are not shown.
  std::string GetAccessStr(uint32_t access);
  // Rights of user on path: low half read 4 / write 2 / execute 1, high half the
  // complemented limit bits. user may be null (no one logged in): others' rights only.
  uint8_t GetAccessTo(const std::string& path, qmsTUser* user);

  size_t RuleCount() const { return rules_.size(); }

  // Pure helpers, exposed for tests.
  static bool MaskMatches(const std::string& mask, const std::string& path);
  static uint32_t PackDigits(const std::string& permissions, const std::string& limits);
  static std::vector<std::string> SplitFields(const std::string& line);

 private:
  struct Rule {
    std::string mask;
    Tqms_accbuf buf;
  };
  const Rule* FindRule(const std::string& path) const;
  void ReadSection(jvbTTextConfig* config);

  jvbTTextConfig* group_config_ = nullptr;
  jvbTTextConfig* user_config_ = nullptr;
  std::vector<Rule> rules_;
};
