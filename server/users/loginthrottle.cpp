#include "server/users/loginthrottle.h"

#include <algorithm>
#include <thread>

qmsTLoginThrottle::qmsTLoginThrottle(Now now) : now_(std::move(now)) {
  if (!now_) now_ = [] { return Clock::now(); };
}

int qmsTLoginThrottle::DelayFor(int failures, int baseMs) {
  if (baseMs <= 0) return 0;
  if (failures <= kFreeFailures) return baseMs;
  // Doubling stops well before the shift could overflow; the cap is reached long before.
  const int doublings = std::min(failures - kFreeFailures, 16);
  const long long delay = static_cast<long long>(baseMs) << doublings;
  return static_cast<int>(std::min<long long>(delay, std::max(kMaxDelayMs, baseMs)));
}

qmsTLoginThrottle::Map::iterator qmsTLoginThrottle::Live(const std::string& address,
                                                         Clock::time_point now) {
  auto it = entries_.find(address);
  if (it != entries_.end() && now - it->second.last > kForgetAfter) {
    entries_.erase(it);
    return entries_.end();
  }
  return it;
}

void qmsTLoginThrottle::MakeRoom(Clock::time_point now) {
  std::erase_if(entries_, [&](const auto& e) { return now - e.second.last > kForgetAfter; });
  if (entries_.size() < kMaxAddresses) return;
  auto oldest =
      std::min_element(entries_.begin(), entries_.end(),
                       [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
  entries_.erase(oldest);
}

bool qmsTLoginThrottle::HeldBack(const std::string& address) {
  std::lock_guard<std::mutex> g(mutex_);
  const Clock::time_point now = now_();
  auto it = Live(address, now);
  return it != entries_.end() && now < it->second.heldUntil;
}

qmsTLoginThrottle::Failure qmsTLoginThrottle::Failed(const std::string& address, int baseMs) {
  std::lock_guard<std::mutex> g(mutex_);
  const Clock::time_point now = now_();
  auto it = Live(address, now);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxAddresses) MakeRoom(now);
    it = entries_.emplace(address, Entry{}).first;
  }
  Entry& e = it->second;
  if (e.failures < 1000000) ++e.failures;
  e.last = now;
  Failure f;
  f.failures = e.failures;
  f.delayMs = DelayFor(e.failures, baseMs);
  if (e.failures > kFreeFailures) {
    e.heldUntil = std::max(e.heldUntil, now + std::chrono::milliseconds(f.delayMs));
    f.heldBackNow = e.failures == kFreeFailures + 1;
  }
  return f;
}

void qmsTLoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = Live(address, now_());
  if (it != entries_.end() && it->second.failures <= kFreeFailures) entries_.erase(it);
}

int qmsTLoginThrottle::Failures(const std::string& address) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = Live(address, now_());
  return it == entries_.end() ? 0 : it->second.failures;
}

size_t qmsTLoginThrottle::Size() {
  std::lock_guard<std::mutex> g(mutex_);
  return entries_.size();
}

void qmsWaitUnless(int ms, const std::atomic<bool>* cancel) {
  constexpr int kStepMs = 50;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!(cancel && *cancel)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(kStepMs)));
  }
}
