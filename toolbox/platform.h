// Platform layer: the one place that talks to POSIX for files, locks, directories,
// processes and clocks, and that emulates the Windows behaviour the suite relies on
// (sharing modes, renames that never replace, opens that only accept regular files).
// Every function here is safe to call from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jvb {

// --- Error numbers -----------------------------------------------------------
// Messages show errno values. The few places that need the classic Windows numbers
// (directory-search results, sharing violations) use these constants.
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrPathNotFound = 3;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrNoMoreFiles = 18;
inline constexpr int kErrSharingViolation = 32;

// --- Sharing modes -------------------------------------------------------------
// Open modes of the file record: access in the low nibble, sharing in the high.
enum FileMode : int {
  fmReadDenyWrite = 0x20,
  fmWriteDenyWrite = 0x21,
  fmReadWriteDenyWrite = 0x22,
  fmReadExclusive = 0x10,
  fmWriteExclusive = 0x11,
  fmReadWriteExclusive = 0x12,
  fmWrite = 0x01,
  fmReadDenyNone = 0x40,  // reader that takes no lock (console record readers)
};

// Creation mode for new files; 0600 for user, statistics and mail files.
inline constexpr mode_t kModePrivate = 0600;
inline constexpr mode_t kModeShared = 0644;

// --- Paths beneath a root ----------------------------------------------------------
struct DirEntry;
struct FileInfo;

// A directory that every path from a client or a directory search is resolved beneath.
// Paths are relative to it ("/" separators; a leading "/" names the root itself) and are
// resolved with openat2(RESOLVE_BENEATH) on the root's descriptor: a symbolic link that
// stays inside the root is followed; one that leads out of it (an absolute link, or ".."
// above the root, in the path or in a link) fails with ENOENT. Without openat2 in the
// kernel each component is opened with O_NOFOLLOW, so every link is refused. The last
// component of a create, mkdir, unlink or rename is never followed: such calls act on the
// link itself, inside the root. Every descriptor is close-on-exec. Safe from any thread.
class RootDir {
 public:
  RootDir() = default;
  explicit RootDir(const std::string& dir) { Open(dir); }
  ~RootDir() { Close(); }
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;
  RootDir(RootDir&& o) noexcept;
  RootDir& operator=(RootDir&& o) noexcept;

  // The directory itself is a configured path and may be reached through links.
  bool Open(const std::string& dir);
  // A directory beneath parent; with noLinks no component may be a link at all.
  bool OpenSub(const RootDir& parent, const std::string& rel, bool noLinks = false);
  void Close();
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // For messages only; never used to reach a file.
  const std::string& path() const { return path_; }

  // open(2) flags; O_CREAT implies O_NOFOLLOW. Returns the descriptor or -1 with errno.
  int OpenBeneath(const std::string& rel, int flags, mode_t mode = 0) const;
  // followLast false: the last component itself (a link stays a link).
  bool StatBeneath(const std::string& rel, struct stat& st, bool followLast = true) const;
  bool IsDirectoryBeneath(const std::string& rel, bool followLast = true) const;
  // The same facts as GetFileInfo, of a path beneath the root; false when it is not there.
  bool InfoBeneath(const std::string& rel, FileInfo& info, bool followLast = true) const;
  // Anything at all by that name (with followLast false, a dangling link counts too).
  bool ExistsBeneath(const std::string& rel, bool followLast = true) const;
  bool MkdirBeneath(const std::string& rel, mode_t mode = 0777) const;
  // With missing parents; true when a directory is there afterwards.
  bool MkdirsBeneath(const std::string& rel) const;
  bool UnlinkBeneath(const std::string& rel) const;
  bool RmdirBeneath(const std::string& rel) const;
  // Fails with EEXIST instead of replacing the target, unless replace is true.
  bool RenameBeneath(const std::string& from, const std::string& to, bool replace = false) const;
  // FindFiles on a directory beneath the root. A link is listed by what it leads to
  // inside the root (DirEntry::link set); one that leads out counts as "system".
  int ListBeneath(const std::string& rel, const std::string& mask, int attrMask,
                  std::vector<DirEntry>& out) const;

 private:
  int OpenParent(const std::string& rel, std::string& name) const;

  int fd_ = -1;
  std::string path_;
};

// Resolves as kernels without openat2 do (tests of the fallback walk).
void SetBeneathWalkOnly(bool on);

// Opens an existing regular file with the mode's access and sharing lock.
// Fails at once (ENOENT) when the file is missing; fails with EISDIR/EINVAL-like
// errors for anything that is not a regular file (FIFOs, devices, sockets never block).
// A held lock (EWOULDBLOCK) is retried every 50 ms until timeoutMs have passed, and so is
// a file that its holder unlinked while we waited for it.
// Returns the descriptor (close-on-exec) or -1 with *err set to the errno of the last try;
// *st, when given, receives the file's status taken under the lock.
int OpenShared(const std::string& path, int mode, int timeoutMs, int* err,
               struct stat* st = nullptr);

// Creates the file when missing, or opens it; takes the lock with the same retry and
// only then truncates it when truncate is true. Never truncates a file another holder uses.
int CreateShared(const std::string& path, int mode, int timeoutMs, bool truncate,
                 mode_t createMode, int* err, struct stat* st = nullptr);

// Creates a file that must not exist yet (O_EXCL: fails with EEXIST when the name is
// taken, on this host or by another one sharing the directory) and takes the mode's lock.
// A name another creator already holds is therefore never truncated or written to.
int CreateNewShared(const std::string& path, int mode, mode_t createMode, int* err);
int CreateNewShared(const RootDir& root, const std::string& rel, int mode, mode_t createMode,
                    int* err);

// The same, for a path beneath root.
int OpenShared(const RootDir& root, const std::string& rel, int mode, int timeoutMs, int* err,
               struct stat* st = nullptr);
int CreateShared(const RootDir& root, const std::string& rel, int mode, int timeoutMs,
                 bool truncate, mode_t createMode, int* err, struct stat* st = nullptr);

// Lock file (".lck", ".locked"): created without truncation, locked exclusively, the
// inode re-checked after locking. Release() unlinks while the lock is still held, so a
// crashed holder never leaves a lock behind and a new locker never locks a dead inode.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  LockFile(LockFile&& o) noexcept;
  LockFile& operator=(LockFile&& o) noexcept;

  // Tries for timeoutMs (0: one try). truncate empties the file once it is held.
  bool Acquire(const std::string& path, int timeoutMs, bool truncate = false,
               mode_t createMode = kModePrivate);
  void Release();  // unlink, then close
  int fd() const { return fd_; }
  bool held() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  int error() const { return err_; }

 private:
  int fd_ = -1;
  int err_ = 0;
  std::string path_;
};

// --- Whole-file helpers ----------------------------------------------------------
bool FileExists(const std::string& path);       // regular file
bool DirectoryExists(const std::string& path);  // directory (follows links)
bool PathExists(const std::string& path);       // anything
// mkdir -p; true when the directory exists afterwards.
bool ForceDirectories(const std::string& path);
// Rename that fails with EEXIST instead of replacing an existing target.
bool RenameNoReplace(const std::string& from, const std::string& to, int* err = nullptr);
// Copies through a temporary file in the target's directory, fsyncs and renames it over
// the target, keeping the source's mode bits (an installed program stays 0755).
bool CopyFileAtomic(const std::string& from, const std::string& to, int* err = nullptr);
bool DeleteFile(const std::string& path);
// Reads a whole regular file (bounded by maxBytes); false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes = 64u << 20);

// --- File facts and changes (platform_files.cpp) ---------------------------------
// Rename that replaces an existing target in one step.
bool RenameReplace(const std::string& from, const std::string& to, int* err = nullptr);
// What stat tells about a file: size, last write (seconds since the epoch), the
// permission bits and whether it is a regular file or a directory.
struct FileInfo {
  int64_t size = 0;
  int64_t mtime = 0;
  uint32_t mode = 0;
  bool regular = false;
  bool directory = false;
  uint64_t device = 0;  // with inode: which file a name or descriptor stands for
  uint64_t inode = 0;
};
// Of a path (links followed) or an open descriptor; false when it cannot be asked.
bool GetFileInfo(const std::string& path, FileInfo& info);
bool GetFileInfo(int fd, FileInfo& info);
// Takes the group and other permissions off an existing file.
void MakeOwnerOnly(const std::string& path);
// Opens a regular file for appending (close-on-exec; created with mode when missing; a FIFO
// or device in its place never blocks the open and is refused). Descriptor or -1.
int OpenAppend(const std::string& path, uint32_t mode);
// Writes all of data to the descriptor; false when a write fails.
bool WriteAll(int fd, const std::string& data);
// One write(2) to a file: the bytes written, or -1 with errno. The writes of records,
// key files, queue files and logs go through here, and so through the fault plan below
// (not the crash trap's: those must stay async-signal-safe).
ssize_t WriteSome(int fd, const void* data, size_t size);
// Sets the permission bits of an open file; false with errno when it cannot.
bool SetFileMode(int fd, uint32_t mode);
// Closes a descriptor opened by this layer.
void CloseFile(int fd);

// --- Fault injection (tests) ---------------------------------------------------------
// A test makes the file changes of this layer fail as a full disk or a failing device
// would, instead of changing process limits. While a plan is set, a file write that
// would make a regular file larger than fileSizeLimit bytes fails whole with ENOSPC, and
// a rename (RenameNoReplace, RenameReplace, RenameBeneath, CopyFileAtomic) to a name
// ending in renameTargetSuffix fails with renameError, the source left where it was.
// beforeLock runs between the open and the lock of a shared open, with the path: a test
// plays another process acting in that gap. Process-wide; nothing fails while no plan is set.
struct FaultPlan {
  int64_t fileSizeLimit = -1;      // -1: writes never fail
  std::string renameTargetSuffix;  // empty: renames never fail
  int renameError = EIO;
  std::function<void(const std::string&)> beforeLock;
};
void SetFaultPlan(const FaultPlan& plan);
void ClearFaultPlan();
// Sets a plan for the lifetime of the object.
class ScopedFaultPlan {
 public:
  explicit ScopedFaultPlan(const FaultPlan& plan) { SetFaultPlan(plan); }
  ~ScopedFaultPlan() { ClearFaultPlan(); }
  ScopedFaultPlan(const ScopedFaultPlan&) = delete;
  ScopedFaultPlan& operator=(const ScopedFaultPlan&) = delete;
};

// --- File times ------------------------------------------------------------------
// Packed DOS date-time of the last write, local time; -1 when missing or not a file,
// 0 when the year is outside 1980-2107.
int32_t FileAge(const std::string& path);
// Fine change stamp (mtime ns, ctime ns, size, inode mixed); 0 when missing. Used for
// change detection so that a change within the same two seconds is still noticed.
uint64_t FileStamp(const std::string& path);

// --- Directory search --------------------------------------------------------------
// File attribute bits as the formats show them.
inline constexpr int faReadOnly = 0x01;
inline constexpr int faHidden = 0x02;
inline constexpr int faSystem = 0x04;
inline constexpr int faDirectory = 0x10;
inline constexpr int faArchive = 0x20;

struct DirEntry {
  std::string name;
  int attr = 0;
  int64_t size = 0;
  time_t mtime = 0;
  bool link = false;  // a symbolic link (ListBeneath only)
};

// Lists the entries of dir that match the mask (Windows wildcards, case-insensitive)
// and the attribute filter (an entry with hidden, system or directory set is skipped
// unless that bit is in attrMask; bits 0x100 and up are "must have" bits: 0x1037 lists
// directories only). "." and ".." are left out. Sorted by ASCII-upper-cased
// name, ties by raw bytes. Returns 0, kErrFileNotFound (nothing matched),
// kErrPathNotFound (no such directory) or another error number.
int FindFiles(const std::string& dir, const std::string& mask, int attrMask,
              std::vector<DirEntry>& out);

// Windows-style wildcard match, "*" and "?", without regard to ASCII case.
bool WildcardMatch(const std::string& pattern, const std::string& text);

// --- Strings -----------------------------------------------------------------------
std::string AsciiLower(std::string s);
std::string AsciiUpper(std::string s);
// Case-insensitive ordering (ASCII fold, then raw bytes): <0, 0, >0.
int CompareNoCase(const std::string& a, const std::string& b);
bool EqualNoCase(const std::string& a, const std::string& b);
// Backslashes to "/".
std::string NativePath(std::string p);

// --- Processes ----------------------------------------------------------------------
// Absolute path of the running program (/proc/self/exe) and its directory.
std::string ProgramPath();
std::string ProgramDirectory();
// The working directory ("." when it cannot be named).
std::string CurrentDirectory();
// True when both paths name the same directory (same device and inode).
bool SameDirectory(const std::string& a, const std::string& b);
// Executable regular file named name in a PATH directory; empty when none.
std::string FindInPath(const std::string& name);
// posix_spawn with an argument vector; stdio inherited unless devNullOutput. Returns the
// child pid or -1 with *err set.
pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   bool devNullOutput, int* err = nullptr);
// Waits for the child; returns the raw wait status (or -1). Retries on EINTR.
int WaitProcess(pid_t pid);

// --- Threads and memory ----------------------------------------------------------
long CurrentThreadId();           // gettid()
uint64_t HeapBytesAllocated();    // bytes currently allocated from the heap
uint64_t HeapBytesFree();         // free bytes held by the allocator
void RaiseFileLimit();            // RLIMIT_NOFILE up to its hard limit

}  // namespace jvb
