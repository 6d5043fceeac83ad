#include "server/mail/mailbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "server/users/accountname.h"
#include "toolbox/filesys.h"
#include "toolbox/md5.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

namespace {

constexpr size_t kCopyBlock = 16384;
// Names tried for one message: "N", then "N-1" ... "N-<kPlaceAttempts - 1>".
constexpr int kPlaceAttempts = 1000;

std::string WithSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

// A value written into a header line never carries a line end or a NUL.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return s;
}

// Descriptor of a regular file beneath dir that is not a symbolic link, or -1.
int OpenPlainFile(const jvb::RootDir& dir, const std::string& name) {
  int fd = dir.OpenBeneath(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  jvb::FileInfo info;
  if (fd >= 0 && (!jvb::GetFileInfo(fd, info) || !info.regular)) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

bool ReadFull(int fd, char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// True when both regular files beneath dir hold the same bytes.
bool SameContent(const jvb::RootDir& dir, const std::string& a, const std::string& b) {
  const int fa = OpenPlainFile(dir, a), fb = OpenPlainFile(dir, b);
  jvb::FileInfo sa, sb;
  bool same = fa >= 0 && fb >= 0 && jvb::GetFileInfo(fa, sa) && jvb::GetFileInfo(fb, sb) &&
              sa.size == sb.size;
  std::vector<char> x(kCopyBlock), y(kCopyBlock);
  for (off_t left = same ? static_cast<off_t>(sa.size) : 0; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<off_t>(left, kCopyBlock));
    if (!ReadFull(fa, x.data(), n) || !ReadFull(fb, y.data(), n) ||
        std::char_traits<char>::compare(x.data(), y.data(), n) != 0) {
      same = false;
      break;
    }
    left -= static_cast<off_t>(n);
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

// File name up to its last ".".
std::string BaseName(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Creates "<base>.qms" unless it exists. Written aside and moved into place without
// replacing, so of two sessions selecting at once exactly one sees the message as recent.
// False when another session created it first.
bool CreateFlagFile(const jvb::RootDir& dir, const std::string& base, long tid) {
  const std::string flag = base + qmsTMailbox::kFlagExtension;
  const std::string temp = "." + base + "." + std::to_string(tid) + ".tmp";
  jvbTTextFile f;
  f.Init(dir, temp, jvb::fmWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  if (!f.Rewrite()) return true;  // not recorded, but still new to this session
  bool written = f.Write("[IMAP]\r\nRecent=1\r\n");
  f.Close();
  if (written && dir.RenameBeneath(temp, flag)) return true;
  const int err = errno;
  dir.UnlinkBeneath(temp);
  return err != EEXIST;
}

}  // namespace

qmsTMailbox::qmsTMailbox(const jvbTFileSys& fs, const std::string& homeDirectory,
                         const std::string& user)
    : user_(user) {
  std::string home = jvb::NativePath(homeDirectory);
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  // An empty HomeDirectory would put every mailbox at the top of the VFS, which is the
  // FTP or web tree: no mapping, no mail.
  if (home.empty() || home == "/" || !qmsValidAccountName(user)) return;
  if (home.front() != '/') home.insert(0, "/");
  virtual_user_folder_ = home + "/" + user + "/" + kUserFolderName;
  const std::string folder = fs.RealPath(virtual_user_folder_);
  const std::string inbox = fs.RealPath(VirtualInbox());
  if (folder.empty() || inbox.empty()) return;
  user_folder_ = WithSlash(folder);
  inbox_ = WithSlash(inbox);
  const std::string homeReal = WithSlash(fs.RealPath(home));
  const std::string rel = user + "/" + kUserFolderName;
  if (homeReal.size() > 1 && user_folder_ == homeReal + rel + "/") {
    home_ = homeReal;
    home_rel_ = rel;
  }
}

std::string qmsTMailbox::VirtualInbox() const {
  return virtual_user_folder_.empty() ? std::string() : virtual_user_folder_ + "/" + kInboxName;
}

bool qmsTMailbox::CreateUserFolder() const {
  jvb::RootDir root;
  return OpenUserFolder(root, true);
}

bool qmsTMailbox::CreateInbox() const {
  jvb::RootDir inbox;
  return OpenInbox(inbox, true);
}

bool qmsTMailbox::OpenUserFolder(jvb::RootDir& root, bool create) const {
  root.Close();
  if (!Mapped()) return false;
  // A folder that a mount point puts elsewhere is a configured path of its own.
  if (home_.empty())
    return (!create || jvb::ForceDirectories(user_folder_)) && root.Open(user_folder_);
  if (create && !jvb::ForceDirectories(home_)) return false;
  jvb::RootDir home(home_);
  if (create && !home.MkdirsBeneath(home_rel_)) return false;
  return root.OpenSub(home, home_rel_, true);
}

bool qmsTMailbox::OpenInbox(jvb::RootDir& inbox, bool create) const {
  inbox.Close();
  jvb::RootDir folder;
  if (!OpenUserFolder(folder, create)) return false;
  if (create && !folder.MkdirsBeneath(kInboxName)) return false;
  return inbox.OpenSub(folder, kInboxName);
}

std::string qmsTMailbox::MessagePath(const std::string& messageName) const {
  return Mapped() ? inbox_ + messageName + kMessageExtension : std::string();
}

bool qmsTMailbox::ValidMessageName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

qmsTMailbox::StoreResult qmsTMailbox::StoreMessage(const std::string& messageName,
                                                   const std::string& reversePath,
                                                   jvbTTextFile& body,
                                                   const std::function<bool()>& proceed) const {
  if (!ValidMessageName(messageName)) return stBadName;
  jvb::RootDir inbox;
  if (!OpenInbox(inbox, true)) return stNoMailbox;
  // A dot name: never taken for a message or a folder while it is being written.
  const std::string partial = "." + messageName + ".part";
  jvbTTextFile out;
  out.Init(inbox, partial, jvb::fmWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  if (!out.Rewrite()) return stCannotCreate;

  StoreResult result = stStored;
  if (!out.Write("Return-Path: <" + OneLine(reversePath) + ">\r\n")) result = stWriteFailed;
  const int64_t size = body.Size();
  if (result == stStored && (size < 0 || !body.SeekStart())) result = stWriteFailed;
  std::vector<char> buffer(kCopyBlock);
  int64_t copied = 0;
  while (result == stStored && copied < size) {
    if (proceed && !proceed()) {
      result = stInterrupted;
      break;
    }
    int64_t n = body.BlockRead(buffer.data(), static_cast<int64_t>(buffer.size()));
    if (n <= 0) break;
    if (!out.Write(std::string(buffer.data(), static_cast<size_t>(n)))) result = stWriteFailed;
    copied += n;
  }
  // The body is held against writers, so anything but its full size is a read failure.
  if (result == stStored && copied != size) result = stWriteFailed;
  if (result == stStored && !out.Sync()) result = stWriteFailed;
  out.Close();
  if (result == stStored) result = Place(inbox, partial, messageName);
  if (result != stStored) inbox.UnlinkBeneath(partial);
  return result;
}

qmsTMailbox::StoreResult qmsTMailbox::Place(const jvb::RootDir& inbox,
                                            const std::string& partial,
                                            const std::string& messageName) {
  for (int i = 0; i < kPlaceAttempts; ++i) {
    const std::string target =
        (i == 0 ? messageName : messageName + "-" + std::to_string(i)) + kMessageExtension;
    if (inbox.RenameBeneath(partial, target)) return stStored;
    if (errno != EEXIST) return stWriteFailed;
    // This very copy, placed by a pass that ended before it could record it.
    if (SameContent(inbox, partial, target)) {
      inbox.UnlinkBeneath(partial);
      return stStored;
    }
  }
  return stWriteFailed;
}

std::string qmsTMailbox::UniqueId(const std::string& user, const std::string& fileName) {
  std::string name = fileName.substr(0, fileName.find('.'));
  bool printable = true;
  for (unsigned char c : name)
    if (c < 0x21 || c > 0x7E) printable = false;
  if (!printable || name.size() > kMaxUniqueId) name = qmsMD5Hex(name);
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  const size_t room = kMaxUniqueId - name.size();
  for (unsigned char c : user) {
    if (hex.size() + 2 > room) break;
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex + name;
}

std::string qmsTMailbox::ReadHomeDirectory(jvbTTextConfig* cfg) {
  std::string home;
  if (!cfg->ReadValue("GLOBAL", "HomeDirectory", home)) {
    home.clear();
    qmsLog("GLOBAL/HomeDirectory not found in " + cfg->FileName());
  }
  return home;
}

void qmsTMailbox::SweepStaleFlags(const jvb::RootDir& dir) {
  std::vector<jvb::DirEntry> found;
  dir.ListBeneath("", std::string("*") + kFlagExtension, kFileSearchMask, found);
  for (const auto& e : found) {
    const std::string base = BaseName(e.name);
    if (dir.ExistsBeneath(base + kMessageExtension, false)) continue;
    dir.UnlinkBeneath(e.name);
    dir.UnlinkBeneath(base + kBackupExtension);
  }
  dir.ListBeneath("", std::string("*") + kBackupExtension, kFileSearchMask, found);
  for (const auto& e : found) {
    const std::string base = BaseName(e.name);
    if (dir.ExistsBeneath(base + kMessageExtension, false) ||
        dir.ExistsBeneath(base + kFlagExtension, false))
      continue;
    dir.UnlinkBeneath(e.name);
  }
}

qmsTMailbox::FolderCounts qmsTMailbox::MarkRecent(const jvb::RootDir& dir, long threadId) {
  SweepStaleFlags(dir);
  std::vector<jvb::DirEntry> found;
  dir.ListBeneath("", kMessageMask, kFileSearchMask, found);
  FolderCounts counts;
  for (const auto& e : found) {
    ++counts.messages;
    const std::string base = BaseName(e.name);
    if (dir.ExistsBeneath(base + kFlagExtension, false)) continue;
    if (CreateFlagFile(dir, base, threadId)) ++counts.recent;
  }
  return counts;
}

bool qmsTMailbox::RemoveMessage(const jvb::RootDir& dir, const std::string& fileName) {
  jvbTTextFile file;
  file.Init(dir, fileName, jvb::fmReadExclusive);
  if (!file.Open()) return file.LastError() == ENOENT;
  const bool removed = dir.UnlinkBeneath(fileName);
  file.Close();
  return removed;
}
