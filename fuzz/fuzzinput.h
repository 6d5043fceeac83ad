// Helpers shared by the fuzz targets: cutting the input into parts and a scratch
// directory for the parsers that read their text from a file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qmsfuzz {

inline std::string Bytes(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The input cut at each occurrence of sep (at most max parts; the last keeps the rest).
std::vector<std::string> Split(const std::string& text, const std::string& sep, size_t max = 64);

// Lines as the dialogues read them: cut at CR LF only.
inline std::vector<std::string> Lines(const std::string& text) { return Split(text, "\r\n", 100000); }

// A private directory for this process, removed at exit (on tmpfs when there is one).
const std::string& ScratchDir();

// Writes bytes to ScratchDir()/name and returns the path; removes name.bak and friends.
std::string WriteScratch(const std::string& name, const std::string& bytes);

// Ends the run with a message: a broken invariant counts as a crash.
[[noreturn]] void Fail(const char* what);

}  // namespace qmsfuzz
