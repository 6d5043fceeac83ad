#include "server/core/logwriter.h"

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
  jvb::CloseFile(fd_);
  fd_ = -1;
  last_day_ = 0;
  checked_ms_ = jvb::MonotonicMs();
  int fd = jvb::OpenAppend(name_, jvb::kModeShared);
  jvb::FileInfo info;
  if (fd >= 0 && !jvb::GetFileInfo(fd, info)) {
    jvb::CloseFile(fd);
    fd = -1;
  }
  if (fd < 0) return false;
  fd_ = fd;
  file_ = info;
  if (info.size > 0) last_day_ = jvb::DayNumber(jvb::ToLocal(static_cast<time_t>(info.mtime)));
  return true;
}

void qmsTLogWriter::Close() {
  std::lock_guard<std::mutex> g(lock_);
  jvb::CloseFile(fd_);
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
  jvb::FileInfo now_there;
  if (fd_ >= 0 && jvb::GetFileInfo(name_, now_there) && now_there.device == file_.device &&
      now_there.inode == file_.inode)
    return;
  OpenLocked();
}

void qmsTLogWriter::Put(const std::string& line) { jvb::WriteAll(fd_, line); }

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
