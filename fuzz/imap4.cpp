// The IMAP4 command line without a socket: word splitting, literals, folder names and
// LIST patterns. A folder name never leaves the user folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "server/mail/imap4session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line = qmsfuzz::Bytes(data, size);
  std::vector<std::string> words = qmsTIMAP4Session::SplitWords(line);
  size_t literal = 0;
  std::string cut = line;
  qmsTIMAP4Session::LiteralAtEnd(cut, literal);
  for (const std::string& w : words) {
    std::string folder = qmsTIMAP4Session::FolderName(w);
    if (folder.empty()) continue;
    if (folder[0] == '/' || folder == ".." || folder.rfind("../", 0) == 0 ||
        folder.find("/../") != std::string::npos ||
        (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "/..") == 0))
      qmsfuzz::Fail("folder name leaves the user folder");
  }
  if (words.size() >= 2) qmsTIMAP4Session::MatchPattern(words[0], words[1]);
  return 0;
}
