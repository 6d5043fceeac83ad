// A temporary directory for one test, removed with everything in it at the end. With
// Enter() the process works inside it (the programs use paths relative to their site).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "toolbox/platform.h"

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qmstest.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    if (entered_) {
      if (chdir(old_.c_str()) != 0) {
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  void Enter() {
    old_ = std::filesystem::current_path().string();
    if (chdir(path_.c_str()) == 0) entered_ = true;
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_;
  bool entered_ = false;
};

// The lines of a file written with CR LF endings; empty when it cannot be read.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::string text;
  std::vector<std::string> lines;
  if (!jvb::ReadWholeFile(path, text)) return lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}
