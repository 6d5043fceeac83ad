// Finding accounts: names, aliases, the "Username" check, names that must never become
// file names, and reading settings straight from the user file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "server/users/accountname.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "tests/users/usertest.h"

using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

class UserDatabaseTest : public ::testing::Test {
 protected:
  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};

  std::string Found(const std::string& name) {
    std::unique_ptr<qmsTUser> user;
    if (!db_.FindUser(name, user)) return "<none>";
    return user->GetUsername();
  }
};

TEST_F(UserDatabaseTest, NameIsFoundWithoutRegardToCaseButUsernameMustMatch) {
  WriteUser(site_.user("bob"), "Username=Bob\n");
  WriteUser(site_.user("fred"), "Username=robert\n");
  WriteUser(site_.user("nokey"), "Fullname=No Username\n");
  EXPECT_EQ(Found("BOB"), "Bob");
  EXPECT_EQ(Found("bob"), "Bob");
  // The file exists but belongs to nobody of that name: not an account.
  EXPECT_EQ(Found("fred"), "<none>");
  EXPECT_EQ(Found("nokey"), "<none>");
  EXPECT_EQ(Found("nobody"), "<none>");
}

TEST_F(UserDatabaseTest, AliasesLeadToTheOwningAccount) {
  WriteUser(site_.user("robert"), "Username=robert\nAliases=rob \"bobby\" r.b\n");
  WriteUser(site_.user("zed"), "Username=zed\n");
  EXPECT_EQ(Found("Bobby"), "robert");
  EXPECT_EQ(Found("R.B"), "robert");

  std::string name = "BOBBY";
  EXPECT_TRUE(db_.FindAlias(name));
  EXPECT_EQ(name, "robert");
  name = "unknown";
  EXPECT_FALSE(db_.FindAlias(name));
  EXPECT_EQ(name, "unknown");
}

TEST_F(UserDatabaseTest, AnExistingFileOfTheNameIsNotPassedOverForAnAlias) {
  WriteUser(site_.user("bob"), "Username=robert\n");
  WriteUser(site_.user("robert"), "Username=robert\nAliases=bob\n");
  EXPECT_EQ(Found("bob"), "<none>");
}

TEST_F(UserDatabaseTest, DirectoryOrderDecidesBetweenTwoFilesWithTheSameAlias) {
  WriteUser(site_.user("beta"), "Username=beta\nAliases=shared\n");
  WriteUser(site_.user("alpha"), "Username=alpha\nAliases=shared\n");
  EXPECT_EQ(Found("shared"), "alpha");
}

TEST_F(UserDatabaseTest, BackupsAndDotFilesAreNeverTakenForAliases) {
  // "bob" dropped the alias; its backup still lists it under bob's name.
  WriteUser(site_.user("bob"), "Username=bob\nAliases=\n");
  WriteUser(site_.user("bob.bak"), "Username=bob\nAliases=robby\n");
  WriteUser(site_.user(".hidden"), "Username=.hidden\nAliases=robby\n");
  EXPECT_EQ(Found("robby"), "<none>");
  // The search goes on past the backup to a real account listing the alias.
  WriteUser(site_.user("zed"), "Username=zed\nAliases=robby\n");
  EXPECT_EQ(Found("robby"), "zed");
  EXPECT_TRUE(db_.IsAccountFile("bob"));
  EXPECT_FALSE(db_.IsAccountFile("bob.bak"));
  EXPECT_FALSE(db_.IsAccountFile(".hidden"));
}

TEST_F(UserDatabaseTest, FilesWithUpperCaseNamesAreNotAccounts) {
  // A name that is not lower case can never be found by name, so an alias must not lead
  // to it (nor loop between alias search and name search).
  WriteUser(site_.user("Carl"), "Username=Carl\nAliases=carl charlie\n");
  EXPECT_EQ(Found("charlie"), "<none>");
  EXPECT_EQ(Found("carl"), "<none>");
}

TEST(AccountName, RulesForNamesThatBecomeFileNames) {
  EXPECT_TRUE(qmsValidAccountName("bob"));
  EXPECT_TRUE(qmsValidAccountName("john.doe"));
  EXPECT_TRUE(qmsValidAccountName(std::string(64, 'a')));
  EXPECT_TRUE(qmsValidAccountName("b"));
  for (const std::string& bad :
       {std::string(), std::string(65, 'a'), std::string("."), std::string(".."),
        std::string(".bob"), std::string("../bob"), std::string("a/b"), std::string("/etc/passwd"),
        std::string("a\\b"), std::string("c:bob"), std::string("bo\x01") + "b",
        std::string("bob\x7f"), std::string("bo\nb"), std::string("bob\0x", 5)}) {
    EXPECT_FALSE(qmsValidAccountName(bad)) << "accepted: " << bad;
  }
}

TEST_F(UserDatabaseTest, NamesNeverReachOutsideTheUserDirectory) {
  // A file one level up that would pass the Username check if the name were used as a path.
  WriteUser(site_ / "outside", "Username=../outside\nAliases=x\n");
  WriteUser(site_.user("x"), "Username=../outside\n");
  for (const char* raw :
       {"../outside", "..", ".", "/etc/passwd", "..\\outside", "users/../outside", ""}) {
    const std::string name = raw;
    EXPECT_EQ(Found(name), "<none>") << name;
    std::string alias = name;
    EXPECT_FALSE(db_.FindAlias(alias)) << name;
    EXPECT_EQ(alias, name);
  }
  EXPECT_EQ(Found(std::string("bob\0../outside", 14)), "<none>");
}

TEST_F(UserDatabaseTest, OnlyRegularFilesAreUserFiles) {
  std::filesystem::create_directories(site_.user("carol"));
  ASSERT_EQ(::mkfifo(site_.user("dave").c_str(), 0600), 0);
  WriteUser(site_.user("erin"), "Username=erin\nAliases=carol dave\n");
  // A directory or FIFO under the requested name is no user file: the alias search goes
  // on (and never blocks on the FIFO).
  EXPECT_EQ(Found("carol"), "erin");
  EXPECT_EQ(Found("dave"), "erin");
}

TEST_F(UserDatabaseTest, GettersReadTheFileOnEveryCall) {
  WriteUser(site_.user("bob"), "Username=bob\nFullname=Bob One\nAdministrator=0\n");
  std::unique_ptr<qmsTUser> user;
  ASSERT_TRUE(db_.FindUser("bob", user));
  EXPECT_EQ(user->GetFullname(), "Bob One");
  EXPECT_FALSE(user->GetAdministrator());
  WriteUser(site_.user("bob"),
            "Username=bob\nFullname=Robert Two\nAdministrator=1\nMaxBandwidth=4096\n");
  EXPECT_EQ(user->GetFullname(), "Robert Two");
  EXPECT_TRUE(user->GetAdministrator());
  EXPECT_EQ(user->GetMaxBandwidth(), 4096);
}

TEST_F(UserDatabaseTest, EverySettingHasItsKey) {
  WriteUser(site_.user("bob"),
            "Username=Bob\nFullname=Bob B\nAliases=b1 b2\nMemberOfGroups=staff users\n"
            "APOPSecret=s3cr3t\nRootDirectory=/home/bob\nLoginDirectory=/in\n"
            "ClientAddress=127.0.0.*\nChangePassword=1\nAnonymous=0\nAdministrator=1\n"
            "MaxBandwidth=12\n");
  std::unique_ptr<qmsTUser> u;
  ASSERT_TRUE(db_.FindUser("bob", u));
  EXPECT_EQ(u->GetUsername(), "Bob");
  EXPECT_EQ(u->GetFullname(), "Bob B");
  EXPECT_EQ(u->GetAliases(), "b1 b2");
  EXPECT_EQ(u->GetGroups(), "staff users");
  EXPECT_EQ(u->GetAPOPSecret(), "s3cr3t");
  EXPECT_EQ(u->GetRootDirectory(), "/home/bob");
  EXPECT_EQ(u->GetLoginDirectory(), "/in");
  EXPECT_EQ(u->GetClientAddress(), "127.0.0.*");
  EXPECT_TRUE(u->GetChangePassword());
  EXPECT_FALSE(u->GetAnonymous());
  EXPECT_TRUE(u->GetAdministrator());
  EXPECT_EQ(u->GetMaxBandwidth(), 12);
}

TEST_F(UserDatabaseTest, MissingOrOddValuesGiveTheDefaults) {
  WriteUser(site_.user("min"),
            "Username=min\nChangePassword=2\nAnonymous=yes\n"
            "Administrator=\nMaxBandwidth=lots\n");
  std::unique_ptr<qmsTUser> u;
  ASSERT_TRUE(db_.FindUser("min", u));
  EXPECT_EQ(u->GetFullname(), "");
  EXPECT_EQ(u->GetAliases(), "");
  EXPECT_EQ(u->GetGroups(), "");
  EXPECT_FALSE(u->GetChangePassword());  // only exactly 1 counts
  EXPECT_FALSE(u->GetAnonymous());
  EXPECT_FALSE(u->GetAdministrator());
  EXPECT_EQ(u->GetMaxBandwidth(), 0);
  EXPECT_EQ(u->GetPassword(), "");
  EXPECT_FALSE(u->DenyService("FTP"));
  EXPECT_EQ(u->ForwardTo("SMTP"), "");
}

TEST_F(UserDatabaseTest, DenyServiceAndForwardToArePerServiceSection) {
  WriteUser(site_.user("bob"), "Username=bob\n",
            "[FTP]\nDenyService=1\n[POP3]\nDenyService=0\n[SMTP]\nForwardTo=bob@example.org\n");
  std::unique_ptr<qmsTUser> u;
  ASSERT_TRUE(db_.FindUser("bob", u));
  EXPECT_TRUE(u->DenyService("FTP"));
  EXPECT_TRUE(u->DenyService("ftp"));  // sections are found without regard to case
  EXPECT_FALSE(u->DenyService("POP3"));
  EXPECT_FALSE(u->DenyService("IMAP4"));
  EXPECT_EQ(u->ForwardTo("SMTP"), "bob@example.org");
  EXPECT_EQ(u->ForwardTo("FTP"), "");
}

TEST_F(UserDatabaseTest, GarbageUserFilesNeverCrash) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  WriteFile(site_.user("junk"), junk);
  WriteFile(site_.user("half"), "[USER\nUsername\n=bob\n[[[\n;;;\nPassword=-");
  WriteFile(site_.user("empty"), "");
  EXPECT_EQ(Found("junk"), "<none>");
  EXPECT_EQ(Found("half"), "<none>");
  EXPECT_EQ(Found("empty"), "<none>");
  std::string alias = "whatever";
  EXPECT_FALSE(db_.FindAlias(alias));
}

TEST(UserDatabaseMissing, AMissingUserDirectoryFindsNobody) {
  qmsTUserDatabase db("/tmp/qms-no-such-directory/users", "/tmp/qms-no-such-directory/stat");
  std::unique_ptr<qmsTUser> u;
  EXPECT_FALSE(db.FindUser("bob", u));
  std::string alias = "bob";
  EXPECT_FALSE(db.FindAlias(alias));
}

}  // namespace
