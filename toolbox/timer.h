// jvbTTimer: elapsed time since its last reset, on the monotonic clock, so that a
// daylight-saving change or a clock step never looks like a stall. Reset and read may come
// from different threads (the stability timer is reset by the main loop and read by
// sessions), so the stamps are atomics.
#pragma once

#include <atomic>
#include <cstdint>

class jvbTTimer {
 public:
  jvbTTimer() { Reset(); }
  jvbTTimer(const jvbTTimer& other) { *this = other; }
  jvbTTimer& operator=(const jvbTTimer& other);
  void Reset();
  void Stop();   // freezes the elapsed time
  int64_t ElapsedMs() const;
  double ElapsedSeconds() const;

 private:
  int64_t ElapsedNs() const;

  std::atomic<int64_t> start_ns_{0};
  std::atomic<int64_t> stop_ns_{-1};
};
