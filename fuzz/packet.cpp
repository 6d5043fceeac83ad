// The administration link's packet decoder over any byte stream: every packet cut out,
// every field and text descriptor read; and a text set into a packet reads back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzzinput.h"
#include "toolbox/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qmpTBuffer buffer;
  size_t at = 0;
  while (at < size) {
    size_t used = 0;
    if (qmpParse(data + at, size - at, buffer, &used) != qmpParseComplete) break;
    if (used == 0 || used > size - at) qmsfuzz::Fail("qmpParse used a wrong count");
    at += used;
    int fixed = qmpFixedSize(buffer.Code());
    std::string text;
    for (int pos = -2; pos <= fixed + 2; ++pos) {
      qmpTSession::GetText(pos, buffer, text);
      buffer.GetLong(pos);
    }
    buffer.Assign(buffer.Data(), static_cast<size_t>(buffer.Size()));
  }
  // Encoder: a command packet carrying the input as its text.
  std::string text = qmsfuzz::Bytes(data, size);
  qmpTSession::New(buffer, 1, 0, qmpCommand);
  if (qmpTSession::SetText(text, 9, buffer)) {
    std::string back;
    if (!qmpTSession::GetText(9, buffer, back) || back != text) qmsfuzz::Fail("text does not read back");
  }
  return 0;
}
