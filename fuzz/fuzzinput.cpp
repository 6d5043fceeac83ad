#include "fuzz/fuzzinput.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace qmsfuzz {

std::vector<std::string> Split(const std::string& text, const std::string& sep, size_t max) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (parts.size() + 1 < max) {
    size_t next = text.find(sep, at);
    if (next == std::string::npos) break;
    parts.push_back(text.substr(at, next - at));
    at = next + sep.size();
  }
  parts.push_back(text.substr(at));
  return parts;
}

namespace {

std::string* scratch = nullptr;

void RemoveScratch() {
  if (!scratch) return;
  if (DIR* d = opendir(scratch->c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") unlink((*scratch + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(scratch->c_str());
}

}  // namespace

const std::string& ScratchDir() {
  if (!scratch) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/qmsfuzz.XXXXXX";
    if (!mkdtemp(tmpl.data())) Fail("cannot create a scratch directory");
    scratch = new std::string(tmpl);
    std::atexit(RemoveScratch);
  }
  return *scratch;
}

std::string WriteScratch(const std::string& name, const std::string& bytes) {
  std::string path = ScratchDir() + "/" + name;
  for (const char* extra : {".bak", ".tmp"}) unlink((path + extra).c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot write a scratch file");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) Fail("cannot write a scratch file");
    done += static_cast<size_t>(n);
  }
  close(fd);
  return path;
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace qmsfuzz
