// jvbTIdentValueList: a name/value store whose names are found without regard to ASCII
// case (session variables). Not locked: one owner thread, or the owner's lock.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

class jvbTStringValue {
 public:
  explicit jvbTStringValue(std::string v = {}) : value(std::move(v)) {}
  std::string value;
};

class jvbTIdentValueList {
 public:
  void AddValue(const std::string& name, const std::string& value);
  bool FindValue(const std::string& name, std::string& value) const;
  std::string GetValue(const std::string& name) const;
  void DeleteValue(const std::string& name);
  void Clear();
  size_t Count() const { return items_.size(); }
  // Names in their case-insensitive order, spelled as first added.
  std::vector<std::string> Names() const;

 private:
  struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  // key: name as first added; ordering ignores case, so a different spelling finds it.
  std::map<std::string, std::unique_ptr<jvbTStringValue>, NoCaseLess> items_;
};
