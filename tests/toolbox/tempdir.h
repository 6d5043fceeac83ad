// A temporary directory for one test, removed with everything in it at the end. With
// Enter() the process works inside it (the programs use paths relative to their site).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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
