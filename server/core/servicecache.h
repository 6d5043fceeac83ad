// qmsTServiceCache: a small document cache of one service, keyed by a caller-chosen name
// (HTTP uses file paths) and validated by a stamp. Evicts by a hit-rate score when its entry
// or byte limit is passed. All operations take the cache lock; any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class qmsTServiceCache {
 public:
  void SetMaxCount(int32_t n);
  void SetMaxSize(int64_t bytes);
  void AddDocument(uint64_t stamp, const std::string& content, const std::string& key);
  bool FindDocument(const std::string& key, uint64_t stamp, std::string& content);
  void Clean();

  int32_t MaxCount() const { return max_count_; }
  int64_t MaxSize() const { return max_size_; }
  int64_t Total() const { return total_; }
  size_t Count() const { return entries_.size(); }

 private:
  struct Entry {
    std::string content;
    uint64_t stamp = 0;
    int64_t hits = 0;
    double created = 0;
    double lastAccess = 0;
  };
  void CleanLocked();
  std::mutex lock_;
  std::map<std::string, Entry> entries_;
  int32_t max_count_ = 32;
  int64_t max_size_ = 1048576;
  int64_t total_ = 0;
};
