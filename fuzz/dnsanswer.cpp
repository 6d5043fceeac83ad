// The DNS answer parser over any message, and the server address form.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "toolbox/dnsquery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<jvbTDnsResult> out;
  jvbTDnsQuery::ParseMessage(data, size, out);
  for (const jvbTDnsResult& r : out)
    if (r.Name.size() > 1024 || r.Host.size() > 1024) qmsfuzz::Fail("name longer than a message can carry");
  uint32_t address = 0;
  uint16_t port = 0;
  jvbTDnsQuery::ParseServer(qmsfuzz::Bytes(data, size), address, port);
  return 0;
}
