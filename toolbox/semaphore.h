// jvbTSemaphore: one synchronisation object chosen at creation. Kind 0 is a re-entrant
// mutex, kind 1 a manual-reset event. The wait time is in milliseconds; 0 makes a wait a
// single try, 0x7FFFFFFF waits without limit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class jvbTSemaphore {
 public:
  static constexpr int kMutex = 0;
  static constexpr int kEvent = 1;
  static constexpr int32_t kInfinite = 0x7FFFFFFF;

  explicit jvbTSemaphore(int kind = kMutex, int32_t waitMs = kInfinite);
  jvbTSemaphore(const jvbTSemaphore&) = delete;
  jvbTSemaphore& operator=(const jvbTSemaphore&) = delete;

  bool Wait();     // mutex: acquire; event: wait until set. True when within the wait time.
  void Release();  // mutex
  void Set();      // event
  void Reset();    // event
  void SetWaitTime(int32_t ms) { wait_ms_ = ms; }
  int32_t WaitTime() const { return wait_ms_; }
  int Kind() const { return kind_; }

 private:
  int kind_;
  int32_t wait_ms_;
  std::recursive_timed_mutex mutex_;
  // Owner and depth of the mutex, so that a release by a thread that does not hold it is
  // ignored (as the system refuses it) instead of undefined.
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // touched only by the owner
  std::mutex event_mutex_;
  std::condition_variable event_cv_;
  bool signalled_ = false;
};
