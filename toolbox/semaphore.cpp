#include "toolbox/semaphore.h"

#include <chrono>

jvbTSemaphore::jvbTSemaphore(int kind, int32_t waitMs)
    : kind_(kind == kEvent ? kEvent : kMutex), wait_ms_(waitMs) {}

bool jvbTSemaphore::Wait() {
  const int32_t ms = wait_ms_;
  if (kind_ == kEvent) {
    std::unique_lock<std::mutex> lock(event_mutex_);
    if (ms >= kInfinite) {
      event_cv_.wait(lock, [this] { return signalled_; });
      return true;
    }
    if (ms <= 0) return signalled_;
    return event_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; });
  }
  bool acquired;
  if (ms >= kInfinite) {
    mutex_.lock();
    acquired = true;
  } else if (ms <= 0) {
    acquired = mutex_.try_lock();
  } else {
    acquired = mutex_.try_lock_for(std::chrono::milliseconds(ms));
  }
  if (acquired) {
    owner_.store(std::this_thread::get_id());
    ++depth_;
  }
  return acquired;
}

void jvbTSemaphore::Release() {
  if (kind_ != kMutex || owner_.load() != std::this_thread::get_id()) return;
  if (--depth_ == 0) owner_.store(std::thread::id());
  mutex_.unlock();
}

void jvbTSemaphore::Set() {
  if (kind_ != kEvent) return;
  {
    std::lock_guard<std::mutex> lock(event_mutex_);
    signalled_ = true;
  }
  event_cv_.notify_all();
}

void jvbTSemaphore::Reset() {
  if (kind_ != kEvent) return;
  std::lock_guard<std::mutex> lock(event_mutex_);
  signalled_ = false;
}
