// Template expansion over any text, and the guarantee the protocols rely on: client text
// passed through qmsNeutralizeTemplate never evaluates anything, wherever it is placed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "server/core/template.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Input: a template, then "\x00\x01" and client text.
  std::vector<std::string> parts = qmsfuzz::Split(qmsfuzz::Bytes(data, size), std::string("\0\1", 2), 2);
  const std::string& text = parts[0];
  auto vars = [](const std::string& name, std::string& value) {
    if (name == "loop") value = "%(loop)";
    else if (name == "user") value = "bob";
    else return false;
    return true;
  };
  std::string out = qmsExpandTemplate(text, vars);
  std::string inert = qmsExpandTemplate(text, vars, true);
  qmsRestoreTemplate(inert);
  std::string ssi = text;
  ExpandSSI(ssi);

  if (parts.size() < 2) return 0;
  // The client text between template pieces: nothing of it may reach a lookup.
  std::string safe = qmsNeutralizeTemplate(parts[1]);
  int lookups = 0;
  auto counting = [&lookups](const std::string&, std::string& value) {
    ++lookups;
    value = "x";
    return true;
  };
  for (const std::string& around : {std::string(), std::string("%"), std::string("%(")}) {
    lookups = 0;
    qmsExpandTemplate(around + safe + ")", counting);
    if (around.empty() && lookups != 0) qmsfuzz::Fail("neutralised client text was evaluated");
  }
  return 0;
}
