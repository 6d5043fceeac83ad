#include "server/scripting/scriptsession.h"

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/session.h"

namespace {

thread_local qmsTScriptSession* t_current = nullptr;
thread_local qmsTSession* t_session = nullptr;

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

qmsTScriptSession::qmsTScriptSession(qmsTSession* session)
    : session_(session), previous_(t_current) {
  t_current = this;
  t_session = session_;
}

qmsTScriptSession::~qmsTScriptSession() {
  t_current = previous_;
  t_session = previous_ ? previous_->session_ : nullptr;
}

qmsTSession* qmsTScriptSession::Current() { return t_session; }

bool qmsTScriptSession::With(const std::string& key, const std::function<void(qmsTSession&)>& f) {
  const std::string wanted = TrimBlanks(key);
  if (wanted.empty()) return false;
  // The calling session cannot go away while its own thread runs the hook: no lock.
  if (qmsTSession* own = Current(); own && own->Key() == wanted) {
    f(*own);
    return true;
  }
  if (wanted == "-1" || !qmsApplication) return false;
  for (qmsTGroup* group : qmsApplication->Groups())
    if (group->WithSession(wanted, f)) return true;
  return false;
}
