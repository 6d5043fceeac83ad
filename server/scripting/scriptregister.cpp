#include "server/scripting/scriptregister.h"

#include "server/core/hooks.h"
#include "server/scripting/plugin.h"
#include "server/scripting/rexxhook.h"
#include "server/users/userdatabase.h"

void qmsRegisterScripting() {
  qmsTHookRunners& runners = qmsHookRunners();
  runners.rexx = qmsRunRexxHook;
  runners.plugin = [](qmsTSession& session, const std::string& library, const std::string& entry,
                      const std::string& arguments, std::string& output) {
    return qmsHook::CallGeneralHook(output, session, arguments, entry, library);
  };
  runners.httpRequest = [](qmsTSession& session, const std::string& library) {
    return qmsHook::CallHttpRequest(session, library);
  };
  qmsTUserDatabase::SetScriptRunner(qmsRunRexxAuthentication);
}
