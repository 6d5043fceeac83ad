// ACCESS rules without a user file: any rule lines, then the first rule's mask matched
// against paths taken from the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "server/users/access.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Input: rule lines, then "\x00\x01" and paths one per line.
  std::vector<std::string> parts = qmsfuzz::Split(qmsfuzz::Bytes(data, size), std::string("\0\1", 2), 2);
  Tqms_access access;
  std::vector<std::string> rules = qmsfuzz::Split(parts[0], "\n", 200);
  for (const std::string& rule : rules) access.ProcessLine(rule);
  if (parts.size() < 2) return 0;
  for (const std::string& path : qmsfuzz::Split(parts[1], "\n", 50)) {
    access.GetAccessStr(access.GetPathAccess(path));
    access.GetPathOwner(path);
    access.GetAccessTo(path, nullptr);
    Tqms_access::MaskMatches(rules[0], path);
  }
  return 0;
}
