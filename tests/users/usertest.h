// Helpers of the users tests: a temporary site with a user directory and a statistics
// directory, removed with everything in it at the end, and small file helpers.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/sitetest.h"

namespace userstest {

class TempSite {
 public:
  TempSite() {
    char tmpl[] = "/tmp/qmsusers.XXXXXX";
    const char* made = mkdtemp(tmpl);
    path_ = made ? made : "/tmp/qmsusers.failed";
    std::filesystem::create_directories(users());
    std::filesystem::create_directories(stat());
  }
  ~TempSite() {
    if (entered_ && chdir(old_.c_str()) != 0) {
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempSite(const TempSite&) = delete;
  TempSite& operator=(const TempSite&) = delete;

  // Works inside the site, as the server does (relative "binaries/", "log/" ...).
  void Enter() {
    old_ = std::filesystem::current_path().string();
    if (chdir(path_.c_str()) == 0) entered_ = true;
  }
  const std::string& path() const { return path_; }
  std::string users() const { return path_ + "/users"; }
  std::string stat() const { return path_ + "/stat"; }
  std::string user(const std::string& name) const { return users() + "/" + name; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_;
  bool entered_ = false;
};

using sitetest::Exists;
using sitetest::ReadFile;
using sitetest::WriteFile;

inline unsigned Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// A user file with the given "USER" keys (already formatted "Key=value" lines) and an
// optional tail of further sections.
inline void WriteUser(const std::string& path, const std::string& userLines,
                      const std::string& tail = "") {
  WriteFile(path, "[USER]\n" + userLines + tail);
}

}  // namespace userstest
