// The "<external>" password form: the example module, the module search, and the
// authentication hook (another module, or a script run through the installed runner).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/users/externalauth.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "tests/users/usertest.h"
#include "toolbox/platform.h"

using userstest::Exists;
using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

// The example module is built beside the users library: <build>/server/users/qmsauth.so,
// and the tests run from <build>/tests.
std::string ExampleModule() {
  return std::filesystem::weakly_canonical(jvb::ProgramDirectory() + "/../server/users/qmsauth.so")
      .string();
}

class ExternalAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(ExampleModule())) << ExampleModule();
    WriteFile(site_ / "accounts.txt", "# account password\nalice  open-sesame\nBob pw2\n");
    ::setenv("QMSAUTH_FILE", (site_ / "accounts.txt").c_str(), 1);
    db_.SetFailDelayProc([this](int ms) { delays_.push_back(ms); });
    WriteUser(site_.user("alice"), "Username=alice\nPassword=<external>\n");
  }
  void TearDown() override {
    ::unsetenv("QMSAUTH_FILE");
    qmsTUserDatabase::SetScriptRunner(nullptr);
  }

  bool Check(const std::string& password, int32_t& code) {
    std::unique_ptr<qmsTUser> user;
    EXPECT_TRUE(db_.FindUser("alice", user));
    code = -2;
    return user && user->Authenticate(password, code);
  }

  void InstallModule(const std::string& name) {
    std::filesystem::create_directories(site_ / "binaries");
    std::filesystem::copy_file(ExampleModule(), site_ / ("binaries/" + name));
  }

  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};
  std::vector<int> delays_;
};

TEST_F(ExternalAuthTest, ExampleModuleAnswersThroughItsEntryPoint) {
  const std::string m = ExampleModule();
  EXPECT_EQ(qmsAuthenticate(m, "alice", "open-sesame"), 0);
  EXPECT_EQ(qmsAuthenticate(m, "ALICE", "open-sesame"), 0);
  EXPECT_EQ(qmsAuthenticate(m, "alice", "Open-sesame"), 1);
  EXPECT_EQ(qmsAuthenticate(m, "bob", "pw2"), 0);
  EXPECT_EQ(qmsAuthenticate(m, "zoe", "pw2"), 2);
  // A NUL would hide the rest of the password from the module.
  EXPECT_EQ(qmsAuthenticate(m, "alice", std::string("open-sesame\0junk", 16)), -1);
  ::setenv("QMSAUTH_FILE", (site_ / "missing.txt").c_str(), 1);
  EXPECT_EQ(qmsAuthenticate(m, "alice", "open-sesame"), 3);
}

TEST_F(ExternalAuthTest, MissingModuleOrEntryPointGivesMinusOne) {
  EXPECT_EQ(qmsAuthenticate(site_ / "no-such-module.so", "alice", "x"), -1);
  EXPECT_EQ(qmsAuthenticate("", "alice", "x"), -1);
  WriteFile(site_ / "notalib.so", "this is no shared library");
  EXPECT_EQ(qmsAuthenticate(site_ / "notalib.so", "alice", "x"), -1);
  // A real library without the entry point.
  EXPECT_EQ(qmsAuthenticate("libz.so.1", "alice", "x"), -1);
}

TEST_F(ExternalAuthTest, ExternalPasswordUsesTheModuleInBinaries) {
  site_.Enter();
  int32_t code = 0;
  // No module anywhere: rejected with -1 (after the delay).
  EXPECT_FALSE(Check("open-sesame", code));
  EXPECT_EQ(code, -1);
  InstallModule("qmsauth.so");
  EXPECT_TRUE(Check("open-sesame", code));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(Check("wrong", code));
  EXPECT_EQ(code, 1);
  EXPECT_EQ(delays_, (std::vector<int>{5000, 5000}));
}

TEST_F(ExternalAuthTest, ModuleNameOfTheDatabaseCanBeAPath) {
  db_.SetExternalModule(ExampleModule());
  int32_t code = 0;
  EXPECT_TRUE(Check("open-sesame", code));
  EXPECT_EQ(db_.ExternalModule(), ExampleModule());
}

TEST_F(ExternalAuthTest, ModuleHookReplacesTheDefaultModule) {
  site_.Enter();
  db_.SetAuthHook("plugins\\Auth.DLL");  // the Windows spelling of a migrated setting
  int32_t code = 0;
  EXPECT_FALSE(Check("open-sesame", code));
  EXPECT_EQ(code, -1);
  std::filesystem::create_directories(site_ / "plugins");
  std::filesystem::copy_file(ExampleModule(), site_ / "plugins/Auth.DLL");
  EXPECT_TRUE(Check("open-sesame", code));
  // A bare module name is looked for in binaries/ first.
  InstallModule("other.so");
  db_.SetAuthHook("other.so");
  EXPECT_TRUE(Check("open-sesame", code));
  EXPECT_FALSE(Check("nope", code));
  EXPECT_EQ(code, 1);
}

TEST_F(ExternalAuthTest, ScriptHookRunsThroughTheInstalledRunner) {
  db_.SetAuthHook("scripts\\auth.rexx");
  int32_t code = 0;
  // No runner installed: rejected.
  EXPECT_FALSE(Check("anything", code));
  EXPECT_EQ(code, -1);

  std::vector<std::string> calls;
  qmsTUserDatabase::SetScriptRunner(
      [&](const std::string& script, const std::string& account, const std::string& password) {
        calls.push_back(script + "|" + account + "|" + password);
        return password == "letmein" ? 0 : 5;
      });
  EXPECT_TRUE(Check("letmein", code));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(Check("guess", code));
  EXPECT_EQ(code, 5);
  EXPECT_EQ(calls, (std::vector<std::string>{"scripts/auth.rexx|alice|letmein",
                                             "scripts/auth.rexx|alice|guess"}));
  // A runner that throws rejects.
  qmsTUserDatabase::SetScriptRunner(
      [](const std::string&, const std::string&, const std::string&) -> int32_t {
        throw std::runtime_error("interpreter failed");
      });
  EXPECT_FALSE(Check("letmein", code));
  EXPECT_EQ(code, -1);
}

TEST_F(ExternalAuthTest, AnyOtherHookRejects) {
  db_.SetExternalModule(ExampleModule());
  db_.SetAuthHook("something-else");
  int32_t code = 0;
  EXPECT_FALSE(Check("open-sesame", code));
  EXPECT_EQ(code, -1);
  db_.SetAuthHook("");
  EXPECT_TRUE(Check("open-sesame", code));
}

}  // namespace
