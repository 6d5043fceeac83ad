#include "server/users/accountname.h"

namespace {
constexpr size_t kMaxAccountName = 64;
}

bool qmsValidAccountName(const std::string& name) {
  if (name.empty() || name.size() > kMaxAccountName) return false;
  if (name.front() == '.') return false;  // also covers "." and ".."
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}
