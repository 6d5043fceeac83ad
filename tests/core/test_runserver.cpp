#include <gtest/gtest.h>

#include "server/core/runserver.h"
#include "toolbox/timeutil.h"

namespace {

// Epoch and milliseconds of a local time stamp, as the launcher would have formatted it.
std::string StampAt(time_t t, int ms) { return jvb::FormatLauncherStamp(jvb::ToLocal(t, ms)); }

}  // namespace

TEST(LauncherProof, FiveSecondsPassSixHalt) {
  time_t now = 1765000000;
  EXPECT_TRUE(qmsCheckLauncherProof({StampAt(now, 0)}, now, 0));
  EXPECT_TRUE(qmsCheckLauncherProof({StampAt(now - 5, 0)}, now, 999)) << "5.999 s truncates to 5";
  EXPECT_FALSE(qmsCheckLauncherProof({StampAt(now - 6, 0)}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({StampAt(now - 6, 500)}, now, 600));
  EXPECT_TRUE(qmsCheckLauncherProof({StampAt(now + 3600, 0)}, now, 0)) << "the future passes";
  EXPECT_TRUE(qmsCheckLauncherProof({StampAt(now - 5, 10)}, now, 5)) << "4.995 s";
}

TEST(LauncherProof, AnyOtherShapeFails) {
  time_t now = 1765000000;
  std::string good = StampAt(now, 0);
  EXPECT_FALSE(qmsCheckLauncherProof({}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({good, good}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({"Quillmar"}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({good + "x"}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({std::string(5000, '9')}, now, 0));
  EXPECT_FALSE(qmsCheckLauncherProof({std::string("2026\0" "1208010203.1", 17)}, now, 0));
  EXPECT_TRUE(qmsIsStandalone({"Quillmar"}));
  EXPECT_TRUE(qmsIsStandalone({"Quillmar", "extra"}));
  EXPECT_FALSE(qmsIsStandalone({"quillmar"}));
  EXPECT_FALSE(qmsIsStandalone({}));
}

TEST(LauncherProof, DaylightSavingChangeDoesNotAgeTheStamp) {
  // 2026-03-29 01:59:59 CET is followed by 03:00:00 CEST: one real second, one wall hour.
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  time_t before = 1774745999;  // 01:59:59 CET
  std::string stamp = StampAt(before, 0);
  EXPECT_EQ(stamp, "20260329015959.0");
  EXPECT_TRUE(qmsCheckLauncherProof({stamp}, before + 2, 0));
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(ServerBanner, LinesAreAlignedAsShown) {
  auto lines = qmsServerBannerLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(78, '-'));
  EXPECT_EQ(lines[1].rfind(" Quillmar/32 v0.9.5 Server", 0), 0u);
  EXPECT_EQ(lines[1].size(), 26u + 46u);
  EXPECT_EQ(lines[2].rfind("Build ID: Jan 02 2003 20:00 (Beta)", 0), 0u);
  EXPECT_EQ(lines[2].size(), 34u + 44u);
  EXPECT_NE(lines[2].find("https://quillmar.example/"), std::string::npos);
}
