#include "server/scripting/rexxfunc.h"

#include <cstring>
#include <string>
#include <vector>

#include "server/core/session.h"
#include "server/scripting/rexxlibrary.h"
#include "server/scripting/scriptsession.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"

namespace {

// Value of a key in a configuration file; empty when the file, section or key is missing.
// A missing file is not created (opening one for reading would).
std::string ConfigValue(const std::string& file, const std::string& section,
                        const std::string& key) {
  const std::string path = jvb::NativePath(file);
  std::string value;
  if (path.empty() || !jvb::FileExists(path)) return value;
  jvbTTextConfig config(path);
  if (!config.ReadValue(section, key, value)) value.clear();
  return value;
}

// Copies text into the interpreter's result: into the buffer it provides when the text
// fits, else into memory allocated the interpreter's way (it frees that itself).
bool SetResult(PRXSTRING result, const std::string& text) {
  if (!result) return false;
  if (result->strptr && text.size() <= result->strlength) {
    if (!text.empty()) memcpy(result->strptr, text.data(), text.size());
    result->strlength = text.size();
    return true;
  }
  void* memory = qmsTRexxLibrary::Instance().AllocateMemory(text.size());
  if (!memory) return false;
  memcpy(memory, text.data(), text.size());
  result->strptr = static_cast<char*>(memory);
  result->strlength = text.size();
  return true;
}

// The failure answer "-1" always fits the buffer the interpreter provides.
APIRET Fail(PRXSTRING result) {
  if (!SetResult(result, "-1") && result) result->strlength = 0;
  return 1;
}

bool Call(const std::string& function, const std::vector<std::string>& args, std::string& value) {
  if (function == "qmscfg") {
    if (args.size() < 4) return false;
    value = ConfigValue(args[1], args[2], args[3]);
    return true;
  }
  if (function != "qmslog" && function != "qmssay" && function != "qmsvar") return false;
  if (args.size() < 2) return false;
  bool ok = false;
  bool found = qmsTScriptSession::With(args[0], [&](qmsTSession& session) {
    if (function == "qmslog") {
      session.Log(args[1]);
      ok = true;
    } else if (function == "qmssay") {
      ok = session.SendIt(args[1]);
    } else {
      value = session.ReturnFIB(args[1]);
      ok = true;
    }
  });
  return found && ok;
}

}  // namespace

APIRET APIENTRY qmsRexxFunc(PCSZ name, ULONG argc, PRXSTRING argv, PCSZ /*queueName*/,
                            PRXSTRING result) {
  jvbTraceScope trace("qmsRexxFunc");
  // Nothing may leave this function as an exception: the caller is C code.
  try {
    const std::string function = jvb::AsciiLower(name ? name : "");
    std::vector<std::string> args;
    args.reserve(argc);
    for (ULONG i = 0; i < argc; ++i) {
      // An omitted argument ("qmsCFG(s,,x,y)") arrives without a string.
      if (argv && argv[i].strptr)
        args.emplace_back(argv[i].strptr, argv[i].strlength);
      else
        args.emplace_back();
    }
    if (jvbTraceEnabled.load(std::memory_order_relaxed)) {
      for (size_t i = 0; i < args.size(); ++i)
        jvbTraceWrite("Rexx(" + std::to_string(i) + ") \"" + args[i] + "\"");
    }
    std::string value;
    if (!Call(function, args, value)) return Fail(result);
    if (!SetResult(result, value)) return Fail(result);
    return 0;
  } catch (...) {
    return Fail(result);
  }
}
