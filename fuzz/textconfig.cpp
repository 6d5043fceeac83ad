// The key-file reader over any file text, and WriteString over it: a value written must
// read back (on one line, blanks at its ends trimmed) whatever the file held before.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "toolbox/textconfig.h"

namespace {

std::string Expected(std::string v) {
  for (char& c : v)
    if (c == '\0' || c == '\r' || c == '\n') c = ' ';
  size_t b = v.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return v.substr(b, v.find_last_not_of(' ') - b + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Input: file text, then "\x00\x01" and the value to write.
  std::vector<std::string> parts = qmsfuzz::Split(qmsfuzz::Bytes(data, size), std::string("\0\1", 2), 2);
  std::string path = qmsfuzz::WriteScratch("fuzz.cfg", parts[0]);
  jvbTTextConfig config(path);
  for (const std::string& section : config.SectionNames()) {
    for (const auto& kv : config.SectionKeys(section)) {
      std::string value;
      config.ReadValue(section, kv.first, value);
      std::vector<std::string> words;
      config.ReadList(words, section, kv.first);
      int32_t n = 0;
      config.ReadInteger(n, section, kv.first);
    }
    std::vector<std::string> lines;
    config.ReadSection(section, lines);
  }
  if (parts.size() < 2) return 0;
  if (config.WriteString("Fuzz", "Key", parts[1])) {
    std::string back;
    if (!config.ReadValue("Fuzz", "Key", back) || back != Expected(parts[1]))
      qmsfuzz::Fail("WriteString value does not read back");
  }
  return 0;
}
