// Statistics: the record layout, the statistics file of an account, its deny-writers open
// that serialises sessions (also across processes), and files of the wrong size.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "server/users/userstat.h"
#include "tests/users/usertest.h"
#include "toolbox/textconfig.h"

using userstest::Exists;
using userstest::Mode;
using userstest::ReadFile;
using userstest::TempSite;
using userstest::WriteFile;
using userstest::WriteUser;

namespace {

uint32_t Le32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

TEST(UserStatRecord, CountersAreLittleEndianAtTheirOffsetsAndWrap) {
  Tqms_user r;
  r.Set(Tqms_user::ftpSentKB, 0x04030201);
  r.Set(Tqms_user::smtpRecvKB, 7);
  r.Set(Tqms_user::ftpRecvRate, 0xFFFFFFFF);
  r.Add(Tqms_user::ftpRecvRate, 2);
  const std::string bytes(reinterpret_cast<const char*>(r.Data()), Tqms_user::kSize);
  EXPECT_EQ(bytes.substr(0, 4), "\x01\x02\x03\x04");
  EXPECT_EQ(Le32(bytes, 32), 7u);
  EXPECT_EQ(Le32(bytes, 24), 1u);
  EXPECT_EQ(bytes.find_first_not_of('\0', 36), std::string::npos);
  r.Raise(Tqms_user::ftpSentRate, 50);
  r.Raise(Tqms_user::ftpSentRate, 20);
  EXPECT_EQ(r.Get(Tqms_user::ftpSentRate), 50u);
  // Out-of-range counters read as 0 and are never written.
  r.Set(static_cast<Tqms_user::Counter>(9), 5);
  EXPECT_EQ(r.Get(static_cast<Tqms_user::Counter>(9)), 0u);
  EXPECT_EQ(r.Get(static_cast<Tqms_user::Counter>(-1)), 0u);
}

TEST(UserStatRecord, LoadNeverReadsOrWritesOutOfBounds) {
  Tqms_user r;
  const std::string big(5000, '\x11');
  r.Load(big.data(), big.size());
  EXPECT_EQ(r.Get(Tqms_user::smtpRecvKB), 0x11111111u);
  r.Load("\x05\x00", 2);
  EXPECT_EQ(r.Get(Tqms_user::ftpSentKB), 5u);
  EXPECT_EQ(r.Get(Tqms_user::ftpSent), 0u);
  r.Load(nullptr, 10);
  EXPECT_EQ(r.Get(Tqms_user::ftpSentKB), 0u);
}

class UserStatTest : public ::testing::Test {
 protected:
  UserStatTest() { WriteUser(site_.user("bob"), "Username=Bob\n"); }
  std::unique_ptr<qmsTUser> Bob() {
    std::unique_ptr<qmsTUser> u;
    EXPECT_TRUE(db_.FindUser("bob", u));
    return u;
  }
  // One counter update as the services do it.
  static bool Bump(qmsTUser& u, Tqms_user::Counter c, uint32_t n) {
    if (!u.OpenStat()) return false;
    u.Stat().Add(c, n);
    u.CloseStat();
    return true;
  }
  std::string StatFile() const { return site_.stat() + "/usr.Bob"; }

  TempSite site_;
  qmsTUserDatabase db_{site_.users(), site_.stat()};
};

TEST_F(UserStatTest, FileIsCreatedPrivateWithOneZeroRecord) {
  auto bob = Bob();
  EXPECT_EQ(bob->StatFileName(), StatFile());  // named after "Username" as written
  ASSERT_TRUE(bob->OpenStat());
  bob->CloseStat();
  const std::string bytes = ReadFile(StatFile());
  EXPECT_EQ(bytes, std::string(Tqms_user::kSize, '\0'));
  EXPECT_EQ(Mode(StatFile()), 0600u);
}

TEST_F(UserStatTest, UpdatesPersistAndOtherSessionsSeeThem) {
  auto a = Bob();
  auto b = Bob();
  b->ReadStat();  // no file yet: nothing to read and nothing created
  EXPECT_FALSE(Exists(StatFile()));
  ASSERT_TRUE(Bump(*a, Tqms_user::ftpSent, 1));
  ASSERT_TRUE(Bump(*a, Tqms_user::ftpSentKB, 300));
  b->ReadStat();
  EXPECT_EQ(b->Stat().Get(Tqms_user::ftpSent), 1u);
  EXPECT_EQ(b->Stat().Get(Tqms_user::ftpSentKB), 300u);
  ASSERT_TRUE(Bump(*b, Tqms_user::smtpRecv, 2));
  a->ReadStat();
  EXPECT_EQ(a->Stat().Get(Tqms_user::smtpRecv), 2u);
  EXPECT_EQ(a->Stat().Get(Tqms_user::ftpSent), 1u);
  const std::string bytes = ReadFile(StatFile());
  ASSERT_EQ(bytes.size(), Tqms_user::kSize);
  EXPECT_EQ(Le32(bytes, 4), 1u);
  EXPECT_EQ(Le32(bytes, 0), 300u);
  EXPECT_EQ(Le32(bytes, 28), 2u);
  // The session counters never reach the file.
  a->SessionStat().Add(Tqms_user::ftpRecv, 9);
  ASSERT_TRUE(Bump(*a, Tqms_user::ftpLogin, 1));
  EXPECT_EQ(Le32(ReadFile(StatFile()), 12), 0u);
}

TEST_F(UserStatTest, TheOpenFileKeepsOtherWritersOut) {
  site_.Enter();
  std::filesystem::create_directories(site_ / "log");
  auto a = Bob();
  auto b = Bob();
  ASSERT_TRUE(a->OpenStat());
  // The second session of the account waits its retry time, then gives up.
  EXPECT_FALSE(b->OpenStat());
  EXPECT_NE(ReadFile(site_ / "log/qms32.log").find("Error: OpenStat failed"), std::string::npos);
  a->CloseStat();
  EXPECT_TRUE(b->OpenStat());
  b->CloseStat();
}

TEST_F(UserStatTest, FailureToOpenIsLoggedAndTheRecordKept) {
  site_.Enter();
  std::filesystem::create_directories(site_ / "log");
  qmsTUserDatabase nodir(site_.users(), site_ / "missing/stat");
  std::unique_ptr<qmsTUser> bob;
  ASSERT_TRUE(nodir.FindUser("bob", bob));
  bob->Stat().Set(Tqms_user::ftpRecv, 4);
  EXPECT_FALSE(bob->OpenStat());
  EXPECT_EQ(bob->Stat().Get(Tqms_user::ftpRecv), 4u);
  bob->CloseStat();  // nothing open: nothing happens
  EXPECT_NE(ReadFile(site_ / "log/qms32.log").find("Error: OpenStat failed"), std::string::npos);
}

TEST_F(UserStatTest, AccountWithoutUsernameHasNoStatistics) {
  qmsTUser nameless(&db_, std::make_unique<jvbTTextConfig>(site_.user("bob")));
  WriteUser(site_.user("bob"), "Fullname=nobody\n");
  EXPECT_FALSE(nameless.OpenStat());
  EXPECT_TRUE(std::filesystem::is_empty(site_.stat()));
}

TEST_F(UserStatTest, InvalidUsernameNeverBecomesAStatisticsPath) {
  qmsTUser odd(&db_, std::make_unique<jvbTTextConfig>(site_.user("bob")));
  WriteUser(site_.user("bob"), "Username=../../escape\n");
  EXPECT_EQ(odd.StatFileName(), "");
  EXPECT_FALSE(odd.OpenStat());
  EXPECT_FALSE(Exists(site_ / "escape"));
  EXPECT_FALSE(Exists(site_.stat() + "/usr.../../escape"));
}

TEST_F(UserStatTest, FilesOfTheWrongSizeAreHandled) {
  // Too short: what is there is read, the rest is zero, and the file is completed.
  WriteFile(StatFile(), std::string("\x05\x00\x00\x00\x02", 5));
  auto bob = Bob();
  ASSERT_TRUE(Bump(*bob, Tqms_user::ftpSent, 1));
  EXPECT_EQ(bob->Stat().Get(Tqms_user::ftpSentKB), 5u);
  EXPECT_EQ(bob->Stat().Get(Tqms_user::ftpSent), 3u);
  EXPECT_EQ(ReadFile(StatFile()).size(), Tqms_user::kSize);

  // Too long: only the first record is used; what follows it is left alone, and so are
  // bytes behind the counters.
  std::string longer(Tqms_user::kSize + 4000, '\0');
  longer[100] = '\x55';
  longer[Tqms_user::kSize + 10] = '\x66';
  WriteFile(StatFile(), longer);
  auto again = Bob();
  ASSERT_TRUE(Bump(*again, Tqms_user::smtpRecvKB, 3));
  const std::string bytes = ReadFile(StatFile());
  ASSERT_EQ(bytes.size(), longer.size());
  EXPECT_EQ(Le32(bytes, 32), 3u);
  EXPECT_EQ(bytes[100], '\x55');
  EXPECT_EQ(bytes[Tqms_user::kSize + 10], '\x66');
}

TEST_F(UserStatTest, TwoProcessesNeverLoseACount) {
  // Each child counts its updates that went through; together they must equal the file.
  constexpr int kRounds = 200;
  int pipes[2][2];
  pid_t pids[2];
  for (int c = 0; c < 2; ++c) {
    ASSERT_EQ(::pipe(pipes[c]), 0);
    pids[c] = ::fork();
    ASSERT_GE(pids[c], 0);
    if (pids[c] == 0) {
      ::close(pipes[c][0]);
      qmsTUserDatabase db(site_.users(), site_.stat());
      std::unique_ptr<qmsTUser> u;
      int done = 0;
      if (db.FindUser("bob", u)) {
        for (int i = 0; i < kRounds; ++i) {
          if (Bump(*u, Tqms_user::smtpRecv, 1)) ++done;
          ::usleep(100);  // let the other process in now and then
        }
      }
      if (::write(pipes[c][1], &done, sizeof done) != sizeof done) _exit(2);
      _exit(0);
    }
    ::close(pipes[c][1]);
  }
  int total = 0;
  for (int c = 0; c < 2; ++c) {
    int done = 0;
    EXPECT_EQ(::read(pipes[c][0], &done, sizeof done), static_cast<ssize_t>(sizeof done));
    ::close(pipes[c][0]);
    int status = 0;
    ::waitpid(pids[c], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(done, 0);
    total += done;
  }
  EXPECT_EQ(Le32(ReadFile(StatFile()), 28), static_cast<uint32_t>(total));
  EXPECT_GT(total, kRounds);
}

}  // namespace
