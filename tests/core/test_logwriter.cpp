#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "server/core/logwriter.h"
#include "tests/toolbox/tempdir.h"

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::vector<std::string> out;
  std::string all = ss.str();
  for (size_t at = 0; at < all.size();) {
    size_t end = all.find("\r\n", at);
    if (end == std::string::npos) {
      out.push_back(all.substr(at));  // a torn last line shows up as such
      break;
    }
    out.push_back(all.substr(at, end - at));
    at = end + 2;
  }
  return out;
}

jvb::DateTime Day(int day, int hour) {
  jvb::DateTime t;
  t.year = 2031;
  t.month = 3;
  t.day = day;
  t.hour = hour;
  t.weekday = (day + 1) % 7;
  return t;
}

}  // namespace

TEST(LogWriter, KeepsOneDescriptorAndWritesTheDayLineWhenTheDayChanges) {
  TempDir dir;
  const std::string path = dir / "service.log";
  jvb::DateTime now = Day(10, 23);
  qmsTLogWriter log([&] { return now; });
  ASSERT_TRUE(log.Open(path));
  const int fd = log.Descriptor();
  ASSERT_GE(fd, 0);
  log.Stamped("first");
  log.Stamped("second");
  now = Day(11, 0);
  log.Stamped("third");
  EXPECT_EQ(log.Descriptor(), fd);
  EXPECT_EQ(Lines(path),
            (std::vector<std::string>{jvb::FormatDayLine(Day(10, 23)), "23:00:00.00 first",
                                      "23:00:00.00 second", jvb::FormatDayLine(Day(11, 0)),
                                      "00:00:00.00 third"}));
  log.Close();
  EXPECT_EQ(log.Descriptor(), -1);
}

// Lines from many threads, through one writer or through two writers of the same file,
// come out whole: every line is one that was written, each exactly once.
TEST(LogWriter, ConcurrentWritersNeverInterleaveInsideALine) {
  constexpr int kThreads = 8, kLines = 200;
  for (int writers : {1, 2}) {
    TempDir dir;
    const std::string path = dir / "ext.log";
    qmsTLogWriter a, b;
    ASSERT_TRUE(a.Open(path));
    ASSERT_TRUE(b.Open(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        qmsTLogWriter& w = (writers == 2 && t % 2) ? b : a;
        for (int i = 0; i < kLines; ++i)
          w.Raw(std::to_string(t) + ":" + std::to_string(i) + ":" +
                std::string(300 + i, static_cast<char>('a' + t)));
      });
    for (auto& th : threads) th.join();
    std::map<std::string, int> seen;
    for (const auto& line : Lines(path)) ++seen[line];
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines)) << writers;
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kLines; ++i)
        EXPECT_EQ(seen[std::to_string(t) + ":" + std::to_string(i) + ":" +
                       std::string(300 + i, static_cast<char>('a' + t))],
                  1);
  }
}

// A log deleted by hand is created afresh under its name, starting with a day line.
TEST(LogWriter, ALogRemovedByHandComesBack) {
  TempDir dir;
  const std::string path = dir / "service.log";
  qmsTLogWriter log([] { return Day(12, 8); });
  ASSERT_TRUE(log.Open(path));
  log.Stamped("before");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  for (int i = 0; i < 500 && access(path.c_str(), F_OK) != 0; ++i) {
    log.Stamped("after");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::string> lines = Lines(path);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], jvb::FormatDayLine(Day(12, 8)));
  EXPECT_EQ(lines.back(), "08:00:00.00 after");
}
