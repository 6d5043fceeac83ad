#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/timeutil.h"

namespace {

std::string Read(const std::string& path) {
  std::string s;
  jvb::ReadWholeFile(path, s);
  return s;
}

class QmsToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    mkdir("log", 0755);
    mkdir("tmp", 0755);
  }
  TempDir dir_;
};

}  // namespace

TEST_F(QmsToolsTest, ConsoleRecordsCutLongTextsSafely) {
  testing::internal::CaptureStdout();
  std::string longText(300, 'x');
  qmsCon(longText);
  qmsCon("");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, longText + "\r\n\r\n") << "the console gets the whole text";
  std::string recs = Read("tmp/console.tmp");
  ASSERT_EQ(recs.size(), 512u);
  EXPECT_EQ(static_cast<unsigned char>(recs[8]), 247);
  EXPECT_EQ(recs.substr(9, 247), std::string(247, 'x'));
  EXPECT_EQ(static_cast<unsigned char>(recs[256 + 8]), 0);
  EXPECT_EQ(recs.substr(256 + 9), std::string(247, '\0'));
  // The stamp is today's day number.
  uint32_t day = static_cast<unsigned char>(recs[4]) | static_cast<unsigned char>(recs[5]) << 8 |
                 static_cast<unsigned char>(recs[6]) << 16 |
                 static_cast<unsigned>(static_cast<unsigned char>(recs[7])) << 24;
  EXPECT_EQ(static_cast<int32_t>(day), jvb::DayNumber(jvb::NowLocal()));
}

TEST_F(QmsToolsTest, ThreadIdPrefixOnlyWhileSet) {
  testing::internal::CaptureStdout();
  qmsSetConsoleThreadId(true);
  qmsCon("with");
  qmsSetConsoleThreadId(false);
  qmsCon("without");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(^\[(?=[ 0-9a-f]{4,}\]) *[0-9a-f]+\] with\r\nwithout\r\n$)"))) << out;
}

TEST_F(QmsToolsTest, SystemLogDayLineOncePerDay) {
  qmsLog("first");
  qmsLog("second");
  std::string log = Read("log/qms32.log");
  std::regex form(
      R"(^@\d{4}/\d{2}/\d{2} \((Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday) \d{2}:\d{2}:\d{2}\)\r\n)"
      R"(\d{2}:\d{2}:\d{2}\.\d{2} first\r\n\d{2}:\d{2}:\d{2}\.\d{2} second\r\n$)");
  EXPECT_TRUE(std::regex_search(log, form)) << log;

  // A log last written on another day gets a new day line.
  struct timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3 * 86400, 0}};
  utimensat(AT_FDCWD, "log/qms32.log", old, 0);
  qmsLog("third");
  log = Read("log/qms32.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '@'), 2);
}

TEST_F(QmsToolsTest, MissingFoldersNeverCrash) {
  rmdir("log");
  rmdir("tmp");
  testing::internal::CaptureStdout();
  qmsConLog("nowhere to write");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "nowhere to write\r\n");
  EXPECT_FALSE(jvb::PathExists("log/qms32.log"));
}

TEST_F(QmsToolsTest, ConsoleRecordFileIsCapped) {
  // Start just below the cap; the next record starts the file again.
  {
    std::ofstream f("tmp/console.tmp", std::ios::binary);
    f.seekp(kConsoleFileCap - 1);
    f.put('\0');
  }
  qmsConMsg("after the cap");
  std::string recs = Read("tmp/console.tmp");
  ASSERT_EQ(recs.size(), 256u);
  EXPECT_EQ(recs.substr(9, 13), "after the cap");
}

TEST_F(QmsToolsTest, ErrFindIsQuietForNormalSearchEnds) {
  for (int code : {0, 2, 3, 18}) qmsErrFind(code);
  EXPECT_FALSE(jvb::PathExists("log/qms32.log"));
  qmsErrFind(5);
  std::string log = Read("log/qms32.log");
  EXPECT_NE(log.find("Error: SysFind returned 5 (TID: "), std::string::npos);
}

TEST(VisibleText, ControlBytesAndBrokenUtf8AreShownAsHex) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text ~", "plain text ~"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\r\n\t\x7f", "\\x0d\\x0a\\x09\\x7f"},
      {"\xff\xfe", "\\xff\\xfe"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // well-formed UTF-8 stays
      {"\xc2\x85", "\\xc2\\x85"},      // a C1 control in UTF-8 does not
      {"\xc0\xaf", "\\xc0\\xaf"},      // nor an overlong form
      {"\xe2\x82", "\\xe2\\x82"},      // nor a cut sequence
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(qmsVisibleText(in), out) << out;
}

TEST(ExitCodes, HaltNumbersSurviveTheEightBitStatus) {
  EXPECT_EQ(qmsEncodeExit(0), 0);
  EXPECT_EQ(qmsEncodeExit(1), 1);
  EXPECT_EQ(qmsEncodeExit(10003), 103);
  EXPECT_EQ(qmsEncodeExit(10099), 199);
  EXPECT_EQ(qmsEncodeExit(10100), 99);
  EXPECT_EQ(qmsEncodeExit(216), 216);
  for (int code : {0, 1, 10000, 10003, 10004, 10010, 10011, 10099, 10100, 200, 216, 217})
    EXPECT_EQ(qmsDecodeExit(qmsEncodeExit(code)), code) << code;
  // Nothing outside the halt range may decode into it.
  for (int code : {2, 5, 42, 255, 9999, 10101, -1})
    EXPECT_FALSE(qmsDecodeExit(qmsEncodeExit(code)) >= 10000 &&
                 qmsDecodeExit(qmsEncodeExit(code)) <= 10099)
        << code;
}

TEST(ExitCodes, HaltMessages) {
  EXPECT_EQ(qmsHaltMessage(10003),
            "- QMS component cannot be run directly, has to be called from: \"qms32\"");
  EXPECT_EQ(qmsHaltMessage(10004), "- QMS detected a blocked stability monitor");
  EXPECT_EQ(qmsHaltMessage(10010),
            "- QMS is unable to start with this config, enable config check and retry");
  EXPECT_EQ(qmsHaltMessage(10011), "- QMS is unable to upgrade from this version, fresh install required");
  EXPECT_EQ(qmsHaltMessage(10100), "- QMS is unable in init sockets");
  EXPECT_EQ(qmsHaltMessage(10002), "- QMS cannot find required Rexx file: \"libregina.so.3\"");
  EXPECT_EQ(qmsHaltMessage(10005),
            "- QMS site is in use by another server, \"qms32srv.lck\" is locked");
  EXPECT_EQ(qmsHaltMessage(4711), "- Unknown error");
}

static int g_restored = 0;
static void CountRestore() { ++g_restored; }

TEST_F(QmsToolsTest, HaltWritesBothLinesAndEndsWithTheEncodedNumber) {
  EXPECT_EXIT(
      {
        qmsSetTerminalRestore(CountRestore);
        qmsHalt(true, 10004);
      },
      ::testing::ExitedWithCode(104), "");
  std::string log = Read("log/qms32.log");
  EXPECT_NE(log.find("qmsHalt #10004\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("- QMS detected a blocked stability monitor\r\n"), std::string::npos);
  EXPECT_EXIT(qmsHalt(false, 10003), ::testing::ExitedWithCode(103), "");
  log = Read("log/qms32.log");
  EXPECT_EQ(log.find("#10003"), std::string::npos) << "console only";
}
