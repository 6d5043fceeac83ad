#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <fstream>

#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"

namespace {

// A stand-in for the server: each run returns the next scripted result.
struct Script {
  std::deque<qmsTRunResult> results;
  int runs = 0;
  qmsTLauncher::RunChild Runner() {
    return [this](const std::string&) {
      ++runs;
      qmsTRunResult r = results.empty() ? qmsTRunResult{0, 10} : results.front();
      if (!results.empty()) results.pop_front();
      return r;
    };
  }
};

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    jvb::ForceDirectories("log");
    jvb::ForceDirectories("binaries");
    testing::internal::CaptureStdout();
  }
  std::string Output() { return testing::internal::GetCapturedStdout(); }
  TempDir dir_;
};

}  // namespace

TEST_F(LauncherTest, RestartRules) {
  Script s;
  s.results = {{1, 3600}, {0, 10}};  // restart after an hour, then stop
  qmsTLauncher l(s.Runner());
  EXPECT_EQ(l.RunLoop(), 0);
  EXPECT_EQ(s.runs, 2);
  EXPECT_EQ(l.ShortRuns(), 0);

  Script halt;
  halt.results = {{10010, 0}};
  qmsTLauncher l2(halt.Runner());
  EXPECT_EQ(l2.RunLoop(), 10010);
  EXPECT_EQ(halt.runs, 1);

  Script crash;  // crashes, failed starts and socket halts restart until five quick ones
  crash.results = {{216, 1}, {-1, 0}, {10100, 2}, {139, 0}, {1, 4}, {1, 4}};
  qmsTLauncher l3(crash.Runner());
  l3.RunLoop();
  EXPECT_EQ(crash.runs, 5);
  EXPECT_EQ(l3.ShortRuns(), 5);

  Script longRuns;  // a server that ran 5 s or longer is restarted without limit
  for (int i = 0; i < 8; ++i) longRuns.results.push_back({1, 5});
  qmsTLauncher l4(longRuns.Runner());
  EXPECT_EQ(l4.RunLoop(), 0);
  EXPECT_EQ(longRuns.runs, 9);
  std::string out = Output();
  EXPECT_NE(out.find("qmsHalt #10010\r\n"), std::string::npos);
  EXPECT_NE(out.find("qmsHalt #-1\r\n"), std::string::npos);
  EXPECT_NE(out.find("Calling server binary \"binaries/qms32srv\" ...\r\n"), std::string::npos);
}

TEST_F(LauncherTest, UpgradeInstallKeepsABackupAndTheModeBits) {
  std::ofstream("binaries/qms32srv") << "old";
  chmod("binaries/qms32srv", 0755);
  std::ofstream("binaries/qms32upd") << "new";
  chmod("binaries/qms32upd", 0755);
  qmsTLauncher l([](const std::string&) { return qmsTRunResult{0, 10}; });
  l.InstallUpgrade();
  std::string out = Output();
  std::string c;
  ASSERT_TRUE(jvb::ReadWholeFile("binaries/qms32srv", c));
  EXPECT_EQ(c, "new");
  ASSERT_TRUE(jvb::ReadWholeFile("binaries/qms32old", c));
  EXPECT_EQ(c, "old");
  EXPECT_FALSE(jvb::PathExists("binaries/qms32upd"));
  struct stat st{};
  stat("binaries/qms32srv", &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_NE(out.find("- Backup of \"binaries/qms32srv\" saved as \"binaries/qms32old\"."),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("- Copied new file \"binaries/qms32upd\" to \"binaries/qms32srv\"."),
            std::string::npos);
  EXPECT_NE(out.find("- Deleted update file \"binaries/qms32upd\"."), std::string::npos);
}

TEST_F(LauncherTest, UsageSwitchesAreExact) {
  Output();
  for (const char* a : {"-?", "/?", "-h", "/h"}) EXPECT_TRUE(qmsTLauncher::IsUsageSwitch(a));
  for (const char* a : {"-H", "--help", "h", ""}) EXPECT_FALSE(qmsTLauncher::IsUsageSwitch(a));
  testing::internal::CaptureStdout();
}

TEST_F(LauncherTest, StopAskedForBeforeTheChildIsKnownStillStopsIt) {
  Output();
  std::ofstream("binaries/sleeper") << "#!/bin/sh\nexec sleep 600\n";
  chmod("binaries/sleeper", 0755);
  EXPECT_EXIT(
      {
        alarm(60);  // safety limit: a child that is never stopped ends the test
        qmsLauncherInstallSignals();
        raise(SIGTERM);  // the stop arrives before the next server's pid is recorded
        qmsTRunResult r = qmsRunServerChild("binaries/sleeper");
        _exit(r.code == 128 + SIGTERM ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  testing::internal::CaptureStdout();
}
