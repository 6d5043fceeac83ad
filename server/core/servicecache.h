// qmsTServiceCache: a small document cache of one service, keyed by a caller-chosen name
// (HTTP uses file paths) and validated by a stamp. Evicts by a hit-rate score when its entry
// or byte limit is passed. All operations take the cache lock; any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class qmsTServiceCache {
 public:
  void SetMaxCount(int32_t n);
  void SetMaxSize(int64_t bytes);
  void AddDocument(uint64_t stamp, const std::string& content, const std::string& key);
  bool FindDocument(const std::string& key, uint64_t stamp, std::string& content);
  void Clean();

  // The same without copying bodies: entries are shared, immutable strings, so a reader
  // keeps its document while it sends, with no lock held and even after an eviction.
  using Content = std::shared_ptr<const std::string>;
  void AddShared(uint64_t stamp, Content content, const std::string& key);
  bool FindShared(const std::string& key, uint64_t stamp, Content& content);
  // An entry whose stamp was confirmed (by AddShared or a FindShared hit) at most maxAgeMs
  // ago, with that stamp: callers skip asking the file system again for a while.
  bool FindRecent(const std::string& key, int64_t maxAgeMs, uint64_t& stamp, Content& content);

  int32_t MaxCount() const { return max_count_; }
  int64_t MaxSize() const { return max_size_; }
  int64_t Total() const { return total_; }
  size_t Count() const { return entries_.size(); }
  // Entries and bytes held, read together under the cache lock (for status pages).
  void Figures(size_t& count, int64_t& bytes);

 private:
  struct Entry {
    Content content;
    uint64_t stamp = 0;
    int64_t confirmedMs = 0;  // monotonic
    int64_t hits = 0;
    double created = 0;
    double lastAccess = 0;
  };
  void CleanLocked();
  void PutLocked(uint64_t stamp, Content content, const std::string& key);
  static int64_t Size(const Entry& e) { return e.content ? static_cast<int64_t>(e.content->size()) : 0; }
  std::mutex lock_;
  std::map<std::string, Entry> entries_;
  int32_t max_count_ = 32;
  int64_t max_size_ = 1048576;
  int64_t total_ = 0;
};
