// jvbTIdentValueList (names without regard to case) and jvbTSemaphore (re-entrant mutex
// with a try mode, manual-reset event).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/identvaluelist.h"
#include "toolbox/semaphore.h"

namespace {

TEST(IdentValueList, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  jvbTIdentValueList l;
  l.AddValue("Host", "a");
  l.AddValue("path", "/x");
  l.AddValue("HOST", "b");  // replaces, does not add
  EXPECT_EQ(l.Count(), 2u);
  EXPECT_EQ(l.GetValue("host"), "b");
  EXPECT_EQ(l.Names(), (std::vector<std::string>{"Host", "path"}));

  std::string v = "unchanged";
  EXPECT_FALSE(l.FindValue("Hos", v));
  EXPECT_EQ(v, "unchanged");
  EXPECT_TRUE(l.FindValue("PATH", v));
  EXPECT_EQ(v, "/x");
  EXPECT_EQ(l.GetValue("missing"), "");

  l.AddValue("empty", "");
  EXPECT_TRUE(l.FindValue("EMPTY", v));
  EXPECT_EQ(v, "");

  l.DeleteValue("hOsT");
  EXPECT_FALSE(l.FindValue("Host", v));
  l.DeleteValue("never there");
  EXPECT_EQ(l.Count(), 2u);
  l.Clear();
  EXPECT_EQ(l.Count(), 0u);
  EXPECT_EQ(l.GetValue("path"), "");
}

TEST(IdentValueList, OrderIgnoresCase) {
  jvbTIdentValueList l;
  for (const char* n : {"b", "A", "c", "B2", "a1"}) l.AddValue(n, n);
  EXPECT_EQ(l.Names(), (std::vector<std::string>{"A", "a1", "b", "B2", "c"}));
}

// Runs f on another thread and returns its result.
template <typename F>
bool OnOtherThread(F f) {
  bool result = false;
  std::thread t([&] { result = f(); });
  t.join();
  return result;
}

TEST(Semaphore, MutexIsReentrantAndZeroWaitIsATry) {
  jvbTSemaphore m(jvbTSemaphore::kMutex, 0);
  EXPECT_EQ(m.Kind(), jvbTSemaphore::kMutex);
  EXPECT_EQ(m.WaitTime(), 0);
  ASSERT_TRUE(m.Wait());
  ASSERT_TRUE(m.Wait());  // the owner may take it again
  EXPECT_FALSE(OnOtherThread([&] { return m.Wait(); }));
  // A release by a thread that does not own it changes nothing.
  std::thread([&] { m.Release(); }).join();
  EXPECT_FALSE(OnOtherThread([&] { return m.Wait(); }));
  m.Release();
  EXPECT_FALSE(OnOtherThread([&] { return m.Wait(); }));  // still held once
  m.Release();
  EXPECT_TRUE(OnOtherThread([&] {
    bool got = m.Wait();
    if (got) m.Release();
    return got;
  }));
  m.Release();  // not held: ignored
}

TEST(Semaphore, MutexWaitTimeLimitsTheWait) {
  jvbTSemaphore m;  // unlimited by default
  EXPECT_EQ(m.WaitTime(), jvbTSemaphore::kInfinite);
  ASSERT_TRUE(m.Wait());
  m.SetWaitTime(20);
  EXPECT_FALSE(OnOtherThread([&] { return m.Wait(); }));

  // An unlimited wait returns once the owner lets go.
  m.SetWaitTime(jvbTSemaphore::kInfinite);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    acquired = m.Wait();
    m.Release();
  });
  m.Release();
  waiter.join();
  EXPECT_TRUE(acquired.load());
}

TEST(Semaphore, EventIsManualReset) {
  jvbTSemaphore e(jvbTSemaphore::kEvent, 0);
  EXPECT_EQ(e.Kind(), jvbTSemaphore::kEvent);
  EXPECT_FALSE(e.Wait());
  e.SetWaitTime(20);
  EXPECT_FALSE(e.Wait());
  e.Set();
  EXPECT_TRUE(e.Wait());
  EXPECT_TRUE(e.Wait());  // stays set until reset
  EXPECT_TRUE(OnOtherThread([&] { return e.Wait(); }));
  e.Reset();
  EXPECT_FALSE(e.Wait());
  e.Release();  // meaningless for an event
  EXPECT_FALSE(e.Wait());
}

TEST(Semaphore, SetWakesUnlimitedWaiters) {
  jvbTSemaphore e(jvbTSemaphore::kEvent);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.Wait()) ++woken;
    });
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

}  // namespace
