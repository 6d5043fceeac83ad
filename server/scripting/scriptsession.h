// qmsTScriptSession: which session a script or plug-in works for.
//
// While a hook runs on a session's thread, a qmsTScriptSession object on that thread's
// stack names the session. The server functions of scripts find sessions by key (the
// socket handle a script receives as its first word): the calling thread's own session
// when it has that key, else the first session with the key among the active sessions of
// all services of all groups, each service's list searched under its lock and the
// function run while that lock is held, so the session cannot be released meanwhile.
// The key "-1" (sessions without a connection) only ever names the calling session.
#pragma once

#include <functional>
#include <string>

class qmsTSession;

class qmsTScriptSession {
 public:
  explicit qmsTScriptSession(qmsTSession* session);
  ~qmsTScriptSession();
  qmsTScriptSession(const qmsTScriptSession&) = delete;
  qmsTScriptSession& operator=(const qmsTScriptSession&) = delete;

  // The session of the innermost hook running on the calling thread, nullptr when none.
  static qmsTSession* Current();
  // Calls f with the session whose key is key (blanks around it ignored); false when no
  // session has it.
  static bool With(const std::string& key, const std::function<void(qmsTSession&)>& f);

 private:
  qmsTSession* session_;
  qmsTScriptSession* previous_;
};
