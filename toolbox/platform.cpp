#include "toolbox/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <malloc.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>

#include "toolbox/platform_faults.h"
#include "toolbox/timeutil.h"

extern char** environ;

namespace jvb {
namespace {

int AccessFlags(int mode) {
  switch (mode) {
    case fmReadDenyWrite:
    case fmReadExclusive:
    case fmReadDenyNone:
      return O_RDONLY;
    case fmWriteDenyWrite:
    case fmWriteExclusive:
    case fmWrite:
      return O_WRONLY;
    default:
      return O_RDWR;
  }
}

// Windows sharing modes onto flock: only two deny-write readers may share a file.
int LockKind(int mode) {
  if (mode == fmReadDenyNone) return 0;
  if (mode == fmReadDenyWrite) return LOCK_SH;
  return LOCK_EX;
}

void Pause50() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

// How an open checks what it got after taking the lock.
enum Recheck {
  // The file still has a name (its holder may have unlinked it between our open and our
  // lock): costs nothing beyond the one fstat every open makes.
  kLinked,
  // Lock files, whose holders unlink them or put a fresh one in place: the name must
  // still lead to the locked inode.
  kSameName,
};

// Open + lock once. Returns fd, or -1 with *err; *retry tells whether trying again may help.
// With a root, path is resolved beneath it. *out receives the file's status under the lock.
// O_NONBLOCK only keeps a FIFO or device from blocking the open; the descriptor kept is a
// regular file's, where the flag has no effect, so it stays set.
int TryOpen(const RootDir* root, const std::string& path, int mode, bool create, mode_t createMode,
            Recheck recheck, int* err, bool* retry, struct stat* out) {
  *retry = false;
  int flags = AccessFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (create) flags |= O_CREAT;
  int fd =
      root ? root->OpenBeneath(path, flags, createMode) : ::open(path.c_str(), flags, createMode);
  if (fd < 0) {
    *err = errno;
    *retry = (errno == EINTR || errno == EMFILE || errno == ENFILE || errno == ETXTBSY);
    return -1;
  }
  int kind = LockKind(mode);
  fault::BeforeLock(path);
  if (kind != 0 && flock(fd, kind | LOCK_NB) != 0) {
    *err = errno;
    *retry = true;
    ::close(fd);
    return -1;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return -1;
  }
  bool named = st.st_nlink > 0;
  if (named && recheck == kSameName) {
    struct stat now{};
    named = root ? root->StatBeneath(path, now) : ::stat(path.c_str(), &now) == 0;
    named = named && now.st_ino == st.st_ino && now.st_dev == st.st_dev;
  }
  if (!named) {
    *err = EWOULDBLOCK;
    *retry = true;
    ::close(fd);
    return -1;
  }
  if (out) *out = st;
  return fd;
}

int OpenRetry(const RootDir* root, const std::string& path, int mode, int timeoutMs, bool create,
              mode_t createMode, int* err, struct stat* st, Recheck recheck = kLinked) {
  int64_t start = MonotonicMs();
  int local = 0;
  if (!err) err = &local;
  for (;;) {
    bool retry = false;
    int fd = TryOpen(root, path, mode, create, createMode, recheck, err, &retry, st);
    if (fd >= 0) return fd;
    if (!retry || MonotonicMs() - start >= timeoutMs) return -1;
    Pause50();
  }
}

}  // namespace

namespace {

int TruncateIf(int fd, bool truncate, int* err, struct stat* st) {
  if (fd >= 0 && truncate && ftruncate(fd, 0) != 0) {
    if (err) *err = errno;
    ::close(fd);
    return -1;
  }
  if (fd >= 0 && truncate && st) st->st_size = 0;
  return fd;
}

}  // namespace

int OpenShared(const std::string& path, int mode, int timeoutMs, int* err, struct stat* st) {
  return OpenRetry(nullptr, path, mode, timeoutMs, false, 0, err, st);
}

// A writer that creates when missing may be racing a holder that ends by unlinking the
// file (a lock or index file) or by putting another in its place. On a network file system
// an unlinked file that is still open keeps a hidden name, so "still has a name" is not
// enough: the name must lead to the inode now locked.
static Recheck CreateRecheck(int mode) { return LockKind(mode) == LOCK_EX ? kSameName : kLinked; }

int CreateShared(const std::string& path, int mode, int timeoutMs, bool truncate, mode_t createMode,
                 int* err, struct stat* st) {
  return TruncateIf(
      OpenRetry(nullptr, path, mode, timeoutMs, true, createMode, err, st, CreateRecheck(mode)),
      truncate, err, st);
}

int OpenShared(const RootDir& root, const std::string& rel, int mode, int timeoutMs, int* err,
               struct stat* st) {
  return OpenRetry(&root, rel, mode, timeoutMs, false, 0, err, st);
}

int CreateShared(const RootDir& root, const std::string& rel, int mode, int timeoutMs,
                 bool truncate, mode_t createMode, int* err, struct stat* st) {
  return TruncateIf(
      OpenRetry(&root, rel, mode, timeoutMs, true, createMode, err, st, CreateRecheck(mode)),
      truncate, err, st);
}

namespace {

int CreateNew(const RootDir* root, const std::string& path, int mode, mode_t createMode, int* err) {
  int local = 0;
  if (!err) err = &local;
  const int flags = AccessFlags(mode) | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;
  int fd =
      root ? root->OpenBeneath(path, flags, createMode) : ::open(path.c_str(), flags, createMode);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  const int kind = LockKind(mode);
  if (kind != 0 && flock(fd, kind | LOCK_NB) != 0) {
    // Only someone who opened our brand-new file by name can hold it: leave it to them.
    *err = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int CreateNewShared(const std::string& path, int mode, mode_t createMode, int* err) {
  return CreateNew(nullptr, path, mode, createMode, err);
}

int CreateNewShared(const RootDir& root, const std::string& rel, int mode, mode_t createMode,
                    int* err) {
  return CreateNew(&root, rel, mode, createMode, err);
}

LockFile::~LockFile() { Release(); }
LockFile::LockFile(LockFile&& o) noexcept : fd_(o.fd_), err_(o.err_), path_(std::move(o.path_)) {
  o.fd_ = -1;
}
LockFile& LockFile::operator=(LockFile&& o) noexcept {
  if (this != &o) {
    Release();
    fd_ = o.fd_;
    err_ = o.err_;
    path_ = std::move(o.path_);
    o.fd_ = -1;
  }
  return *this;
}

bool LockFile::Acquire(const std::string& path, int timeoutMs, bool truncate, mode_t createMode) {
  Release();
  path_ = path;
  fd_ = TruncateIf(OpenRetry(nullptr, path, fmReadWriteExclusive, timeoutMs, true, createMode, &err_,
                             nullptr, kSameName),
                   truncate, &err_, nullptr);
  return fd_ >= 0;
}

void LockFile::Release() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());  // while still locked: the next locker gets a fresh inode
  ::close(fd_);
  fd_ = -1;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st{};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(p.substr(0, slash))) return false;
  }
  if (::mkdir(p.c_str(), 0777) == 0) return true;
  return errno == EEXIST && DirectoryExists(p);
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* err) {
  if (fault::RenameFails(to)) {
    if (err) *err = errno;
    return false;
  }
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int e = errno;
  if (e == EINVAL || e == ENOSYS) {
    // File systems without the flag: link + unlink never replaces either.
    struct stat st{};
    if (::lstat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
      }
      e = errno;
    }
  }
  if (err) *err = e;
  errno = e;
  return false;
}

bool CopyFileAtomic(const std::string& from, const std::string& to, int* err) {
  int local = 0;
  if (!err) err = &local;
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) {
    *err = errno;
    return false;
  }
  struct stat st{};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = EINVAL;
    ::close(in);
    return false;
  }
  std::string tmp = to + ".tmp." + std::to_string(::getpid()) + "." +
                    std::to_string(CurrentThreadId());
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    *err = errno;
    ::close(in);
    return false;
  }
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
    ssize_t off = 0;
    while (off < n) {
      ssize_t w = WriteSome(out, buf + off, n - off);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *err = w < 0 ? errno : EIO;
        ok = false;
        break;
      }
      off += w;
    }
    if (!ok) break;
  }
  ::close(in);
  if (ok) fchmod(out, st.st_mode & 07777);  // umask must not strip the execute bits
  if (ok && fsync(out) != 0) {
    *err = errno;
    ok = false;
  }
  if (::close(out) != 0 && ok) {
    *err = errno;
    ok = false;
  }
  if (ok && (fault::RenameFails(to) || ::rename(tmp.c_str(), to.c_str()) != 0)) {
    *err = errno;
    ok = false;
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    if (out.size() + n > maxBytes) {
      ::close(fd);
      return false;
    }
    out.append(buf, n);
  }
}

int32_t FileAge(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return PackDosDateTime(ToLocal(st.st_mtime));
}

uint64_t FileStamp(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  mix(static_cast<uint64_t>(st.st_mtim.tv_sec));
  mix(static_cast<uint64_t>(st.st_mtim.tv_nsec));
  mix(static_cast<uint64_t>(st.st_ctim.tv_sec));
  mix(static_cast<uint64_t>(st.st_ctim.tv_nsec));
  mix(static_cast<uint64_t>(st.st_size));
  mix(static_cast<uint64_t>(st.st_ino));
  return h == 0 ? 1 : h;
}

bool WildcardMatch(const std::string& pattern, const std::string& text) {
  std::string p = pattern == "*.*" ? "*" : pattern;
  size_t pi = 0, ti = 0, star = std::string::npos, mark = 0;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  while (ti < text.size()) {
    if (pi < p.size() && (p[pi] == '?' || lower(p[pi]) == lower(text[ti]))) {
      ++pi;
      ++ti;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (star != std::string::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

namespace {

// Fills st for one entry of the directory dfd; false when the entry leads nowhere usable
// (st then describes the entry itself). link tells whether the entry is a link.
using EntryStat = std::function<bool(int dfd, const char* name, struct stat& st, bool& link)>;

// Classifies and filters one entry; false when the attribute mask leaves it out.
bool KeepEntry(DirEntry& e, const struct stat& st, bool usable, int attrMask) {
  if (!usable) {
    e.attr = faSystem;
  } else if (S_ISDIR(st.st_mode)) {
    e.attr = faDirectory;
  } else if (S_ISREG(st.st_mode)) {
    e.attr = faArchive;
    e.size = st.st_size;
  } else {
    e.attr = faSystem;
  }
  if ((st.st_mode & 0222) == 0) e.attr |= faReadOnly;
  e.mtime = st.st_mtime;
  if ((e.attr & faSystem) && !(attrMask & faSystem)) return false;
  if ((e.attr & faDirectory) && !(attrMask & faDirectory)) return false;
  // "Must have" bits sit eight places up: 0x1037 lists directories only.
  int mustHave = (attrMask >> 8) & 0x37;
  return (e.attr & mustHave) == mustHave;
}

int SearchErrno(int e) {
  if (e == ENOENT || e == ENOTDIR) return kErrPathNotFound;
  if (e == EACCES || e == EPERM) return kErrAccessDenied;
  return e;
}

// Reads and closes dp.
int SearchDirectory(DIR* dp, const std::string& mask, int attrMask, const EntryStat& statEntry,
                    std::vector<DirEntry>& out) {
  int dfd = dirfd(dp);
  while (struct dirent* de = ::readdir(dp)) {
    std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    if (name.find('\\') != std::string::npos) continue;
    if (!WildcardMatch(mask.empty() ? "*" : mask, name)) continue;
    struct stat st{};
    DirEntry e;
    e.name = name;
    bool usable = statEntry(dfd, de->d_name, st, e.link);
    if (KeepEntry(e, st, usable, attrMask)) out.push_back(std::move(e));
  }
  ::closedir(dp);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return CompareNoCase(a.name, b.name) < 0; });
  return out.empty() ? kErrFileNotFound : 0;
}

}  // namespace

int FindFiles(const std::string& dir, const std::string& mask, int attrMask,
              std::vector<DirEntry>& out) {
  out.clear();
  std::string d = dir.empty() ? "." : dir;
  DIR* dp = ::opendir(d.c_str());
  if (!dp) return SearchErrno(errno);
  auto statEntry = [](int dfd, const char* name, struct stat& st, bool&) {
    if (fstatat(dfd, name, &st, 0) == 0) return true;
    fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW);
    return false;
  };
  return SearchDirectory(dp, mask, attrMask, statEntry, out);
}

// --- Paths beneath a root ----------------------------------------------------------
namespace {

std::atomic<bool> g_walk_only{false};
std::atomic<bool> g_no_openat2{false};

// "a//b/" -> "a/b"; the root itself is ".".
std::string CleanRelative(const std::string& rel) {
  std::string out;
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    if (j > i) {
      if (!out.empty()) out += '/';
      out.append(rel, i, j - i);
    }
    i = j + 1;
  }
  return out.empty() ? std::string(".") : out;
}

void CloseKeepErrno(int fd) {
  int e = errno;
  ::close(fd);
  errno = e;
}

// openat2 beneath root; -2 when the kernel has no openat2.
int OpenAt2(int root, const std::string& rel, int flags, mode_t mode, bool noLinks) {
  struct open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (noLinks ? RESOLVE_NO_SYMLINKS : 0);
  for (int tries = 0;; ++tries) {
    long fd = ::syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename raced with "..": the kernel asks for another try.
    if (errno == EINTR || (errno == EAGAIN && tries < 16)) continue;
    if (errno == ENOSYS) return -2;
    if (errno == EXDEV || errno == ELOOP) errno = ENOENT;  // leads out: not found
    return -1;
  }
}

// Component by component, no link followed at all (kernels without openat2).
int WalkOpen(int root, const std::string& rel, int flags, mode_t mode) {
  int cur = root;
  size_t i = 0;
  for (;;) {
    size_t j = rel.find('/', i);
    const std::string part = rel.substr(i, j == std::string::npos ? std::string::npos : j - i);
    int fd;
    if (part == "..") {
      errno = ENOENT;
      fd = -1;
    } else if (j == std::string::npos) {
      fd = ::openat(cur, part.c_str(), flags | O_CLOEXEC | (part == "." ? 0 : O_NOFOLLOW), mode);
    } else {
      fd = ::openat(cur, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0 && errno == ELOOP) errno = ENOENT;
    if (cur != root) CloseKeepErrno(cur);
    if (fd < 0 || j == std::string::npos) return fd;
    cur = fd;
    i = j + 1;
  }
}

int ResolveBeneath(int root, const std::string& rel, int flags, mode_t mode, bool noLinks) {
  if (root < 0) {
    errno = EBADF;
    return -1;
  }
  const std::string clean = CleanRelative(rel);
  if (!g_walk_only && !g_no_openat2) {
    int fd = OpenAt2(root, clean, flags, mode, noLinks);
    if (fd != -2) return fd;
    g_no_openat2 = true;
  }
  return WalkOpen(root, clean, flags, mode);
}

}  // namespace

void SetBeneathWalkOnly(bool on) { g_walk_only = on; }

RootDir::RootDir(RootDir&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }

RootDir& RootDir::operator=(RootDir&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    path_ = std::move(o.path_);
    o.fd_ = -1;
  }
  return *this;
}

bool RootDir::Open(const std::string& dir) {
  Close();
  fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  path_ = dir;
  return fd_ >= 0;
}

bool RootDir::OpenSub(const RootDir& parent, const std::string& rel, bool noLinks) {
  Close();
  fd_ = ResolveBeneath(parent.fd_, rel, O_PATH | O_DIRECTORY, 0, noLinks);
  path_ = parent.path_ + "/" + CleanRelative(rel);
  return fd_ >= 0;
}

void RootDir::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int RootDir::OpenBeneath(const std::string& rel, int flags, mode_t mode) const {
  if (flags & O_CREAT) flags |= O_NOFOLLOW;
  return ResolveBeneath(fd_, rel, flags, mode, false);
}

int RootDir::OpenParent(const std::string& rel, std::string& name) const {
  const std::string clean = CleanRelative(rel);
  const size_t slash = clean.rfind('/');
  name = slash == std::string::npos ? clean : clean.substr(slash + 1);
  if (name == "." || name == "..") {
    errno = EINVAL;  // the root itself or its parent: never created, renamed or removed
    return -1;
  }
  const std::string parent = slash == std::string::npos ? "." : clean.substr(0, slash);
  return ResolveBeneath(fd_, parent, O_PATH | O_DIRECTORY, 0, false);
}

bool RootDir::StatBeneath(const std::string& rel, struct stat& st, bool followLast) const {
  std::string name;
  int fd = followLast ? ResolveBeneath(fd_, rel, O_PATH, 0, false) : OpenParent(rel, name);
  if (fd < 0) return false;
  int rc = followLast ? fstat(fd, &st) : fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  CloseKeepErrno(fd);
  return rc == 0;
}

bool RootDir::IsDirectoryBeneath(const std::string& rel, bool followLast) const {
  struct stat st{};
  return StatBeneath(rel, st, followLast) && S_ISDIR(st.st_mode);
}

bool RootDir::MkdirBeneath(const std::string& rel, mode_t mode) const {
  std::string name;
  int dir = OpenParent(rel, name);
  if (dir < 0) return false;
  int rc = ::mkdirat(dir, name.c_str(), mode);
  CloseKeepErrno(dir);
  return rc == 0;
}

bool RootDir::MkdirsBeneath(const std::string& rel) const {
  const std::string clean = CleanRelative(rel);
  if (clean == ".") return IsDirectoryBeneath(clean);
  size_t end = 0;
  while (end != std::string::npos) {
    end = clean.find('/', end + 1);
    const std::string part = clean.substr(0, end);
    if (IsDirectoryBeneath(part)) continue;
    if (!MkdirBeneath(part) && !(errno == EEXIST && IsDirectoryBeneath(part))) return false;
  }
  return true;
}

bool RootDir::UnlinkBeneath(const std::string& rel) const {
  std::string name;
  int dir = OpenParent(rel, name);
  if (dir < 0) return false;
  int rc = ::unlinkat(dir, name.c_str(), 0);
  CloseKeepErrno(dir);
  return rc == 0;
}

bool RootDir::RmdirBeneath(const std::string& rel) const {
  std::string name;
  int dir = OpenParent(rel, name);
  if (dir < 0) return false;
  int rc = ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
  CloseKeepErrno(dir);
  return rc == 0;
}

namespace {

bool RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
              bool replace) {
  if (fault::RenameFails(to)) return false;
  if (replace) return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
  if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the flag: link + unlink never replaces either.
  struct stat st{};
  if (fstatat(fromDir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return false;
  ::unlinkat(fromDir, from.c_str(), 0);
  return true;
}

}  // namespace

bool RootDir::RenameBeneath(const std::string& from, const std::string& to, bool replace) const {
  std::string fromName, toName;
  int fromDir = OpenParent(from, fromName);
  if (fromDir < 0) return false;
  int toDir = OpenParent(to, toName);
  if (toDir < 0) {
    CloseKeepErrno(fromDir);
    return false;
  }
  bool ok = RenameAt(fromDir, fromName, toDir, toName, replace);
  CloseKeepErrno(fromDir);
  CloseKeepErrno(toDir);
  return ok;
}

int RootDir::ListBeneath(const std::string& rel, const std::string& mask, int attrMask,
                         std::vector<DirEntry>& out) const {
  out.clear();
  int dfd = ResolveBeneath(fd_, rel, O_RDONLY | O_DIRECTORY, 0, false);
  if (dfd < 0) return SearchErrno(errno);
  DIR* dp = ::fdopendir(dfd);
  if (!dp) {
    int e = errno;
    ::close(dfd);
    return SearchErrno(e);
  }
  const std::string base = CleanRelative(rel) + "/";
  // A link is judged by where it leads inside the root; one leading out is unusable.
  auto statEntry = [this, &base](int dir, const char* name, struct stat& st, bool& link) {
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    link = S_ISLNK(st.st_mode);
    return !link || StatBeneath(base + name, st);
  };
  return SearchDirectory(dp, mask, attrMask, statEntry, out);
}

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

int CompareNoCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int raw = a.compare(b);
  return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

std::string NativePath(std::string p) {
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}

std::string ProgramPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, n);
}

std::string ProgramDirectory() {
  std::string p = ProgramPath();
  size_t s = p.rfind('/');
  return s == std::string::npos ? std::string(".") : (s == 0 ? std::string("/") : p.substr(0, s));
}

std::string CurrentDirectory() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat x{}, y{};
  if (::stat(a.c_str(), &x) != 0 || ::stat(b.c_str(), &y) != 0) return false;
  return S_ISDIR(x.st_mode) && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string FindInPath(const std::string& name) {
  const char* path = ::getenv("PATH");
  if (!path) return {};
  std::string all = path;
  size_t start = 0;
  for (;;) {
    size_t colon = all.find(':', start);
    std::string dir = all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (dir.empty()) dir = ".";
    std::string cand = dir + "/" + name;
    struct stat st{};
    if (::stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(cand.c_str(), X_OK) == 0)
      return cand;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   bool devNullOutput, int* err) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (devNullOutput) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling and an empty mask, whatever we block.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  (void)all;
  if (rc != 0) {
    if (err) *err = rc;
    return -1;
  }
  return pid;
}

int WaitProcess(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return status;
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
}

long CurrentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

uint64_t HeapBytesAllocated() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

uint64_t HeapBytesFree() { return mallinfo2().fordblks; }

void RaiseFileLimit() {
  struct rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

}  // namespace jvb
