// jvb: file facts and changes of the platform layer, the one place sessions and stores
// ask the file system about a file (see platform.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "toolbox/platform.h"
#include "toolbox/platform_faults.h"

namespace jvb {

bool RenameReplace(const std::string& from, const std::string& to, int* err) {
  if (!fault::RenameFails(to) && ::rename(from.c_str(), to.c_str()) == 0) return true;
  if (err) *err = errno;
  return false;
}

namespace {

void Fill(const struct stat& st, FileInfo& info) {
  info.size = static_cast<int64_t>(st.st_size);
  info.mtime = static_cast<int64_t>(st.st_mtime);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

bool GetFileInfo(const std::string& path, FileInfo& info) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool GetFileInfo(int fd, FileInfo& info) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool RootDir::InfoBeneath(const std::string& rel, FileInfo& info, bool followLast) const {
  struct stat st {};
  if (!StatBeneath(rel, st, followLast)) return false;
  Fill(st, info);
  return true;
}

bool RootDir::ExistsBeneath(const std::string& rel, bool followLast) const {
  struct stat st {};
  return StatBeneath(rel, st, followLast);
}

void MakeOwnerOnly(const std::string& path) {
  FileInfo info;
  if (GetFileInfo(path, info) && (info.mode & 077) != 0)
    ::chmod(path.c_str(), static_cast<mode_t>(info.mode & 0700));
}

int OpenAppend(const std::string& path, uint32_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  static_cast<mode_t>(mode));
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = WriteSome(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

ssize_t WriteSome(int fd, const void* data, size_t size) {
  if (fault::WriteFails(fd, size)) return -1;
  return ::write(fd, data, size);
}

bool SetFileMode(int fd, uint32_t mode) { return ::fchmod(fd, static_cast<mode_t>(mode)) == 0; }

void CloseFile(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace jvb
