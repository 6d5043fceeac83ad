// Directory listings of qmsTFTPSession: LIST, NLST and MLSD on the data connection, and
// the same lines on the control connection for SITE LIST/NLST/MLSD.
#include <string>

#include "server/ftp/ftpformat.h"
#include "server/ftp/ftpsession.h"
#include "toolbox/filesys.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/timeutil.h"
#include "toolbox/transfer.h"

namespace {

constexpr int kLogDir = 4;
// Read-only, directory and archive entries: hidden and "system" entries never appear.
constexpr int kListed = 0x31;
constexpr int kDirectoriesOnly = 0x1037;
constexpr size_t kFlushAt = 16384;

}  // namespace

void qmsTFTPSession::cLIST(const std::string& c, const std::string& a) { List(true, c, a); }
void qmsTFTPSession::cNLST(const std::string& c, const std::string& a) { List(true, c, a); }
void qmsTFTPSession::cMLSD(const std::string& c, const std::string& a) { List(true, c, a); }

int qmsTFTPSession::CountSubDirs(const std::string& virtualDir) {
  if (disable_dircount_ || virtualDir.size() <= 2) return 2;
  jvbTFSFind find;
  int n = 2;  // "." and ".."
  for (int rc = FileSys().FindFirst(virtualDir + "/*", kDirectoriesOnly, find); rc == 0;
       rc = FileSys().FindNext(find))
    ++n;
  FileSys().FindClose(find);
  return n;
}

bool qmsTFTPSession::SendListLine(bool toData, const std::string& lines) {
  if (lines.empty()) return true;
  if (!toData) return SendRaw(lines);
  if (!data_ || !data_->Send(lines)) abort_ = true;
  PollAbort();
  return !abort_;
}

void qmsTFTPSession::List(bool toData, const std::string& command, const std::string& argument) {
  std::string options = command == "LIST" ? "l" : "";
  std::string path = argument;
  while (!path.empty() && path[0] == '-') {
    std::string rest;
    options += qmsftp::FirstWord(path, rest).substr(1);
    path = rest;
  }
  const bool isLong = options.find('l') != std::string::npos;
  const bool all = options.find('a') != std::string::npos;
  const bool mark = options.find('F') != std::string::npos;
  std::string mask = Virtual(path.empty() ? "." : path);
  if (!mask.empty() && mask.find_first_of("?*") == std::string::npos && FileSys().IsDirectory(mask))
    mask += mask.back() == '/' ? "*" : "/*";
  const size_t slash = mask.rfind('/');
  const std::string dir = slash == std::string::npos || slash == 0 ? "/" : mask.substr(0, slash);
  const std::string realDir = Real(dir);
  if (mask.empty() || !Has(Rights(realDir), arExec | arLimit2)) {
    SendTxt("550a", command);
    return Log(command + " " + qmsQuoted(path) + " <" + realDir + ">, no access", kLogDir);
  }
  if (toData) {
    if (!SetupDataConn()) {
      SendTxt("425a", command);
      return Log(command + " " + qmsQuoted(path) + ", unable to open data connection", kLogDir);
    }
    SendArg("150a", command, mask);
    if (!SecureData()) CloseData();  // the listing is then not sent
  }
  const int before = Status;
  Status = stList;
  abort_ = false;
  const jvb::DateTime now = jvb::NowLocal();
  std::string out;
  jvbTFSFind find;
  for (int rc = FileSys().FindFirst(mask, kListed, find); rc == 0 && !abort_ && !Stopping();
       rc = FileSys().FindNext(find)) {
    const jvbTFSFindItem& e = *find.Current();
    const bool isDir = (e.attr & jvb::faDirectory) != 0;
    if (e.name.find_first_of("\r\n") != std::string::npos) continue;  // would break the lines
    if (command != "MLSD" && !all && !e.name.empty() && e.name[0] == '.') continue;
    if (hide_if_no_access_ && (Rights(e.realPath) & 15) == 0) continue;
    if (command == "MLSD") {
      out += GetMLS(e.realPath, isDir, e.size, e.time, e.name);
    } else if (isLong) {
      out += qmsftp::LongLine(isDir, access_.GetAccessStr(access_.GetPathAccess(e.realPath)),
                              isDir ? CountSubDirs(e.virtualPath) : 1,
                              access_.GetPathOwner(e.realPath), access_.GetPathGroup(e.realPath),
                              e.size, qmsftp::DateString(e.time, now));
    }
    out += e.name + (mark && isDir ? "/" : "") + "\r\n";
    if (out.size() >= kFlushAt) {
      SendListLine(toData, out);
      out.clear();
    }
  }
  FileSys().FindClose(find);
  SendListLine(toData, out);
  if (toData) {
    if (data_) data_->ShutdownSend();
    CloseData();
    SendTxt("226a", command);
  }
  Log(command + " " + qmsQuoted(path) + ", ok", kLogDir);
  Status = toData ? static_cast<int>(stLoggedIn) : before;
}
