// Passwords: the scrambling and its hexadecimal form, the shipped defaults, the "-"
// plain-text form, the stored-password check with its failure delay, and the trace.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/users/scramble.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "tests/users/usertest.h"
#include "toolbox/platform.h"
#include "toolbox/trace.h"

using userstest::Exists;
using userstest::Mode;
using userstest::ReadFile;
using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

const std::string kSourceDir =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();

std::string Hex(const std::string& plain) { return qmsHexEncode(qmsScramble(plain)); }

TEST(Scramble, IsItsOwnInverseAndDependsOnThePosition) {
  std::string all;
  for (int i = 0; i < 300; ++i) all += static_cast<char>(i & 0xFF);
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 127u, 300u}) {
    const std::string plain = all.substr(0, n);
    EXPECT_EQ(qmsScramble(qmsScramble(plain)), plain) << n;
  }
  // The same letter scrambles differently at different places, and the stream is not empty.
  const std::string s = qmsScramble("aaaaaaaaaaaaaaaa");
  EXPECT_NE(s, "aaaaaaaaaaaaaaaa");
  EXPECT_NE(s.substr(0, 8), s.substr(8, 8));
  // A prefix scrambles to a prefix: the stream depends on the position only.
  EXPECT_EQ(qmsScramble("secret").substr(0, 3), qmsScramble("sec"));
}

TEST(Scramble, HexFormIsUpperCaseAndDecodesEitherCase) {
  EXPECT_EQ(qmsHexEncode(std::string("\x00\x1f\xab\xff", 4)), "001FABFF");
  std::string out;
  ASSERT_TRUE(qmsHexDecode("001fAbFF", out));
  EXPECT_EQ(out, std::string("\x00\x1f\xab\xff", 4));
  ASSERT_TRUE(qmsHexDecode("ABC", out));  // a lone last digit is no byte
  EXPECT_EQ(out, "\xab");
  EXPECT_FALSE(qmsHexDecode("12G4", out));
  EXPECT_TRUE(out.empty());
  // Only the first 255 digits count: at most 127 bytes.
  ASSERT_TRUE(qmsHexDecode(std::string(400, 'A'), out));
  EXPECT_EQ(out, std::string(127, '\xaa'));
  ASSERT_TRUE(qmsHexDecode(std::string(255, 'A') + "zz", out));
  EXPECT_EQ(out.size(), 127u);
}

TEST(DefaultPasswords, BuiltInValuesAreTheScrambledShippedDefaults) {
  EXPECT_EQ(Hex("QuillmarAdmin"), kQmsDefaultAdminPasswordHex);
  EXPECT_EQ(Hex("QmsUser1"), kQmsDefaultUserPasswordHex);
  EXPECT_EQ(qmsDefaultPassword("ADMIN"), qmsScramble("QuillmarAdmin"));
  EXPECT_EQ(qmsDefaultPassword("user"), qmsScramble("QmsUser1"));
  EXPECT_EQ(qmsDefaultPassword("anonymous"), "");
}

TEST(DefaultPasswords, ShippedUserFilesHoldTheDocumentedDefaults) {
  TempSite site;
  const std::string shipped = kSourceDir + "/documentation/config/default/users";
  for (const char* name : {"admin", "user", "anonymous"}) {
    ASSERT_TRUE(Exists(shipped + "/" + name)) << name;
    std::filesystem::copy_file(shipped + "/" + name, site.user(name));
  }
  qmsTUserDatabase db(site.users(), site.stat());
  std::vector<int> delays;
  db.SetFailDelayProc([&](int ms) { delays.push_back(ms); });
  std::unique_ptr<qmsTUser> admin, user, anon;
  ASSERT_TRUE(db.FindUser("postmaster", admin));  // delivery reports reach the admin
  ASSERT_TRUE(db.FindUser("user", user));
  ASSERT_TRUE(db.FindUser("anonymous", anon));
  EXPECT_EQ(admin->GetUsername(), "admin");
  EXPECT_TRUE(admin->GetAdministrator());
  // The warning at start compares the stored bytes with the built-in ones, unscrambled.
  EXPECT_EQ(admin->GetPassword(), qmsDefaultPassword("admin"));
  EXPECT_EQ(user->GetPassword(), qmsDefaultPassword("user"));
  int32_t code = -2;
  EXPECT_TRUE(admin->Authenticate("QuillmarAdmin", code));
  EXPECT_TRUE(user->Authenticate("QmsUser1", code));
  EXPECT_FALSE(user->Authenticate("QuillmarAdmin", code));
  EXPECT_TRUE(anon->GetAnonymous());
  EXPECT_TRUE(anon->Authenticate("guest@example.org", code));
  EXPECT_FALSE(anon->GetAdministrator());
  EXPECT_TRUE(anon->DenyService("POP3"));
  EXPECT_FALSE(anon->DenyService("FTP"));
  EXPECT_EQ(delays.size(), 1u);
}

class PasswordTest : public ::testing::Test {
 protected:
  PasswordTest() {
    db_.SetFailDelayProc([this](int ms) { delays_.push_back(ms); });
  }

  std::unique_ptr<qmsTUser> Find(const std::string& name) {
    std::unique_ptr<qmsTUser> user;
    EXPECT_TRUE(db_.FindUser(name, user)) << name;
    return user;
  }
  bool Check(const std::string& name, const std::string& password, int32_t* code = nullptr) {
    auto user = Find(name);
    int32_t c = -2;
    bool ok = user && user->Authenticate(password, c);
    if (code) *code = c;
    return ok;
  }

  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};
  std::vector<int> delays_;
};

TEST_F(PasswordTest, StoredPasswordIsCaseSensitiveAndFailuresWait) {
  WriteUser(site_.user("bob"), "Username=bob\nPassword=" + Hex("Secret1") + "\n");
  int32_t code = -2;
  EXPECT_TRUE(Check("bob", "Secret1", &code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(delays_.empty());  // success does not wait
  EXPECT_FALSE(Check("bob", "secret1", &code));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(Check("bob", "Secret1 ", &code));
  EXPECT_FALSE(Check("bob", "", &code));
  EXPECT_EQ(delays_, (std::vector<int>{5000, 5000, 5000}));
  EXPECT_EQ(db_.FailDelay(), qmsTUserDatabase::kDefaultFailDelayMs);
}

TEST_F(PasswordTest, LowerCaseHexIsAcceptedToo) {
  std::string hex = Hex("pw");
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  WriteUser(site_.user("bob"), "Username=bob\nPassword=" + hex + "\n");
  EXPECT_TRUE(Check("bob", "pw"));
}

TEST_F(PasswordTest, FailureDelayIsSettable) {
  qmsTUserDatabase db(site_.users(), site_.stat());
  WriteUser(site_.user("bob"), "Username=bob\nPassword=" + Hex("x") + "\n");
  db.SetFailDelay(1);
  std::unique_ptr<qmsTUser> u;
  ASSERT_TRUE(db.FindUser("bob", u));
  int32_t code = 0;
  EXPECT_FALSE(u->Authenticate("y", code));  // the real sleeper, shortened
  EXPECT_EQ(db.FailDelay(), 1);
}

TEST_F(PasswordTest, AnonymousAcceptsAnyPassword) {
  WriteUser(site_.user("anonymous"),
            "Username=anonymous\nAnonymous=1\nPassword=" + Hex("x") + "\n");
  EXPECT_TRUE(Check("anonymous", ""));
  EXPECT_TRUE(Check("anonymous", "guest@example.org"));
  EXPECT_TRUE(Check("anonymous", std::string(5000, 'z')));
  EXPECT_TRUE(delays_.empty());
}

TEST_F(PasswordTest, PlainPasswordIsScrambledOnFirstUseAndBackedUpPrivately) {
  const std::string original =
      "[USER]\r\nUsername=bob\r\nPassword=-Tr1cky pass\r\nFullname=Bob\r\n";
  WriteFile(site_.user("bob"), original);
  WriteFile(site_.user("bob.bak"), "old backup");
  ASSERT_EQ(::chmod(site_.user("bob.bak").c_str(), 0644), 0);

  EXPECT_TRUE(Check("bob", "Tr1cky pass"));
  const std::string now = ReadFile(site_.user("bob"));
  EXPECT_NE(now.find("Password=" + Hex("Tr1cky pass") + "\r\n"), std::string::npos) << now;
  EXPECT_EQ(now.find("Tr1cky"), std::string::npos);
  EXPECT_NE(now.find("Fullname=Bob"), std::string::npos);
  EXPECT_EQ(ReadFile(site_.user("bob.bak")), original);
  // The backup holds the plain password: only the owner may read it (or the user file).
  EXPECT_EQ(Mode(site_.user("bob.bak")), 0600u);
  EXPECT_EQ(Mode(site_.user("bob")), 0600u);

  // From now on the scrambled form is used.
  EXPECT_TRUE(Check("bob", "Tr1cky pass"));
  EXPECT_FALSE(Check("bob", "-Tr1cky pass"));
  EXPECT_EQ(ReadFile(site_.user("bob.bak")), original);
}

TEST_F(PasswordTest, GetPasswordConvertsTheDashFormToo) {
  WriteUser(site_.user("bob"), "Username=bob\nPassword=-abc\n");
  auto u = Find("bob");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->GetPassword(), qmsScramble("abc"));
  EXPECT_NE(ReadFile(site_.user("bob")).find("Password=" + Hex("abc")), std::string::npos);
  EXPECT_TRUE(Exists(site_.user("bob.bak")));
}

TEST_F(PasswordTest, DottedNamesNeverOverwriteAnotherAccountWithTheirBackup) {
  // "john.doe" backs up to "john.bak", which here is an account of its own.
  WriteUser(site_.user("john.doe"), "Username=john.doe\nPassword=-pw1\n");
  WriteUser(site_.user("john.bak"), "Username=john.bak\nPassword=" + Hex("other") + "\n");
  const std::string account = ReadFile(site_.user("john.bak"));
  EXPECT_TRUE(Check("john.doe", "pw1"));
  EXPECT_EQ(ReadFile(site_.user("john.bak")), account);
  EXPECT_TRUE(Check("john.bak", "other"));
  // Without such an account the conversion goes ahead, and the backup is no account.
  WriteUser(site_.user("mary.ann"), "Username=mary.ann\nPassword=-pw2\nAliases=ma\n");
  EXPECT_TRUE(Check("mary.ann", "pw2"));
  EXPECT_NE(ReadFile(site_.user("mary.ann")).find(Hex("pw2")), std::string::npos);
  ASSERT_TRUE(Exists(site_.user("mary.bak")));
  std::unique_ptr<qmsTUser> none;
  EXPECT_FALSE(db_.FindUser("mary.bak", none));
  EXPECT_EQ(Find("ma")->GetUsername(), "mary.ann");
}

TEST_F(PasswordTest, PasswordsAreLimitedTo127Bytes) {
  const std::string longpw(200, 'p');
  WriteUser(site_.user("bob"), "Username=bob\nPassword=-" + longpw + "\n");
  // The plain form is cut when it is scrambled, so the first check and every later one
  // agree on the 127 bytes that are kept.
  EXPECT_TRUE(Check("bob", longpw.substr(0, 127)));
  EXPECT_FALSE(Check("bob", longpw));
  EXPECT_TRUE(Check("bob", longpw.substr(0, 127)));
  // A stored hexadecimal text longer than 255 digits is read up to there.
  const std::string hex = Hex(std::string(150, 'q'));
  WriteUser(site_.user("carl"), "Username=carl\nPassword=" + hex + "\n");
  EXPECT_TRUE(Check("carl", std::string(127, 'q')));
  EXPECT_FALSE(Check("carl", std::string(150, 'q')));
}

TEST_F(PasswordTest, MalformedStoredPasswordsMatchNothing) {
  // A password typed in plain text without the "-": no input may match it.
  WriteUser(site_.user("bob"), "Username=bob\nPassword=secret\n");
  EXPECT_FALSE(Check("bob", "secret"));
  EXPECT_FALSE(Check("bob", ""));
  WriteUser(site_.user("carl"), "Username=carl\nPassword=" + Hex("ok") + "x\n");
  EXPECT_FALSE(Check("carl", "ok"));
  WriteUser(site_.user("dora"), "Username=dora\nPassword=" + Hex("ok") + "\n");
  EXPECT_FALSE(Check("dora", std::string("ok\0", 3)));
  EXPECT_FALSE(Check("dora", std::string(100000, 'o')));
}

TEST_F(PasswordTest, SpecialFormsAreReturnedUnchanged) {
  WriteUser(site_.user("nt"), "Username=nt\nPassword=<ntdomain>\n");
  WriteUser(site_.user("ext"), "Username=ext\nPassword=<external>\n");
  EXPECT_EQ(Find("nt")->GetPassword(), "<ntdomain>");
  EXPECT_EQ(Find("ext")->GetPassword(), "<external>");
  // Not the same as a stored password that happens to spell them.
  EXPECT_FALSE(Check("ext", "<external>"));
}

class PasswordTraceTest : public PasswordTest {
 protected:
  void SetUp() override {
    saved_ = jvbTraceFileName;
    jvbTraceFileName = site_ / "t%4.4x%s.trc";
  }
  void TearDown() override {
    jvbTraceEnabled = false;
    jvbTraceFileName = saved_;
  }
  // Runs body traced in a fresh thread; returns that thread's first trace file.
  std::string Traced(const std::function<void()>& body) {
    long tid = 0;
    jvbTraceEnabled = true;
    std::thread t([&] {
      tid = jvb::CurrentThreadId();
      jvbTraceThreadStart();
      body();
      jvbTraceThreadEnd();
    });
    t.join();
    jvbTraceEnabled = false;
    char name[64];
    std::snprintf(name, sizeof name, "t%4.4lx%s.trc", tid, "a");
    return ReadFile(site_ / name);
  }
  std::string saved_;
};

TEST_F(PasswordTraceTest, PasswordsAreHiddenExceptForAnonymousAccounts) {
  WriteUser(site_.user("bob"), "Username=bob\nPassword=-Hunter2\n");
  WriteUser(site_.user("anonymous"), "Username=anonymous\nAnonymous=1\n");
  const std::string trace = Traced([this] {
    Check("bob", "Hunter2");
    Check("bob", "Wrong9");
    Check("anonymous", "guest@example.org");
  });
  EXPECT_EQ(trace.find("Hunter2"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("Wrong9"), std::string::npos) << trace;
  EXPECT_NE(trace.find(">qmsTUser.Authenticate(astr('******'))"), std::string::npos) << trace;
  EXPECT_NE(trace.find(">qmsTUser.Authenticate(astr('guest@example.org'))"), std::string::npos);
  EXPECT_NE(trace.find(">qmsTUserDatabase.FindUser(astr('bob'))"), std::string::npos);
  EXPECT_NE(trace.find("<qmsTUserDatabase.FindUser(bool(1))"), std::string::npos);
  EXPECT_NE(trace.find("<qmsTUser.GetPassword(astr('******'))"), std::string::npos);
}

}  // namespace
