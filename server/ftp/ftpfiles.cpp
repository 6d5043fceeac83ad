// Directory and file-management commands of qmsTFTPSession: each maps its argument into
// the virtual file system, checks the rights of the real path, makes one change beneath
// the mounted directory, sends one reply and writes one log line.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "server/ftp/ftpformat.h"
#include "server/ftp/ftpsession.h"
#include "toolbox/filesys.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/transfer.h"

namespace {

constexpr int kLogChange = 2;
constexpr int kLogDir = 4;
constexpr int kLogMkd = 8;
constexpr int kLogInfo = 16;
constexpr int kLogMisc = 64;
// Files and directories; never "system" entries (FIFOs, devices, links leading out).
constexpr int kFilesAndDirs = 0x33;

std::string Q(const std::string& s) { return qmsQuoted(s); }
std::string Err(int e) { return " (" + std::to_string(e) + ")"; }

}  // namespace

void qmsTFTPSession::cCWD(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  if (v.empty() || !FileSys().IsDirectory(v)) {
    SendTxt("550a", "CWD");
    return Log("CWD " + Q(argument) + " <" + real + ">, not found", kLogDir);
  }
  if (!Has(Rights(real), arExec)) {
    SendTxt("550a", "CWD");
    return Log("CWD " + Q(v) + " <" + real + ">, no access", kLogDir);
  }
  FileSys().ChangeDirectory(v);
  SendTxt("250a", "CWD");
  Log("CWD " + Q(v) + " <" + real + ">, ok", kLogDir);
}

void qmsTFTPSession::cCDUP(const std::string&, const std::string&) {
  const std::string v = Virtual("..");
  if (v.empty() || !FileSys().IsDirectory(v)) {
    SendTxt("550a", "CDUP");
    return Log("CDUP already at root", kLogDir);
  }
  const std::string real = Real(v);
  if (!Has(Rights(real), arExec)) {
    SendTxt("550b", "CDUP");
    return Log("CDUP " + Q(v) + " <" + real + ">, no access", kLogDir);
  }
  FileSys().ChangeDirectory(v);
  SendTxt("200a", "CDUP");
  Log("CDUP " + Q(v) + " <" + real + ">, ok", kLogDir);
}

void qmsTFTPSession::cPWD(const std::string&, const std::string&) {
  SendTxt("257a", "PWD");
  Log("PWD Ok", kLogMisc);
}

void qmsTFTPSession::cMKD(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arExec | arWrite)) {
    SendTxt("550b", "MKD");
    return Log("MKD " + Q(argument) + ", no access", kLogMkd);
  }
  jvb::RootDir root;
  std::string rel;
  errno = ENOENT;
  if (FileSys().Resolve(v, root, rel) && root.MkdirBeneath(rel, 0755)) {
    SendArg("257a", "MKD", argument);
    return Log("MKD " + Q(argument) + ", ok", kLogMkd);
  }
  hook_result_ = errno;
  SendTxt("550a", "MKD");
  Log("MKD " + Q(argument) + ", cannot create" + Err(hook_result_), kLogMkd);
}

void qmsTFTPSession::cRMD(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arExec | arWrite | arRead | arLimit1)) {
    SendTxt("550b", "RMD");
    return Log("RMD " + Q(argument) + ", no access", kLogMkd);
  }
  jvb::RootDir root;
  std::string rel;
  errno = ENOENT;
  const bool found = FileSys().Resolve(v, root, rel) && rel != "/" && !rel.empty();
  struct stat st{};
  if (found && root.StatBeneath(rel, st, false) && (st.st_mode & 0222) == 0) {
    hook_result_ = kReadOnlyResult;  // a read-only folder is never tried
  } else if (found && root.RmdirBeneath(rel)) {
    SendArg("250a", "RMD", argument);
    return Log("RMD " + Q(argument) + ", removed", kLogMkd);
  } else {
    hook_result_ = errno;
  }
  SendTxt("550c", "RMD");
  Log("RMD " + Q(argument) + ", cannot remove" + Err(hook_result_), kLogMkd);
}

void qmsTFTPSession::cDELE(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arWrite | arRead | arLimit1)) {
    SendTxt("550b", "DELE");
    return Log("DELE " + Q(argument) + ", no access", kLogChange);
  }
  jvb::RootDir root;
  std::string rel;
  int err = ENOENT;
  if (FileSys().Resolve(v, root, rel)) {
    // A file another session reads or writes is in use, as a sharing violation would say.
    int fd = root.OpenBeneath(rel, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd >= 0 && !jvb::TryLockExclusive(fd))
      err = jvb::kErrSharingViolation;
    else if (root.UnlinkBeneath(rel))
      err = 0;
    else
      err = errno;
    if (fd >= 0) jvb::CloseFile(fd);
  }
  hook_result_ = err;
  if (err == 0) {
    SendArg("250a", "DELE", argument);
    return Log("DELE " + Q(argument) + ", ok", kLogChange);
  }
  SendTxt("450a", "DELE");
  Log("DELE " + Q(argument) + ", file in use" + Err(err), kLogChange);
}

void qmsTFTPSession::cRNFR(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  rename_source_.clear();
  if (v.empty() || !Has(Rights(real), arWrite | arRead)) {
    SendTxt("550b", "RNFR");
    return Log("RNFR " + Q(argument) + ", no access", kLogChange);
  }
  jvb::RootDir root;
  std::string rel;
  struct stat st {};
  if (!FileSys().Resolve(v, root, rel) || rel == "/" || !root.StatBeneath(rel, st, false) ||
      !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
    SendTxt("550a", "RNFR");
    return Log("RNFR " + Q(argument) + ", not found", kLogChange);
  }
  rename_source_ = v;
  SendTxt("350a", "RNFR");
  Log("RNFR " + Q(argument) + ", ok", kLogChange);
}

void qmsTFTPSession::cRNTO(const std::string&, const std::string& argument) {
  const std::string source = rename_source_;
  rename_source_.clear();
  if (source.empty()) {
    SendTxt("550a", "RNTO");
    return Log("RNTO " + Q(argument) + ", missing RNFR", kLogChange);
  }
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arWrite)) {
    SendTxt("550b", "RNTO");
    return Log("RNTO " + Q(argument) + ", no access", kLogChange);
  }
  jvb::RootDir from, to;
  std::string relFrom, relTo;
  int err = ENOENT;
  if (FileSys().Resolve(source, from, relFrom) && FileSys().Resolve(v, to, relTo)) {
    // Both names must lie in one mounted directory; an existing target is never replaced.
    if (!jvb::SameDirectory(from.path(), to.path()))
      err = EXDEV;
    else
      err = from.RenameBeneath(relFrom, relTo) ? 0 : errno;
  }
  hook_result_ = err;
  if (err == 0) {
    SendTxt("250a", "RNTO");
    return Log("RNTO " + Q(argument) + ", ok", kLogChange);
  }
  SendTxt("550c", "RNTO");
  Log("RNTO " + Q(argument) + ", cannot rename" + Err(err), kLogChange);
}

void qmsTFTPSession::cSIZE(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arRead)) {
    SendTxt("550b", "SIZE");
    return Log("SIZE " + Q(argument) + ", no access", kLogInfo);
  }
  jvbTFSFind find;
  int64_t sum = 0;
  bool files = false, found = false;
  for (int rc = FileSys().FindFirst(v, kFilesAndDirs, find); rc == 0;
       rc = FileSys().FindNext(find)) {
    const jvbTFSFindItem* item = find.Current();
    found = true;
    sum += item->size;
    if (!(item->attr & jvb::faDirectory)) files = true;
  }
  FileSys().FindClose(find);
  if (!found) {
    SendTxt("550a", "SIZE");
    return Log("SIZE " + Q(argument) + ", nothing found", kLogInfo);
  }
  SendArg(files ? "213a" : "212a", "SIZE", std::to_string(sum));
  Log("SIZE " + Q(argument) + ", ok", kLogInfo);
}

void qmsTFTPSession::cMDTM(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arRead)) {
    SendTxt("550b", "MDTM");
    return Log("MDTM " + Q(argument) + ", no access", kLogInfo);
  }
  jvbTFSFind find;
  int rc = FileSys().FindFirst(v, kFilesAndDirs, find);
  const jvbTFSFindItem* item = rc == 0 ? find.Current() : nullptr;
  if (!item) {
    FileSys().FindClose(find);
    SendTxt("550a", "MDTM");
    return Log("MDTM " + Q(argument) + ", not found" + Err(rc), kLogInfo);
  }
  SendArg((item->attr & jvb::faDirectory) ? "212a" : "213a", "MDTM", qmsftp::Stamp14(item->time));
  FileSys().FindClose(find);
  Log("MDTM " + Q(argument) + ", ok", kLogInfo);
}

void qmsTFTPSession::cMLST(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arRead)) {
    SendTxt("550b", "MLST");
    return Log("MLST " + Q(argument) + ", no access", kLogInfo);
  }
  jvb::RootDir root;
  std::string rel;
  struct stat st {};
  if (!FileSys().Resolve(v, root, rel) || !root.StatBeneath(rel, st) ||
      !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    SendTxt("550a", "MLST");
    return Log("MLST " + Q(argument) + ", not found" + Err(ENOENT), kLogInfo);
  }
  SendTxt("250a", "MLST");
  SendLine(" " + GetMLS(real, S_ISDIR(st.st_mode), st.st_size, st.st_mtime, v) + v);
  SendTxt("250b", "MLST");
  Log("MLST " + Q(argument) + ", ok", kLogInfo);
}

std::string qmsTFTPSession::GetMLS(const std::string& realPath, bool directory, int64_t size,
                                   time_t mtime, const std::string& name) {
  std::string kind = "file";
  if (directory) kind = name == "." ? "cdir" : name == ".." ? "pdir" : "dir";
  return qmsftp::MlsFacts(mlst_facts_, kind, size, mtime, Rights(realPath));
}
