#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/trace.h"

namespace {


// What follows the "hh:nn:ss.mmm " stamp of a trace line; "?" when the stamp is malformed.
std::string Body(const std::string& line) {
  static const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d (.*)$)");
  std::smatch m;
  return std::regex_match(line, m, stamp) ? m[1].str() : "?";
}

size_t Bars(const std::string& body) { return body.find_first_not_of('|'); }

bool HasDuration(const std::string& body) {
  static const std::regex dur(R"(.* \[\d+\.\d{5}\]$)");
  return std::regex_match(body, dur);
}

std::string StripDuration(const std::string& body) {
  return HasDuration(body) ? body.substr(0, body.rfind(" [")) : body;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_name_ = jvbTraceFileName;
    saved_max_ = jvbTraceMaxLines;
    jvbTraceFileName = dir_ / "t%4.4x%s.trc";
  }
  void TearDown() override {
    jvbTraceEnabled = false;
    jvbTraceFileName = saved_name_;
    jvbTraceMaxLines = saved_max_;
  }

  // Runs body in a fresh thread (fresh trace state) and returns that thread's id.
  static long InThread(const std::function<void()>& body) {
    long tid = 0;
    std::thread t([&] {
      tid = jvb::CurrentThreadId();
      body();
    });
    t.join();
    return tid;
  }

  std::string FileOf(long tid, char letter) const {
    char name[64];
    std::snprintf(name, sizeof name, "t%4.4lx%c.trc", tid, letter);
    return dir_ / name;
  }

  size_t FilesInDir() const {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir_.path());
         it != std::filesystem::directory_iterator(); ++it) {
      ++n;
    }
    return n;
  }

  TempDir dir_;

 private:
  std::string saved_name_;
  int saved_max_ = 0;
};

}  // namespace

TEST_F(TraceTest, EntryAndExitLinesShareDepthAndExitsCarryDurations) {
  jvbTraceEnabled = true;
  const long tid = InThread([] {
    jvbTraceThreadStart();
    jvbTrace(">A");
    jvbTrace(">B");
    jvbTrace("note");
    jvbTrace("<B");
    jvbTrace("<A");
    jvbTrace("<Stray");  // no matching entry: no duration
    {
      jvbTraceScope scope("C");
      jvbTrace("inside");
    }
    jvbTraceThreadEnd();
  });
  const auto lines = ReadLines(FileOf(tid, 'a'));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(R"(^\d\d:\d\d:\d\d\.\d\d\d Thread trace activated \(\d{4}/\d\d/\d\d\)$)")))
      << lines[0];
  const std::vector<std::string> want = {">A",     "|>B", "||note",  "|<B", "<A",
                                         "<Stray", ">C",  "|inside", "<C"};
  const std::vector<bool> timed = {false, false, false, true, true, false, false, false, true};
  for (size_t i = 0; i < want.size(); ++i) {
    const std::string body = Body(lines[i + 1]);
    EXPECT_EQ(StripDuration(body), want[i]) << lines[i + 1];
    EXPECT_EQ(HasDuration(body), timed[i]) << lines[i + 1];
  }
}

TEST_F(TraceTest, FilesSwitchAtoBtoCtoBAndTheSwitchingLineOpensTheNewFile) {
  jvbTraceEnabled = true;
  jvbTraceMaxLines = 3;
  const long tid = InThread([] {
    jvbTraceThreadStart();
    for (int i = 1; i <= 20; ++i) jvbTrace("L" + std::to_string(i));
    jvbTraceThreadEnd();
  });
  auto bodies = [&](char letter) {
    std::vector<std::string> out;
    for (const auto& l : ReadLines(FileOf(tid, letter))) out.push_back(Body(l));
    return out;
  };
  const auto a = bodies('a'), b = bodies('b'), c = bodies('c');
  // a: 4 counted lines (count > 3 switches); each later file: the uncounted switching line
  // and 4 counted ones. L15 went to b again, which was emptied first.
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[1], "L1");
  EXPECT_EQ(a[4], "L4");
  ASSERT_EQ(b.size(), 6u);
  EXPECT_EQ(b[1], "L15");
  EXPECT_EQ(b[5], "L19");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1], "L20");
  const std::regex continued(R"(^Thread trace continued \(\d{4}/\d\d/\d\d\)$)");
  EXPECT_TRUE(std::regex_match(b[0], continued)) << b[0];
  EXPECT_TRUE(std::regex_match(c[0], continued)) << c[0];
  EXPECT_FALSE(std::filesystem::exists(FileOf(tid, 'd')));
}

TEST_F(TraceTest, ExistingFileAIsOverwrittenFromItsStartWithoutTruncation) {
  jvbTraceEnabled = true;
  const std::string leftover(500, 'X');
  const long tid = InThread([&] {
    std::ofstream(FileOf(jvb::CurrentThreadId(), 'a'), std::ios::binary) << leftover << "\r\n";
    jvbTraceThreadStart();
    jvbTrace("fresh");
    jvbTraceThreadEnd();
  });
  const auto lines = ReadLines(FileOf(tid, 'a'));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[0].find("Thread trace activated"), std::string::npos);
  EXPECT_EQ(Body(lines[1]), "fresh");
  EXPECT_NE(lines.back().find("XXXX"), std::string::npos);  // old text stays behind
}

TEST_F(TraceTest, UnopenableFileCountsLinesUntilTheNextSwitchOpensOne) {
  jvbTraceEnabled = true;
  jvbTraceMaxLines = 2;
  const long tid = InThread([&] {
    // A directory in the place of file "a" makes it impossible to open.
    ASSERT_EQ(mkdir(FileOf(jvb::CurrentThreadId(), 'a').c_str(), 0755), 0);
    jvbTraceThreadStart();
    for (int i = 1; i <= 4; ++i) jvbTrace("L" + std::to_string(i));
    jvbTraceThreadEnd();
  });
  const auto b = ReadLines(FileOf(tid, 'b'));
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(Body(b[1]), "L4");
}

TEST_F(TraceTest, NameTemplateTakesThreadIdInLowerCaseHexAndBackslashesAsSeparators) {
  jvbTraceEnabled = true;
  ASSERT_TRUE(jvb::ForceDirectories(dir_ / "log"));
  jvbTraceFileName = dir_.path() + "/log\\q%4.4x%s.trc";
  const long tid = InThread([] {
    jvbTraceThreadStart();
    jvbTraceThreadEnd();
  });
  char name[64];
  std::snprintf(name, sizeof name, "log/q%04lxa.trc", tid);
  EXPECT_TRUE(std::filesystem::exists(dir_ / name)) << name;
}

TEST_F(TraceTest, NothingIsWrittenWhenTracingIsOff) {
  // A thread that starts while tracing is off never traces, even when it is switched on.
  InThread([] {
    jvbTraceThreadStart();
    jvbTrace(">Off");
    jvbTraceEnabled = true;
    jvbTrace(">On");
    jvbTraceArgs(">Args", jvbTraceValue::Integer(1));
    jvbTraceThreadEnd();
  });
  EXPECT_EQ(FilesInDir(), 0u);

  // Switched off after the start: the lines of that time are dropped, not delayed.
  jvbTraceEnabled = true;
  const long tid = InThread([] {
    jvbTraceThreadStart();
    jvbTrace("before");
    jvbTraceEnabled = false;
    jvbTrace("while off");
    jvbTraceEnabled = true;
    jvbTrace("after");
    jvbTraceThreadEnd();
    jvbTrace("after end");
  });
  const auto lines = ReadLines(FileOf(tid, 'a'));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Body(lines[1]), "before");
  EXPECT_EQ(Body(lines[2]), "after");
}

TEST_F(TraceTest, NestingBeyondEightyLevelsStaysAtTheDeepestLevelAndUnwindsEvenly) {
  jvbTraceEnabled = true;
  constexpr int kDeep = 100;
  const long tid = InThread([] {
    jvbTraceThreadStart();
    for (int i = 0; i < kDeep; ++i) jvbTrace(">F" + std::to_string(i));
    for (int i = kDeep - 1; i >= 0; --i) jvbTrace("<F" + std::to_string(i));
    jvbTrace("done");
    jvbTraceThreadEnd();
  });
  const auto lines = ReadLines(FileOf(tid, 'a'));
  ASSERT_EQ(lines.size(), static_cast<size_t>(2 * kDeep + 2));
  int timed = 0;
  for (int i = 0; i < kDeep; ++i) {
    const std::string entry = Body(lines[1 + i]);
    const std::string exit = Body(lines[2 * kDeep - i]);
    EXPECT_EQ(Bars(entry), static_cast<size_t>(std::min(i, 80))) << entry;
    EXPECT_EQ(Bars(exit), Bars(entry)) << exit;
    EXPECT_EQ(StripDuration(exit).substr(Bars(exit)), "<F" + std::to_string(i));
    if (HasDuration(exit)) ++timed;
  }
  EXPECT_EQ(timed, 80);  // only the calls that have a slot in the start-time table
  EXPECT_EQ(Body(lines.back()), "done");
}

TEST_F(TraceTest, ArgsAreWrittenAsEntryAndExitLines) {
  jvbTraceEnabled = true;
  const long tid = InThread([] {
    jvbTraceThreadStart();
    jvbTraceArgs(">qmsTUserDatabase.FindUser", jvbTraceValue::Str("bob"));
    jvbTraceArgs("<qmsTUserDatabase.FindUser", jvbTraceValue::Boolean(true));
    // The classic call counts values minus one: only the first value is shown.
    jvbTraceArgsWrite(0, {jvbTraceValue::Integer(1), jvbTraceValue::Integer(2)}, "first");
    jvbTraceThreadEnd();
  });
  const auto lines = ReadLines(FileOf(tid, 'a'));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Body(lines[1]), ">qmsTUserDatabase.FindUser(astr('bob'))");
  EXPECT_EQ(StripDuration(Body(lines[2])), "<qmsTUserDatabase.FindUser(bool(1))");
  EXPECT_TRUE(HasDuration(Body(lines[2])));
  EXPECT_EQ(Body(lines[3]), "first(int(1))");
}

TEST(TraceArgs, EachValueTypeHasItsOwnForm) {
  const std::vector<jvbTraceValue> all = {
      jvbTraceValue::Integer(-5), jvbTraceValue::Boolean(true),
      jvbTraceValue::Chr('x'),    jvbTraceValue::Ext(1234.5),
      jvbTraceValue::SStr("ab"),  jvbTraceValue::Ptr(reinterpret_cast<void*>(0xbeef12)),
      jvbTraceValue::PCh("hi"),   jvbTraceValue::Obj(nullptr),
      jvbTraceValue::Cls("TFoo"), jvbTraceValue::Cur(1234.5),
      jvbTraceValue::Str("u"),    jvbTraceValue::Other()};
  EXPECT_EQ(jvbFormatTraceArgs("f", all),
            "f(int(-5); bool(1); ch('x'); ext(1,234.50); sstr('ab'); ptr(0000000000BEEF12); "
            "pch('hi'); obj(); cls(TFoo); cur(1,234.50); astr('u'); unknown())");
  EXPECT_EQ(jvbFormatTraceArgs("f", {}), "f()");
  EXPECT_EQ(jvbFormatTraceArgs("f", {jvbTraceValue::Boolean(false)}), "f(bool(0))");
}

TEST(TraceArgs, NumbersUseThousandsSeparatorsAndTwoDecimals) {
  auto ext = [](double v) { return jvbFormatTraceArgs("", {jvbTraceValue::Ext(v)}); };
  EXPECT_EQ(ext(0), "(ext(0.00))");
  EXPECT_EQ(ext(999.999), "(ext(1,000.00))");
  EXPECT_EQ(ext(-1234567.891), "(ext(-1,234,567.89))");
  EXPECT_EQ(ext(123456), "(ext(123,456.00))");
}

TEST(TraceArgs, LongTextsAreLeftOutAndTheWholeIsCutTo255) {
  const std::string big(3000, 'a');
  EXPECT_EQ(jvbFormatTraceArgs("f", {jvbTraceValue::Str(big)}), "f(astr())");
  EXPECT_EQ(jvbFormatTraceArgs("f", {jvbTraceValue::PCh(big.c_str())}), "f(pch())");
  EXPECT_EQ(jvbFormatTraceArgs("f", {jvbTraceValue::Str(std::string(2049, 'a'))}), "f(astr())");
  // 2048 characters are still shown, but only as far as the 255-character cut.
  const std::string shown = jvbFormatTraceArgs("f", {jvbTraceValue::Str(std::string(2048, 'a'))});
  EXPECT_EQ(shown.size(), 255u);
  EXPECT_EQ(shown.substr(0, 8), "f(astr('");
  EXPECT_EQ(jvbFormatTraceArgs(std::string(300, 'n'), {}).size(), 255u);
}

TEST(TraceText, ErrorTexts) {
  EXPECT_EQ(jvbErrorText(-5), "Operating system error #5");
  EXPECT_EQ(jvbErrorText(5), "Operating system error #5");
  EXPECT_EQ(jvbErrorText(88), "Operating system error #88");
  EXPECT_EQ(jvbErrorText(89), "Unidentified error #89");
  EXPECT_EQ(jvbErrorText(0), "Unidentified error #0");
  EXPECT_EQ(jvbErrorText(218), "Unidentified error #218");
  EXPECT_EQ(jvbErrorText(200), "Division by zero");
  EXPECT_EQ(jvbErrorText(158), "Sector Not Found");
  EXPECT_EQ(jvbErrorText(216), "General Protection fault");
  EXPECT_EQ(jvbErrorText(217), "Unhandled exception");
  EXPECT_EQ(jvbErrorText(219), "Invalid type cast");
}

TEST(TraceText, PlatformTextNamesTheKernelVersion) {
  const std::string text = jvbPlatformText();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(text, m, std::regex(R"(^Unknown platform v(\d+)\.(\d+) \(Rev\. -?\d+\)$)")))
      << text;
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(std::string(u.release).rfind(m[1].str() + "." + m[2].str(), 0), 0u) << u.release;
}
