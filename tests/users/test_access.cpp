// Access rules: packing, the mask matcher, rule order (user file before group file) and
// the effective rights of a user.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/users/access.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "tests/users/usertest.h"
#include "toolbox/textconfig.h"

using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

TEST(AccessPacking, DigitsGoToTheirFieldsWithLimitsComplemented) {
  EXPECT_EQ(Tqms_access::PackDigits("754", "000"), 0xF7F5F4u);
  EXPECT_EQ(Tqms_access::PackDigits("000", "124"), 0xE0D0B0u);
  // Missing digits and non-digits count as 0.
  EXPECT_EQ(Tqms_access::PackDigits("7", ""), 0xF7F0F0u);
  EXPECT_EQ(Tqms_access::PackDigits("7a5", "x"), 0xF7F0F5u);
  // 8 and 9 keep their value; the fourth bit is used by no check.
  EXPECT_EQ(Tqms_access::PackDigits("999", "999"), 0x696969u);
}

TEST(AccessPacking, AccessStringShowsPermissionsOnly) {
  Tqms_access a;
  EXPECT_EQ(a.GetAccessStr(Tqms_access::PackDigits("754", "777")), "rwxr-xr--");
  EXPECT_EQ(a.GetAccessStr(Tqms_access::PackDigits("123", "000")), "--x-w--wx");
  EXPECT_EQ(a.GetAccessStr(Tqms_access::PackDigits("999", "000")), "--x--x--x");
  EXPECT_EQ(a.GetAccessStr(0), "---------");
}

TEST(AccessLines, FieldsAreCutAtSemicolonsOutsideQuotes) {
  auto f = Tqms_access::SplitFields("\"/a;b\";own; grp ;755;000");
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0], "/a;b");
  EXPECT_EQ(f[1], "own");
  EXPECT_EQ(f[2], " grp ");  // blanks belong to the field
  EXPECT_EQ(f[3], "755");
  EXPECT_EQ(f[4], "000");
  f = Tqms_access::SplitFields("/only");
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0], "/only");
  EXPECT_EQ(f[4], "");
}

TEST(AccessMask, MatchesWithoutBacktracking) {
  auto m = &Tqms_access::MaskMatches;
  EXPECT_TRUE(m("*", ""));
  EXPECT_TRUE(m("*", "/any/thing"));
  EXPECT_TRUE(m("/pub/*", "/pub/"));
  EXPECT_TRUE(m("/pub/*", "/pub/x/y.z"));
  EXPECT_FALSE(m("/pub/*", "/pub"));
  EXPECT_TRUE(m("/pub/*.txt", "/pub/a.txt"));
  EXPECT_FALSE(m("/pub/*.txt", "/pub/a.b.txt"));  // no second try at the later "."
  EXPECT_TRUE(m("/PUB/*.TXT", "/pub/A.txt"));
  EXPECT_TRUE(m("/p?b/**x", "/pUb/abcx"));
  EXPECT_FALSE(m("/p?b", "/pb"));
  EXPECT_TRUE(m("/a*?", "/ab"));
  EXPECT_FALSE(m("/a*?", "/a"));
  EXPECT_FALSE(m("/exact", "/exact/more"));
  EXPECT_FALSE(m("/exact/more", "/exact"));
  EXPECT_TRUE(m("", ""));
  EXPECT_FALSE(m("", "/"));
}

TEST(AccessMask, FullLengthsAreCompared) {
  const std::string base = "/" + std::string(300, 'd');
  EXPECT_TRUE(Tqms_access::MaskMatches(base + "/secret", base + "/secret"));
  EXPECT_FALSE(Tqms_access::MaskMatches(base + "/public", base + "/secret"));
  EXPECT_FALSE(Tqms_access::MaskMatches(base, base + "/secret"));
  EXPECT_TRUE(Tqms_access::MaskMatches(base + "/*", base + "/secret"));
}

class AccessTest : public ::testing::Test {
 protected:
  AccessTest() {
    WriteFile(site_ / "group.cfg",
              "[GLOBAL]\nGroupsDefined=users\n\n"
              "[ACCESS]\n"
              "# group rules\n"
              "; mask;owner;group;permissions;limits\n"
              "/pub/*;ftp;Staff;751;000\n"
              "\n"
              "/limits/*;bob;staff;777;124\n"
              "/home/*;nobody;users;700;000\n"
              "[OTHER]\n"
              "/not/*;x;x;777;000\n");
    WriteUser(site_.user("bob"), "Username=Bob\nMemberOfGroups=users\n",
              "[ACCESS]\n/pub/*;bob;private;700;000\n");
    WriteUser(site_.user("carol"), "Username=carol\nMemberOfGroups=Users  STAFF\n");
    WriteUser(site_.user("dave"), "Username=dave\nMemberOfGroups=staff2 \n");
    group_ = std::make_unique<jvbTTextConfig>(site_ / "group.cfg");
  }

  // Rules as a session of the named user sees them.
  std::unique_ptr<qmsTUser> Login(const std::string& name, Tqms_access& access) {
    std::unique_ptr<qmsTUser> user;
    EXPECT_TRUE(db_.FindUser(name, user));
    access.Init(group_.get());
    access.SetUserConfig(&user->Config());
    access.ReadConfig();
    return user;
  }

  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};
  std::unique_ptr<jvbTTextConfig> group_;
};

TEST_F(AccessTest, UserRulesComeBeforeGroupRules) {
  Tqms_access a;
  auto bob = Login("bob", a);
  EXPECT_EQ(a.RuleCount(), 4u);
  EXPECT_EQ(a.GetPathOwner("/pub/x"), "bob");
  EXPECT_EQ(a.GetPathGroup("/pub/x"), "private");
  EXPECT_EQ(a.GetAccessTo("/pub/x", bob.get()) & 0x0F, 7);

  Tqms_access b;
  auto carol = Login("carol", b);
  EXPECT_EQ(b.RuleCount(), 3u);
  EXPECT_EQ(b.GetPathOwner("/pub/x"), "ftp");
  EXPECT_EQ(b.GetAccessStr(b.GetPathAccess("/pub/x")), "rwxr-x--x");
}

TEST_F(AccessTest, GroupMembershipIsComparedInLowerCase) {
  Tqms_access a;
  auto carol = Login("carol", a);
  // Rule group "Staff", member of "STAFF": group rights r-x plus others' x.
  EXPECT_EQ(a.GetAccessTo("/pub/x", carol.get()) & 0x0F, 5);
  Tqms_access b;
  auto dave = Login("dave", b);
  EXPECT_EQ(b.GetAccessTo("/pub/x", dave.get()) & 0x0F, 1);  // "staff2" is another group
}

TEST_F(AccessTest, OwnerIsComparedInLowerCase) {
  Tqms_access a;
  auto bob = Login("bob", a);  // Username "Bob", rule owner "bob"
  EXPECT_EQ(a.GetAccessTo("/limits/f", bob.get()) & 0x0F, 7);
}

TEST_F(AccessTest, LimitsFillTheHighHalf) {
  Tqms_access a;
  auto bob = Login("bob", a);
  auto carol = std::unique_ptr<qmsTUser>();
  ASSERT_TRUE(db_.FindUser("carol", carol));
  // limits 1, 2, 4 for owner, group, others; complemented: E, D, B.
  EXPECT_EQ(a.GetAccessTo("/limits/f", nullptr), 0xB7);
  EXPECT_EQ(a.GetAccessTo("/limits/f", carol.get()), 0xF7);  // others B | group D
  EXPECT_EQ(a.GetAccessTo("/limits/f", bob.get()), 0xF7);    // others B | owner E
}

TEST_F(AccessTest, NoMatchingRuleGivesNoRights) {
  Tqms_access a;
  auto bob = Login("bob", a);
  EXPECT_EQ(a.GetPathOwner("/elsewhere"), "(none)");
  EXPECT_EQ(a.GetPathGroup("/elsewhere"), "(none)");
  EXPECT_EQ(a.GetPathAccess("/elsewhere"), 0u);
  EXPECT_EQ(a.GetAccessStr(a.GetPathAccess("/elsewhere")), "---------");
  EXPECT_EQ(a.GetAccessTo("/elsewhere", bob.get()), 0);
  // Rules of other sections are not access rules.
  EXPECT_EQ(a.GetPathOwner("/not/x"), "(none)");
}

TEST_F(AccessTest, ReadConfigStartsAfresh) {
  Tqms_access a;
  auto bob = Login("bob", a);
  a.ReadConfig();
  EXPECT_EQ(a.RuleCount(), 4u);
  a.Clear();
  EXPECT_EQ(a.GetPathOwner("/pub/x"), "(none)");
}

TEST(AccessWithoutUser, OnlyTheGroupRulesAndOthersRightsApply) {
  TempSite site;
  WriteFile(site / "g.cfg", "[ACCESS]\n/www/*;web;web;774;000\n");
  jvbTTextConfig group(site / "g.cfg");
  Tqms_access a;
  a.Init(&group);
  a.ReadConfig();
  EXPECT_EQ(a.GetAccessTo("/www/index.html", nullptr) & 0x0F, 4);
  // A session whose user was not found and a group without rules: nothing at all.
  Tqms_access none;
  none.Init(nullptr);
  none.ReadConfig();
  EXPECT_EQ(none.GetAccessTo("/www/index.html", nullptr), 0);
}

TEST(AccessLines, MalformedLinesNeverFail) {
  Tqms_access a;
  a.Init(nullptr);
  for (const char* line : {"", "   ", ";", ";;;;;;;;", "\"", "/x;\"a;b", "/y;o;g;7", "*"})
    a.ProcessLine(line);
  EXPECT_EQ(a.RuleCount(), 6u);  // empty and blank lines add nothing
  EXPECT_EQ(a.GetPathOwner("/y"), "o");
  EXPECT_EQ(a.GetAccessStr(a.GetPathAccess("/y")), "rwx------");
}

}  // namespace
