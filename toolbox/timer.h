// jvbTTimer: elapsed time since its last reset, on the monotonic clock, so that a
// daylight-saving change or a clock step never looks like a stall.
#pragma once

#include <cstdint>

class jvbTTimer {
 public:
  jvbTTimer() { Reset(); }
  void Reset();
  void Stop();   // freezes the elapsed time
  int64_t ElapsedMs() const;
  double ElapsedSeconds() const;

 private:
  int64_t start_ns_ = 0;
  int64_t stop_ns_ = -1;
};
