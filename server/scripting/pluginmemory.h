// qmsTPluginMemory: reads and writes memory whose address a plug-in handed to the server.
//
// A plug-in may pass any pointer to a callback. Every access to such memory goes through
// the kernel (process_vm_readv / process_vm_writev on the own process), which answers an
// unmapped or read-only address with an error instead of a fault, so a bad pointer makes
// the callback fail rather than end the server. Where the kernel refuses these calls
// altogether (some sandboxes), the memory is accessed directly.
#pragma once

#include <cstddef>
#include <string>

class qmsTPluginMemory {
 public:
  // Longest text read from a plug-in (names, values, log lines).
  static constexpr size_t kMaxText = 16u << 20;

  // Reads the null-terminated text at p, at most maxLen characters. False when any of it
  // cannot be read or no null byte comes within maxLen characters.
  static bool ReadText(const char* p, std::string& out, size_t maxLen = kMaxText);
  // Appends n bytes from p to out. False when they cannot all be read (out may have grown).
  static bool Read(const void* p, size_t n, std::string& out);
  // Writes n bytes to p. False when they cannot all be written.
  static bool Write(void* p, const void* data, size_t n);
};
