#include "server/core/logwriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "toolbox/platform.h"

namespace {

// How often the name is compared with the open file.
constexpr int64_t kRecheckMs = 1000;

}  // namespace

bool qmsTLogWriter::Open(const std::string& name) {
  std::lock_guard<std::mutex> g(lock_);
  name_ = name;
  if (OpenLocked()) return true;
  name_.clear();
  return false;
}

bool qmsTLogWriter::OpenLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  last_day_ = 0;
  checked_ms_ = jvb::MonotonicMs();
  // Non-blocking only so that a FIFO put in its place cannot hold the open; a regular file
  // ignores the flag.
  int fd = ::open(name_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  jvb::kModeShared);
  if (fd < 0) return false;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  if (st.st_size > 0) last_day_ = jvb::DayNumber(jvb::ToLocal(st.st_mtime));
  return true;
}

void qmsTLogWriter::Close() {
  std::lock_guard<std::mutex> g(lock_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  name_.clear();
}

bool qmsTLogWriter::IsOpen() {
  std::lock_guard<std::mutex> g(lock_);
  return fd_ >= 0;
}

int qmsTLogWriter::Descriptor() {
  std::lock_guard<std::mutex> g(lock_);
  return fd_;
}

void qmsTLogWriter::Recheck() {
  int64_t now = jvb::MonotonicMs();
  if (now - checked_ms_ < kRecheckMs) return;
  checked_ms_ = now;
  struct stat st{};
  if (fd_ >= 0 && ::stat(name_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) return;
  OpenLocked();
}

void qmsTLogWriter::Put(const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void qmsTLogWriter::Stamped(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  if (name_.empty()) return;
  Recheck();
  if (fd_ < 0) return;
  jvb::DateTime now = clock_();
  int32_t today = jvb::DayNumber(now);
  std::string line;
  line.reserve(text.size() + 64);
  if (last_day_ < today) {
    line = jvb::FormatDayLine(now) + "\r\n";
    last_day_ = today;
  }
  line += jvb::FormatLogStamp(now);
  line += ' ';
  line += text;
  line += "\r\n";
  Put(line);
}

void qmsTLogWriter::Raw(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  if (name_.empty()) return;
  Recheck();
  if (fd_ < 0) return;
  Put(text + "\r\n");
}
