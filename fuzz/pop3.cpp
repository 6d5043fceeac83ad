// The POP3 side without a socket: message numbers, and the RETR/TOP data a stored message
// turns into. However the file's bytes arrive in blocks, the data is the same, and the
// end mark appears only at its end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzzinput.h"
#include "server/mail/dotstuffer.h"
#include "server/mail/pop3session.h"

namespace {

std::string Stuff(const std::string& file, int64_t bodyLines, size_t block) {
  qmsTDotStuffer stuffer(bodyLines);
  std::string out;
  for (size_t at = 0; at < file.size(); at += block) {
    if (stuffer.Feed(file.data() + at, std::min(block, file.size() - at), out)) break;
  }
  stuffer.Finish(out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int64_t bodyLines = static_cast<int8_t>(data[0]);
  const size_t block = 1 + data[1] % 64;
  const std::string file = qmsfuzz::Bytes(data + 2, size - 2);
  qmsTPOP3Session::MessageNumber(file.substr(0, 32));

  const std::string whole = Stuff(file, bodyLines, file.size() + 1);
  if (Stuff(file, bodyLines, block) != whole) qmsfuzz::Fail("data depends on the block size");
  const std::string mark = "\r\n.\r\n";
  size_t end = whole.find(mark);
  bool onlyMark = whole == ".\r\n";
  if (!onlyMark && (end == std::string::npos || end + mark.size() != whole.size()))
    qmsfuzz::Fail("end mark not at the end of the data");
  return 0;
}
