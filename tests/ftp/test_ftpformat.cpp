// The FTP service's pure pieces: command splitting, PORT/EPRT arguments, the passive range,
// REST offsets, OPTS MLST and FEAT, listing lines and dates, MLST facts and the 64-bit
// transfer figures.
#include <gtest/gtest.h>

#include <ctime>

#include "server/ftp/ftpformat.h"

using namespace qmsftp;

TEST(FtpFormat, SplitsCommandOutsideQuotes) {
  std::string c, a;
  SplitCommand("stor \"my file.txt\"", c, a);
  EXPECT_EQ(c, "STOR");
  EXPECT_EQ(a, "my file.txt");
  SplitCommand("\"a b\" rest", c, a);
  EXPECT_EQ(c, "\"A B\"");
  SplitCommand("NOOP", c, a);
  EXPECT_EQ(a, "");
}

TEST(FtpFormat, PortArguments) {
  struct {
    const char* text;
    PortResult result;
    uint32_t address;
    uint16_t port;
  } const cases[] = {
      {"127,0,0,1,4,1", prOk, 0x7F000001, 1025},
      {" 10,0,0,9,0,80 ", prOk, 0x0A000009, 80},
      {"1,2,3", prTooFew, 0, 0},
      {"1,2,3,4,5,", prTooFew, 0, 0},
      {"1,2,3,4,5,6,7", prInvalid, 0, 0},
      {"256,0,0,1,4,1", prInvalid, 0, 0},  // an octet above 255 never wraps
      {"1,2,3,4,0,0", prInvalid, 0, 0},    // port 0
      {"1,2,3,4,1000,1", prInvalid, 0, 0},
      {"1,2,3,4,-1,5", prInvalid, 0, 0},
      {"a,b,c,d,e,f", prInvalid, 0, 0},
  };
  for (const auto& t : cases) {
    uint32_t a = 0;
    uint16_t p = 0;
    EXPECT_EQ(ParsePort(t.text, a, p), t.result) << t.text;
    if (t.result == prOk) {
      EXPECT_EQ(a, t.address) << t.text;
      EXPECT_EQ(p, t.port) << t.text;
    }
  }
}

TEST(FtpFormat, EprtArguments) {
  uint32_t a = 0;
  uint16_t p = 0;
  EXPECT_EQ(ParseEprt("|1|127.0.0.1|5282|", a, p), prOk);
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_EQ(p, 5282);
  EXPECT_EQ(ParseEprt("!1!10.1.2.3!21!", a, p), prOk);
  for (const char* bad : {"|2|::1|5282|", "|1|127.0.0.1|0|", "|1|127.0.0.1|65536|", "|1|1.2.3|80|",
                          "|1|127.0.0.1|80|x", "", "junk"})
    EXPECT_NE(ParseEprt(bad, a, p), prOk) << bad;
}

TEST(FtpFormat, PassiveRangeIsClamped) {
  int first = 0, count = 0;
  ASSERT_TRUE(ParsePassiveRange("60000 10000", first, count));
  EXPECT_EQ(first, 60000);
  EXPECT_EQ(count, 5536);  // never past 65535
  ASSERT_TRUE(ParsePassiveRange("80 0", first, count));
  EXPECT_EQ(first, 1024);
  EXPECT_EQ(count, 1);  // never an empty range
  EXPECT_FALSE(ParsePassiveRange("", first, count));
}

TEST(FtpFormat, RestOffsetsAre64Bit) {
  EXPECT_EQ(ParseOffset("5368709120"), 5368709120LL);
  EXPECT_EQ(ParseOffset("0"), 0);
  EXPECT_EQ(ParseOffset("-5"), -1);
  EXPECT_EQ(ParseOffset("12x"), -1);
  EXPECT_EQ(ParseOffset("9999999999999999999999"), -1);
}

TEST(FtpFormat, MlstOptionsAndFeatures) {
  int facts = 15;
  EXPECT_EQ(ParseMlstOpts("size;UNKNOWN;Type;", facts), "size;type;");
  EXPECT_EQ(facts, 1 | 4);
  EXPECT_EQ(FeatMlstLine(facts), " MLST type*;size*;modify;perm;");
  EXPECT_EQ(ParseMlstOpts("", facts), "");
  EXPECT_EQ(FeatMlstLine(15), " MLST type*;size*;modify*;perm*;");
}

TEST(FtpFormat, MlsFactsAndPermLetters) {
  const time_t t = 0;
  const std::string stamp = Stamp14(t);
  EXPECT_EQ(MlsFacts(15, "file", 5368709120LL, t, 0x7F),
            "type=file;size=5368709120;modify=" + stamp + ";perm=dfarw; ");
  EXPECT_EQ(MlsFacts(15, "dir", 0, t, 0x05), "type=dir;modify=" + stamp + ";perm=el; ");
  EXPECT_EQ(MlsFacts(1 | 2, "file", 7, t, 4), "modify=" + stamp + "; ");  // no type, no size
  EXPECT_EQ(PermLetters(true, 0x17), "dfeclmp");
  EXPECT_EQ(PermLetters(false, 0x06), "frw");
}

TEST(FtpFormat, ListingDatesAndLines) {
  jvb::DateTime now{};
  now.year = 2026;
  now.month = 3;
  now.day = 10;
  struct tm tm {};
  tm.tm_year = 2025 - 1900;  // previous year, later month: still shows the time
  tm.tm_mon = 10;
  tm.tm_mday = 5;
  tm.tm_hour = 12;
  tm.tm_min = 30;
  tm.tm_isdst = -1;
  EXPECT_EQ(DateString(mktime(&tm), now), "Nov  5 12:30 ");
  tm.tm_mon = 1;  // previous year, earlier month: the year
  EXPECT_EQ(DateString(mktime(&tm), now), "Feb  5  2025 ");
  EXPECT_EQ(LongLine(false, "rw-r--r--", 1, "bob", "users", 5368709120LL, "Feb  5  2025 "),
            "-rw-r--r--   1 bob      users    5368709120 Feb  5  2025 ");
  EXPECT_EQ(LongLine(true, "rwxr-xr-x", 5, "ftp", "ftp", 0, "X "),
            "drwxr-xr-x   5 ftp      ftp            0 X ");
}

TEST(FtpFormat, TransferFiguresDoNotOverflow) {
  const int64_t size = 5368709120LL;  // 5 GiB
  EXPECT_EQ(Percent(size / 2, size), 50);
  EXPECT_EQ(Percent(size, size), 100);
  EXPECT_EQ(Percent(1, 0), 0);
  EXPECT_EQ(RateKB(size, 10), 524288);
  EXPECT_EQ(RateKB(size, 0), 0);
  EXPECT_EQ(TimeLeft(size / 4, size, 30), 90);
  EXPECT_EQ(TimeLeft(1024, INT64_MAX / 2, 1000000), 0x7FFFFFFF);
  EXPECT_EQ(TimeLeft(100, size, 5), 0);  // under 1 kB done: no estimate
}

TEST(FtpFormat, LanguageNamesAndPlaceholders) {
  EXPECT_TRUE(ValidLanguage("de"));
  EXPECT_TRUE(ValidLanguage("pt_BR-x"));
  for (const char* bad : {"", "../x", "a/b", "de.res", "abcdefghijklmnopq", "d e"})
    EXPECT_FALSE(ValidLanguage(bad)) << bad;
  EXPECT_EQ(FillAB("%A% of %B% (%A%)", "1", "2"), "1 of 2 (1)");
  EXPECT_EQ(FillAB("%A%-%B%", "%B%", "x"), "%B%-x");  // a value is never filled in again
}
