#include "toolbox/timer.h"

#include "toolbox/timeutil.h"

jvbTTimer& jvbTTimer::operator=(const jvbTTimer& other) {
  start_ns_.store(other.start_ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  stop_ns_.store(other.stop_ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return *this;
}

void jvbTTimer::Reset() {
  stop_ns_.store(-1, std::memory_order_relaxed);
  start_ns_.store(jvb::MonotonicNs(), std::memory_order_relaxed);
}

void jvbTTimer::Stop() { stop_ns_.store(jvb::MonotonicNs(), std::memory_order_relaxed); }

int64_t jvbTTimer::ElapsedNs() const {
  int64_t stop = stop_ns_.load(std::memory_order_relaxed);
  int64_t end = stop >= 0 ? stop : jvb::MonotonicNs();
  return end - start_ns_.load(std::memory_order_relaxed);
}

int64_t jvbTTimer::ElapsedMs() const { return ElapsedNs() / 1000000; }

double jvbTTimer::ElapsedSeconds() const { return static_cast<double>(ElapsedNs()) / 1e9; }
