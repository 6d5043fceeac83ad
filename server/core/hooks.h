// Hook runners: the scripting library installs them at start, so the core builds and is
// tested without an interpreter. Without a runner, a hook of that kind lets the session
// go on (result 0, output "0").
#pragma once

#include <functional>
#include <string>

class qmsTSession;

struct qmsTHookRunners {
  // Runs a REXX script with one argument; sets output to the returned string, returns the
  // script's return code (negative on an interpreter error).
  std::function<int(qmsTSession& session, const std::string& script, const std::string& argument,
                    std::string& output)>
      rexx;
  // Calls the general hook entry of a plug-in library with the remaining arguments.
  std::function<int(qmsTSession& session, const std::string& library, const std::string& entry,
                    const std::string& arguments, std::string& output)>
      plugin;
  // Answers an HTTP application request through the entry "qmsHttpRequest" of a plug-in
  // library; true when the plug-in handled it.
  std::function<bool(qmsTSession& session, const std::string& library)> httpRequest;
};

qmsTHookRunners& qmsHookRunners();
