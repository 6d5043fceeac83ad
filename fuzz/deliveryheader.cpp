// The delivery pass's header file reader over any file text: every key read, a stamp
// parsed, and what Save writes reads back as the same header.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzzinput.h"
#include "server/mail/deliveryheader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = qmsfuzz::Bytes(data, size);
  std::string path = qmsfuzz::WriteScratch("fuzz.hdr", text);
  qmsTDeliveryHeader header;
  if (!header.Open(path)) return 0;
  int64_t ms = 0;
  for (const auto& section : header.Header()) {
    for (const auto& kv : section.keys) {
      header.ReadInteger(section.name, kv.first);
      header.ReadList(section.name, kv.first);
      header.ReadStamp(section.name, kv.first, ms);
    }
  }
  qmsTDeliveryHeader::ParseStamp(text.substr(0, 40), ms);
  header.Write("INFO", "Fuzz", text.substr(0, 64));
  if (!header.Save()) return 0;
  const qmsTDeliveryHeader::Model saved = header.Header();
  header.Close();
  qmsTDeliveryHeader again;
  if (!again.Open(path)) qmsfuzz::Fail("saved header cannot be opened");
  if (again.Header().size() != saved.size()) qmsfuzz::Fail("saved header reads back different");
  return 0;
}
