#include "toolbox/timer.h"

#include "toolbox/timeutil.h"

void jvbTTimer::Reset() {
  start_ns_ = jvb::MonotonicNs();
  stop_ns_ = -1;
}

void jvbTTimer::Stop() { stop_ns_ = jvb::MonotonicNs(); }

int64_t jvbTTimer::ElapsedMs() const {
  int64_t end = stop_ns_ >= 0 ? stop_ns_ : jvb::MonotonicNs();
  return (end - start_ns_) / 1000000;
}

double jvbTTimer::ElapsedSeconds() const {
  int64_t end = stop_ns_ >= 0 ? stop_ns_ : jvb::MonotonicNs();
  return static_cast<double>(end - start_ns_) / 1e9;
}
