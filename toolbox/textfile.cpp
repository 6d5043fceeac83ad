#include "toolbox/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

void jvbTTextFile::Init(const std::string& name, int mode, int recordSize, int flags,
                        int timeoutMs, mode_t createMode) {
  Close();
  name_ = name;
  mode_ = mode;
  record_size_ = recordSize > 0 ? recordSize : 1;
  flags_ = flags;
  timeout_ms_ = timeoutMs;
  create_mode_ = createMode;
  root_ = nullptr;
  last_error_ = 0;
}

void jvbTTextFile::Init(const jvb::RootDir& root, const std::string& name, int mode, int recordSize,
                        int flags, int timeoutMs, mode_t createMode) {
  Init(name, mode, recordSize, flags, timeoutMs, createMode);
  root_ = &root;
}

bool jvbTTextFile::Open() {
  Close();
  struct stat st{};
  fd_ = root_ ? jvb::OpenShared(*root_, name_, mode_, timeout_ms_, &last_error_, &st)
              : jvb::OpenShared(name_, mode_, timeout_ms_, &last_error_, &st);
  if (fd_ >= 0 && mode_ != jvb::fmReadDenyNone) opened_size_ = st.st_size;
  return fd_ >= 0;
}

bool jvbTTextFile::Rewrite() {
  Close();
  return Create(mode_ == jvb::fmReadDenyWrite ? jvb::fmReadWriteExclusive : mode_, true);
}

bool jvbTTextFile::CreateNew() {
  Close();
  fd_ = root_ ? jvb::CreateNewShared(*root_, name_, mode_, create_mode_, &last_error_)
              : jvb::CreateNewShared(name_, mode_, create_mode_, &last_error_);
  if (fd_ >= 0) opened_size_ = 0;
  return fd_ >= 0;
}

bool jvbTTextFile::OpenOrCreate() {
  Close();
  return Create(mode_, false);
}

bool jvbTTextFile::Create(int mode, bool truncate) {
  struct stat st{};
  fd_ = root_ ? jvb::CreateShared(*root_, name_, mode, timeout_ms_, truncate, create_mode_,
                                  &last_error_, &st)
              : jvb::CreateShared(name_, mode, timeout_ms_, truncate, create_mode_, &last_error_,
                                  &st);
  if (fd_ >= 0 && mode != jvb::fmReadDenyNone) opened_size_ = st.st_size;
  return fd_ >= 0;
}

int64_t jvbTTextFile::BlockRead(void* buf, int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  int64_t want = count * record_size_, got = 0;
  char* p = static_cast<char*>(buf);
  while (got < want) {
    ssize_t n = ::read(fd_, p + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) last_error_ = errno;
    if (n <= 0) break;
    got += n;
  }
  return got / record_size_;
}

int64_t jvbTTextFile::BlockWrite(const void* buf, int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  int64_t want = count * record_size_, done = 0;
  const char* p = static_cast<const char*>(buf);
  opened_size_ = -1;
  while (done < want) {
    ssize_t n = jvb::WriteSome(fd_, p + done, want - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      last_error_ = n < 0 ? errno : EIO;
      break;
    }
    done += n;
  }
  return done / record_size_;
}

bool jvbTTextFile::Write(const std::string& bytes) {
  if (fd_ < 0) return false;
  opened_size_ = -1;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = jvb::WriteSome(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      last_error_ = n < 0 ? errno : EIO;
      return false;
    }
    done += n;
  }
  return true;
}

bool jvbTTextFile::WriteLine(const std::string& text) {
  return Write(text + ((flags_ & 2) ? "\n" : "\r\n"));
}

bool jvbTTextFile::ReadAll(std::string& out) {
  out.clear();
  if (fd_ < 0) return false;
  int64_t size = opened_size_;
  if (size < 0) {
    jvb::FileInfo info;
    if (!jvb::GetFileInfo(fd_, info)) {
      last_error_ = errno;
      return false;
    }
    size = info.size;
  }
  out.resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      last_error_ = errno;
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  return true;
}

bool jvbTTextFile::SeekStart() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }
bool jvbTTextFile::SeekEnd() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_END) >= 0; }
bool jvbTTextFile::Seek(int64_t record) {
  return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(record * record_size_), SEEK_SET) >= 0;
}

int64_t jvbTTextFile::Size() {
  if (fd_ < 0) return -1;
  if (opened_size_ >= 0) return opened_size_ / record_size_;
  jvb::FileInfo info;
  if (!jvb::GetFileInfo(fd_, info)) return -1;
  return info.size / record_size_;
}

bool jvbTTextFile::Truncate() {
  if (fd_ < 0) return false;
  opened_size_ = -1;
  off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0 || ftruncate(fd_, pos) != 0) {
    last_error_ = errno;
    return false;
  }
  return true;
}

bool jvbTTextFile::Sync() { return fd_ >= 0 && fsync(fd_) == 0; }

void jvbTTextFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  opened_size_ = -1;
}

void jvbCreateEmptyFile(const std::string& name) {
  jvbTTextFile f;
  f.Init(name, jvb::fmWrite);
  f.Rewrite();
}

bool jvbAppendLine(const std::string& text, const std::string& name) {
  jvbTTextFile f;
  f.Init(name, jvb::fmWriteDenyWrite);
  if (!f.Open()) {
    size_t slash = name.rfind('/');
    if (slash != std::string::npos && slash > 0) jvb::ForceDirectories(name.substr(0, slash));
    if (!f.OpenOrCreate()) return false;
  }
  f.SeekEnd();
  return f.WriteLine(text);
}

static bool IsSep(char c) { return c == '/' || c == '\\'; }

std::string jvbJoinPath(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return a + b;
  bool as = IsSep(a.back()), bs = IsSep(b.front());
  if (as && bs) return a + b.substr(1);
  if (as || bs) return a + b;
  return a + "/" + b;
}

std::string jvbCutSep(const std::string& p) {
  if (p.size() > 1 && IsSep(p.back())) return p.substr(0, p.size() - 1);
  return p;
}

std::string jvbCutSepRoot(const std::string& p) {
  if (p.empty()) return "/";
  if (p.size() > 1 && IsSep(p.back())) return p.substr(0, p.size() - 1);
  return p;
}

std::string jvbBackupName(const std::string& p) {
  size_t sep = p.find_last_of("/\\:");
  size_t dot = p.rfind('.');
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) return p.substr(0, dot) + ".bak";
  return p + ".bak";
}
