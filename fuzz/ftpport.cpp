// PORT, EPRT and the passive range: whatever the text, an accepted address names a port
// in 1-65535, and formatted back it parses to the same address and port.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzzinput.h"
#include "server/ftp/ftpformat.h"

namespace {

std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

void RoundTrip(qmsftp::PortResult rc, uint32_t address, uint16_t port) {
  if (rc != qmsftp::prOk) return;
  if (port == 0) qmsfuzz::Fail("port 0 accepted");
  uint32_t a2 = 0;
  uint16_t p2 = 0;
  std::string d = Dotted(address);
  for (char& c : d)
    if (c == '.') c = ',';
  const std::string port6 = d + "," + std::to_string(port >> 8) + "," + std::to_string(port & 255);
  if (qmsftp::ParsePort(port6, a2, p2) != qmsftp::prOk || a2 != address || p2 != port)
    qmsfuzz::Fail("PORT form does not read back");
  const std::string eprt = "|1|" + Dotted(address) + "|" + std::to_string(port) + "|";
  if (qmsftp::ParseEprt(eprt, a2, p2) != qmsftp::prOk || a2 != address || p2 != port)
    qmsfuzz::Fail("EPRT form does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = qmsfuzz::Bytes(data, size);
  uint32_t address = 0;
  uint16_t port = 0;
  const qmsftp::PortResult portRc = qmsftp::ParsePort(text, address, port);
  RoundTrip(portRc, address, port);
  address = 0;
  port = 0;
  const qmsftp::PortResult eprtRc = qmsftp::ParseEprt(text, address, port);
  RoundTrip(eprtRc, address, port);

  int first = 20000, count = 100;
  if (qmsftp::ParsePassiveRange(text, first, count)) {
    if (first < 1024 || first > 65535 || count < 1 || first + count > 65536)
      qmsfuzz::Fail("passive range outside 1024-65535");
  }
  return 0;
}
