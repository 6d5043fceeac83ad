#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "server/core/setup.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

void Put(const std::string& path, const std::string& text) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) jvb::ForceDirectories(path.substr(0, slash));
  std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
  std::string s;
  jvb::ReadWholeFile(path, s);
  return s;
}

std::string Crc(const std::string& text) {
  return qmsCrcText(static_cast<uint32_t>(
      crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(text.data()), text.size())));
}

// A site with a small shipped tree under documentation/.
class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    // As shipped: the installed version is recorded in the default configuration itself.
    Put("documentation/config/qms.cfg",
        "[GLOBAL]\r\nDisableLogArchiving=0\r\n[UPGRADE]\r\nCurrentVersion=0.9.5\r\n"
        "CurrentBuild=Build ID: Jan 02 2003 20:00 (Beta)\r\n");
    Put("documentation/config/default/default.cfg", "[GLOBAL]\r\nGroupsDefined=users\r\n");
    Put("documentation/messages/smtp/smtp.res", "[HELO]\r\n250a=250 %A% Hello\r\n");
    Put("documentation/messages/ftp/ftp.res", "[USER]\r\n331a=331 Password required\r\n");
    Put("documentation/scripts/hello.rexx", "say 'hello'\r\n");
  }
  std::string Key(const std::string& k) {
    jvbTTextConfig cfg("config/qms.cfg");
    std::string v;
    cfg.ReadString(v, "UPGRADE", k);
    return v;
  }
  void FirstStart() {
    jvbTTextConfig* cfg = nullptr;
    testing::internal::CaptureStdout();
    {
      // The configuration object cannot create its file before config/ exists.
      jvb::ForceDirectories("log");
      cfg = new jvbTTextConfig("config/qms.cfg");
      qmsCheckSetup(*cfg);
      delete cfg;
    }
    first_out_ = testing::internal::GetCapturedStdout();
  }
  TempDir dir_;
  std::string first_out_;
};

}  // namespace

TEST_F(SetupTest, FirstStartInstallsEveryDefaultWithItsCrc) {
  FirstStart();
  for (const char* d : {"config", "log", "messages", "scripts", "tmp"})
    EXPECT_TRUE(jvb::DirectoryExists(d)) << d;
  EXPECT_NE(first_out_.find("- \"config\" created"), std::string::npos) << first_out_;
  EXPECT_NE(first_out_.find("Installing default configuration ..."), std::string::npos);
  EXPECT_NE(first_out_.find("Installing system message files ..."), std::string::npos);
  EXPECT_NE(first_out_.find("Installing default script files ..."), std::string::npos);
  EXPECT_EQ(Get("messages/smtp/smtp.res"), Get("documentation/messages/smtp/smtp.res"));
  EXPECT_EQ(Key("File[messages/smtp/smtp.res]"), Crc(Get("messages/smtp/smtp.res")));
  EXPECT_EQ(Key("File[scripts/hello.rexx]"), Crc("say 'hello'\r\n"));
  EXPECT_EQ(Key("File[config/default/default.cfg]"), Crc(Get("config/default/default.cfg")));
  EXPECT_FALSE(Key("File[config/qms.cfg]").empty());
  EXPECT_EQ(Key("CurrentVersion"), "0.9.5");
  EXPECT_EQ(Key("CurrentBuild"), "Build ID: Jan 02 2003 20:00 (Beta)");
  EXPECT_EQ(Get("config/qms.cfg").find("DisableLogArchiving=0"), 10u) << "shipped keys kept";
}

TEST_F(SetupTest, UpgradeLeavesOperatorChangesAlone) {
  FirstStart();
  // The operator edits one file and deletes another; the new version ships changes to all.
  Put("messages/smtp/smtp.res", "[HELO]\r\n250a=250 my own greeting\r\n");
  unlink("scripts/hello.rexx");
  Put("documentation/messages/smtp/smtp.res", "[HELO]\r\n250a=250 %A% Hello v2\r\n");
  Put("documentation/messages/ftp/ftp.res", "[USER]\r\n331a=331 v2\r\n");
  Put("documentation/scripts/hello.rexx", "say 'hello v2'\r\n");
  Put("documentation/scripts/new.rexx", "say 'new'\r\n");
  {
    jvbTTextConfig cfg("config/qms.cfg");
    cfg.WriteString("UPGRADE", "CurrentBuild", "Build ID: older");
  }
  testing::internal::CaptureStdout();
  {
    jvbTTextConfig cfg("config/qms.cfg");
    qmsCheckSetup(cfg);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("New version installed, upgrading message files ..."), std::string::npos);
  EXPECT_NE(out.find("- FILE MODIFIED: Automatic file upgrade not performed, update manually:\r\n"
                     "    \"documentation/messages/smtp/smtp.res\" -> \"messages/smtp/smtp.res\""),
            std::string::npos)
      << out;
  EXPECT_EQ(Get("messages/smtp/smtp.res"), "[HELO]\r\n250a=250 my own greeting\r\n");
  EXPECT_NE(out.find("- FILE DELETED: Automatic file upgrade not performed, update manually:\r\n"
                     "    \"documentation/scripts/hello.rexx\" -> \"scripts/hello.rexx\""),
            std::string::npos);
  EXPECT_FALSE(jvb::PathExists("scripts/hello.rexx"));
  EXPECT_EQ(Get("messages/ftp/ftp.res"), "[USER]\r\n331a=331 v2\r\n") << "unchanged: upgraded";
  EXPECT_EQ(Key("File[messages/ftp/ftp.res]"), Crc("[USER]\r\n331a=331 v2\r\n"));
  EXPECT_NE(out.find("- NEW FILE ADDED: \"scripts/new.rexx\""), std::string::npos);
  EXPECT_EQ(Key("CurrentBuild"), "Build ID: Jan 02 2003 20:00 (Beta)");
}

TEST_F(SetupTest, OlderVersionHalts) {
  FirstStart();
  {
    jvbTTextConfig cfg("config/qms.cfg");
    cfg.WriteString("UPGRADE", "CurrentVersion", "0.9.4");
  }
  EXPECT_EXIT(
      {
        jvbTTextConfig cfg("config/qms.cfg");
        qmsCheckSetup(cfg);
      },
      ::testing::ExitedWithCode(111), "");
}

TEST_F(SetupTest, MissingDocumentationIsReported) {
  system("rm -rf documentation/scripts");
  FirstStart();
  EXPECT_NE(first_out_.find("- Default script files not found in \"documentation/scripts\""),
            std::string::npos)
      << first_out_;
}

TEST_F(SetupTest, LogArchivingProducesAReadableZip) {
  if (jvb::FindInPath("zip").empty() || jvb::FindInPath("unzip").empty())
    GTEST_SKIP() << "zip/unzip not installed";
  FirstStart();
  Put("log/ftp-site.log", "a service log\r\n");
  Put("log/qms32.log", "12:00:00.00 previous run\r\n");
  testing::internal::CaptureStdout();
  {
    jvbTTextConfig cfg("config/qms.cfg");
    qmsArchiveLogs(cfg);
  }
  std::string out = testing::internal::GetCapturedStdout();
  std::vector<jvb::DirEntry> dirs;
  ASSERT_EQ(jvb::FindFiles("log", "*-*", jvb::faDirectory, dirs), 0) << out;
  std::string name = dirs[0].name;
  std::string zip = "log/" + name + "/" + name + ".zip";
  ASSERT_TRUE(jvb::FileExists(zip)) << out;
  EXPECT_EQ(system(("unzip -tq " + zip + " >/dev/null").c_str()), 0);
  EXPECT_EQ(system(("unzip -p " + zip + " qms32.log | grep -q 'previous run'").c_str()), 0);
  EXPECT_FALSE(jvb::PathExists("log/ftp-site.log")) << "moved into the archive";
  std::string log = Get("log/qms32.log");
  EXPECT_NE(log.find("(Log continued from old file archived in \"" + name + ".zip\")"),
            std::string::npos)
      << log;
  EXPECT_NE(out.find("Archiving log files into \"" + name + ".zip\" ..."), std::string::npos);
}

TEST_F(SetupTest, LogArchivingDisabledCases) {
  FirstStart();
  testing::internal::CaptureStdout();
  {
    jvbTTextConfig cfg("config/qms.cfg");
    cfg.WriteString("GLOBAL", "DisableLogArchiving", "1");
    qmsArchiveLogs(cfg);
    cfg.WriteString("GLOBAL", "DisableLogArchiving", "0");
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    qmsArchiveLogs(cfg);
    setenv("PATH", path.c_str(), 1);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Log archiving: Disabled\r\n"), std::string::npos);
  EXPECT_NE(out.find("Log archiving: Disabled (zip not found)\r\n"), std::string::npos);
}
