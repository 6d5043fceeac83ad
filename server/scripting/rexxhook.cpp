#include "server/scripting/rexxhook.h"

#include "server/scripting/rexxlibrary.h"
#include "server/scripting/scriptsession.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/trace.h"

namespace {

// RexxStart's own failures (bad parameters, could not start) are positive; they are
// interpreter errors as much as the negative ones and are reported the same way.
int StartError(long start) {
  return start < 0 ? static_cast<int>(start) : -static_cast<int>(start);
}

}  // namespace

int qmsRunRexxHook(qmsTSession& session, const std::string& script, const std::string& argument,
                   std::string& output) {
  jvbTraceScope trace("qmsRunRexxHook");
  output = "0";
  qmsTScriptSession scope(&session);
  qmsTRexxLibrary::Result result;
  if (!qmsTRexxLibrary::Instance().Run(script, argument, result)) return 0;
  if (result.start != 0) return StartError(result.start);
  output = result.output;
  return result.returnCode;
}

int32_t qmsRunRexxAuthentication(const std::string& script, const std::string& account,
                                 const std::string& password) {
  jvbTraceScope trace("qmsRunRexxAuthentication");
  const std::string file = jvb::NativePath(script);
  if (!jvb::FileExists(file)) return -1;
  // No session of its own: its "-1" must not reach a hook session of this thread.
  qmsTScriptSession scope(nullptr);
  qmsTRexxLibrary::Result result;
  if (!qmsTRexxLibrary::Instance().Run(file, "-1 " + account + " " + password, result)) return -1;
  if (result.start != 0) {
    qmsLog("RexxHook error " + std::to_string(StartError(result.start)) + " in \"" + file + "\"");
    return -1;
  }
  if (result.returnCode != 0) return result.returnCode;
  return result.output.empty() || result.output == "0" ? 0 : 1;
}
