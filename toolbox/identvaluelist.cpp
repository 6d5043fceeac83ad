#include "toolbox/identvaluelist.h"

#include <algorithm>

// ASCII fold without a tie-break, so two spellings of one name are one entry.
bool jvbTIdentValueList::NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

void jvbTIdentValueList::AddValue(const std::string& name, const std::string& value) {
  auto it = items_.find(name);
  if (it != items_.end()) {
    it->second->value = value;
    return;
  }
  items_.emplace(name, std::make_unique<jvbTStringValue>(value));
}

bool jvbTIdentValueList::FindValue(const std::string& name, std::string& value) const {
  auto it = items_.find(name);
  if (it == items_.end()) return false;
  value = it->second->value;
  return true;
}

std::string jvbTIdentValueList::GetValue(const std::string& name) const {
  auto it = items_.find(name);
  return it == items_.end() ? std::string() : it->second->value;
}

void jvbTIdentValueList::DeleteValue(const std::string& name) { items_.erase(name); }

void jvbTIdentValueList::Clear() { items_.clear(); }

std::vector<std::string> jvbTIdentValueList::Names() const {
  std::vector<std::string> names;
  names.reserve(items_.size());
  for (const auto& item : items_) names.push_back(item.first);
  return names;
}
