// The "<ntdomain>" password form against a real local account through PAM. The test
// creates a throw-away account with a known password (root only) and removes it again.
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/users/pamlogon.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "tests/users/usertest.h"

using userstest::Exists;
using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

const std::string kSourceDir =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();

bool PamUnixInstalled() {
  for (const char* dir : {"/lib/x86_64-linux-gnu/security", "/usr/lib/x86_64-linux-gnu/security",
                          "/lib/security", "/usr/lib/security", "/lib64/security"}) {
    if (Exists(std::string(dir) + "/pam_unix.so")) return true;
  }
  return false;
}

// A local account that exists for the lifetime of the object.
class LocalAccount {
 public:
  LocalAccount(const std::string& name, const std::string& password) : name_(name) {
    Remove(name);
    const std::string add = "useradd -M -N -s /usr/sbin/nologin " + name + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) return;
    created_ = true;
    FILE* p = ::popen("chpasswd >/dev/null 2>&1", "w");
    if (!p) return;
    std::fprintf(p, "%s:%s\n", name.c_str(), password.c_str());
    ready_ = ::pclose(p) == 0;
  }
  ~LocalAccount() {
    if (created_) Remove(name_);
  }
  LocalAccount(const LocalAccount&) = delete;
  LocalAccount& operator=(const LocalAccount&) = delete;
  bool ready() const { return ready_; }

 private:
  static void Remove(const std::string& name) {
    const std::string del = "userdel " + name + " >/dev/null 2>&1";
    if (std::system(del.c_str()) != 0) {
    }
  }
  std::string name_;
  bool created_ = false;
  bool ready_ = false;
};

// A PAM service file installed for the test and removed afterwards.
class PamService {
 public:
  PamService(const std::string& name, const std::string& source) : path_("/etc/pam.d/" + name) {
    std::error_code ec;
    std::filesystem::copy_file(source, path_, std::filesystem::copy_options::overwrite_existing,
                               ec);
    ok_ = !ec;
  }
  ~PamService() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

class PamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "PAM check needs root (to create a local account and read /etc/shadow)";
    if (!PamUnixInstalled()) GTEST_SKIP() << "PAM's unix module (pam_unix.so) is not installed";
    if (!Exists("/usr/sbin/useradd") || !Exists("/usr/sbin/chpasswd"))
      GTEST_SKIP() << "useradd/chpasswd are not installed";
    ::unsetenv("QMS_PAM_SERVICE");
    db_.SetFailDelayProc([this](int ms) { delays_.push_back(ms); });
  }
  void TearDown() override { ::unsetenv("QMS_PAM_SERVICE"); }

  bool Check(const std::string& file, const std::string& password, int32_t& code) {
    std::unique_ptr<qmsTUser> user;
    EXPECT_TRUE(db_.FindUser(file, user));
    code = 0;
    return user && user->Authenticate(password, code);
  }

  const std::string account_ = "qmst" + std::to_string(::getpid() % 1000000);
  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};
  std::vector<int> delays_;
};

TEST_F(PamTest, LocalAccountPasswordIsCheckedThroughPam) {
  LocalAccount local(account_, "S3cret-pw!");
  ASSERT_TRUE(local.ready()) << "could not create the local account " << account_;
  WriteUser(site_.user(account_), "Username=" + account_ + "\nPassword=<ntdomain>\n");

  int32_t code = -1;
  EXPECT_TRUE(Check(account_, "S3cret-pw!", code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(delays_.empty());

  EXPECT_FALSE(Check(account_, "s3cret-pw!", code));
  EXPECT_EQ(code, PAM_AUTH_ERR);
  EXPECT_FALSE(Check(account_, "", code));
  EXPECT_NE(code, 0);
  EXPECT_EQ(delays_.size(), 2u);
}

TEST_F(PamTest, UnknownSystemAccountIsRejected) {
  WriteUser(site_.user("qmsnosuchaccount"), "Username=qmsnosuchaccount\nPassword=<ntdomain>\n");
  int32_t code = 0;
  EXPECT_FALSE(Check("qmsnosuchaccount", "x", code));
  EXPECT_NE(code, 0);
}

TEST_F(PamTest, ShippedServiceFileWorks) {
  LocalAccount local(account_, "An0ther-pw");
  ASSERT_TRUE(local.ready());
  const std::string service = "qms32-test" + std::to_string(::getpid());
  PamService file(service, kSourceDir + "/documentation/pam.d/qms32");
  ASSERT_TRUE(file.ok());
  ::setenv("QMS_PAM_SERVICE", service.c_str(), 1);
  EXPECT_EQ(qmsPamLogon(account_, "An0ther-pw"), 0);
  EXPECT_EQ(qmsPamLogon(account_, "wrong"), PAM_AUTH_ERR);
  EXPECT_NE(qmsPamLogon(account_, std::string("An0ther-pw\0x", 12)), 0);
}

}  // namespace
