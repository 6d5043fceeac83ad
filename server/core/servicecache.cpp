#include "server/core/servicecache.h"


#include "toolbox/timeutil.h"

namespace {
double NowSeconds() { return static_cast<double>(jvb::MonotonicNs()) / 1e9; }
}  // namespace

void qmsTServiceCache::SetMaxCount(int32_t n) {
  std::lock_guard<std::mutex> g(lock_);
  max_count_ = n;
  CleanLocked();
}

void qmsTServiceCache::SetMaxSize(int64_t bytes) {
  std::lock_guard<std::mutex> g(lock_);
  max_size_ = bytes;
  CleanLocked();
}

void qmsTServiceCache::AddDocument(uint64_t stamp, const std::string& content,
                                   const std::string& key) {
  std::lock_guard<std::mutex> g(lock_);
  double now = NowSeconds();
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    total_ += static_cast<int64_t>(content.size()) - static_cast<int64_t>(it->second.content.size());
    it->second = Entry{content, stamp, 0, now, now};
    return;
  }
  entries_[key] = Entry{content, stamp, 0, now, now};
  total_ += static_cast<int64_t>(content.size());
  CleanLocked();
}

bool qmsTServiceCache::FindDocument(const std::string& key, uint64_t stamp, std::string& content) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second.stamp != stamp) return false;
  content = it->second.content;
  ++it->second.hits;
  it->second.lastAccess = NowSeconds();
  return true;
}

void qmsTServiceCache::Clean() {
  std::lock_guard<std::mutex> g(lock_);
  CleanLocked();
}

void qmsTServiceCache::CleanLocked() {
  while (!entries_.empty() &&
         (static_cast<int64_t>(entries_.size()) > max_count_ || total_ > max_size_)) {
    // Score: average seconds between hits. An entry never read since it was stored goes
    // first; otherwise the one read least often, so the hottest documents stay.
    auto candidate = entries_.end(), unread = entries_.end();
    double candidateScore = 0;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      const Entry& e = it->second;
      if (e.hits < 1) {
        if (unread == entries_.end() || e.created < unread->second.created) unread = it;
        continue;
      }
      double score = (e.lastAccess - e.created) / static_cast<double>(e.hits);
      if (candidate == entries_.end() || score > candidateScore) {
        candidate = it;
        candidateScore = score;
      }
    }
    if (unread != entries_.end()) candidate = unread;
    total_ -= static_cast<int64_t>(candidate->second.content.size());
    entries_.erase(candidate);
  }
}
