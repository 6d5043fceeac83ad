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
  AddShared(stamp, std::make_shared<const std::string>(content), key);
}

bool qmsTServiceCache::FindDocument(const std::string& key, uint64_t stamp, std::string& content) {
  Content shared;
  if (!FindShared(key, stamp, shared)) return false;
  content = *shared;
  return true;
}

void qmsTServiceCache::AddShared(uint64_t stamp, Content content, const std::string& key) {
  std::lock_guard<std::mutex> g(lock_);
  PutLocked(stamp, std::move(content), key);
}

void qmsTServiceCache::PutLocked(uint64_t stamp, Content content, const std::string& key) {
  double now = NowSeconds();
  int64_t nowMs = jvb::MonotonicMs();
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    total_ -= Size(it->second);
    it->second = Entry{std::move(content), stamp, nowMs, 0, now, now};
    total_ += Size(it->second);
    return;
  }
  Entry& e = entries_[key];
  e = Entry{std::move(content), stamp, nowMs, 0, now, now};
  total_ += Size(e);
  CleanLocked();
}

bool qmsTServiceCache::FindShared(const std::string& key, uint64_t stamp, Content& content) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second.stamp != stamp) return false;
  content = it->second.content;
  ++it->second.hits;
  it->second.lastAccess = NowSeconds();
  it->second.confirmedMs = jvb::MonotonicMs();
  return true;
}

bool qmsTServiceCache::FindRecent(const std::string& key, int64_t maxAgeMs, uint64_t& stamp,
                                  Content& content) {
  int64_t nowMs = jvb::MonotonicMs();
  std::lock_guard<std::mutex> g(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end() || nowMs - it->second.confirmedMs > maxAgeMs) return false;
  stamp = it->second.stamp;
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
    total_ -= Size(candidate->second);
    entries_.erase(candidate);
  }
}

void qmsTServiceCache::Figures(size_t& count, int64_t& bytes) {
  std::lock_guard<std::mutex> g(lock_);
  count = entries_.size();
  bytes = total_;
}
