// The FTP command line without a socket: stripping, the command word and its argument,
// the argument helpers (first word, REST offset, OPTS MLST, SITE LANG) and the client's
// path through the virtual file system. No path ever maps outside its mounted directory.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzzinput.h"
#include "server/core/session.h"
#include "server/ftp/ftpformat.h"
#include "toolbox/filesys.h"
#include "toolbox/textconfig.h"

namespace {

// A root and one mount point below it, both on scratch paths that need not exist.
jvbTTextConfig& Vfs() {
  static jvbTTextConfig* config = [] {
    const std::string dir = qmsfuzz::ScratchDir();
    for (const char* sub : {"/root", "/root/a", "/root/a/b", "/mnt", "/mnt/x"})
      mkdir((dir + sub).c_str(), 0700);
    const std::string text = "[VFS]\n/=" + dir + "/root\n/pub/mnt=" + dir + "/mnt\n";
    return new jvbTTextConfig(qmsfuzz::WriteScratch("vfs.cfg", text));
  }();
  return *config;
}

bool Beneath(const std::string& real, const std::string& dir) {
  if (real.compare(0, dir.size(), dir) != 0) return false;
  if (real.size() > dir.size() && real[dir.size()] != '/') return false;
  return real.find("/../") == std::string::npos && real.find('\0') == std::string::npos &&
         (real.size() < 3 || real.compare(real.size() - 3, 3, "/..") != 0);
}

void CheckPath(jvbTFileSys& fs, const std::string& path) {
  const jvbTFSMapping m = fs.Map(path);
  if (m.realPath.empty()) return;
  const std::string& dir = qmsfuzz::ScratchDir();
  if (!Beneath(m.realPath, dir + "/root") && !Beneath(m.realPath, dir + "/mnt"))
    qmsfuzz::Fail("an FTP path maps outside its mounted directories");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line = qmsTSession::StripCommandLine(qmsfuzz::Bytes(data, size));
  std::string command, argument, rest;
  qmsftp::SplitCommand(line, command, argument);
  for (char c : command)
    if (c >= 'a' && c <= 'z') qmsfuzz::Fail("command word not upper-cased");
  const std::string word = qmsftp::FirstWord(argument, rest);
  if (word.find(' ') != std::string::npos) qmsfuzz::Fail("first word holds a blank");
  const int64_t offset = qmsftp::ParseOffset(argument);
  if (offset < -1) qmsfuzz::Fail("negative REST offset");
  int facts = 0;
  qmsftp::FeatMlstLine(facts);
  qmsftp::ParseMlstOpts(argument, facts);
  if (facts & ~15) qmsfuzz::Fail("unknown MLST fact bit");
  if (qmsftp::ValidLanguage(argument) && (argument.empty() || argument.size() > 16))
    qmsfuzz::Fail("language name out of bounds");
  qmsftp::FillAB(argument, word, rest);

  jvbTFileSys fs(&Vfs());
  CheckPath(fs, argument);
  CheckPath(fs, word);
  // A session that moved down first: the same paths taken from there.
  for (const char* dir : {"/a/b", "/pub/mnt/x"}) {
    if (!fs.SetCurrentDirectory(dir)) qmsfuzz::Fail("scratch directory missing");
    CheckPath(fs, argument);
    CheckPath(fs, word);
  }
  return 0;
}
