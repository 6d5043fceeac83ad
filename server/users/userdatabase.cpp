#include "server/users/userdatabase.h"

#include <vector>

#include "server/users/accountname.h"
#include "server/users/externalauth.h"
#include "server/users/loginthrottle.h"
#include "server/users/tracecall.h"
#include "server/users/user.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

namespace {

std::mutex& RunnerLock() {
  static std::mutex m;
  return m;
}

qmsTAuthScriptRunner& Runner() {
  static qmsTAuthScriptRunner runner;
  return runner;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string LowerUsername(jvbTTextConfig& config) {
  std::string username;
  config.ReadString(username, "USER", "Username");
  return jvb::AsciiLower(username);
}

}  // namespace

qmsTUserDatabase::qmsTUserDatabase(const std::string& userDirectory,
                                   const std::string& statDirectory)
    : user_dir_(jvb::NativePath(userDirectory)),
      stat_dir_(jvb::NativePath(statDirectory)),
      module_(kQmsAuthModule) {
  qmsTTraceCall trace("qmsTUserDatabase.Create", jvbTraceValue::Str(user_dir_),
                      jvbTraceValue::Str(stat_dir_));
}

qmsTUserDatabase::~qmsTUserDatabase() { qmsTTraceCall trace("qmsTUserDatabase.Destroy"); }

bool qmsTUserDatabase::OpenUser(const std::string& lowerName, std::unique_ptr<qmsTUser>& user) {
  const std::string path = jvbJoinPath(user_dir_, lowerName);
  // A regular file only: directories, devices and FIFOs are never opened as user files.
  if (!jvb::FileExists(path)) return false;
  auto config = std::make_unique<jvbTTextConfig>(path);
  if (LowerUsername(*config) != lowerName) return false;
  user = std::make_unique<qmsTUser>(this, std::move(config));
  return true;
}

bool qmsTUserDatabase::FindUser(const std::string& name, std::unique_ptr<qmsTUser>& user) {
  qmsTTraceCall trace("qmsTUserDatabase.FindUser", jvbTraceValue::Str(name));
  if (!qmsValidAccountName(name)) return trace.Bool(false);
  std::string lower = jvb::AsciiLower(name);
  if (!jvb::FileExists(jvbJoinPath(user_dir_, lower))) {
    // The alias names an account whose file exists; it is opened without a second alias
    // search, so aliases never chain or loop.
    if (!FindAlias(lower)) return trace.Bool(false);
  }
  return trace.Bool(OpenUser(lower, user));
}

bool qmsTUserDatabase::FindAlias(std::string& name) {
  qmsTTraceCall trace("qmsTUserDatabase.FindAlias", jvbTraceValue::Str(name));
  if (!qmsValidAccountName(name)) return trace.Bool(false);
  std::vector<jvb::DirEntry> entries;
  // Regular files only (no directories, no "system" entries such as FIFOs or sockets),
  // sorted by name, so "bob" comes before "bob.bak".
  int rc =
      jvb::FindFiles(user_dir_, "*", jvb::faReadOnly | jvb::faHidden | jvb::faArchive, entries);
  if (rc != 0) {
    qmsErrFind(rc);
    return trace.Bool(false);
  }
  for (const jvb::DirEntry& e : entries) {
    if (!qmsValidAccountName(e.name)) continue;  // dot files and names no account can have
    const std::string path = jvbJoinPath(user_dir_, e.name);
    // The configuration object would create a file that vanished since the listing.
    if (!jvb::FileExists(path)) continue;
    jvbTTextConfig config(path);
    // Backups and stray copies list the same aliases as the account they were copied
    // from; only a file that is its own account counts, and the search goes on past it.
    if (LowerUsername(config) != e.name) continue;
    std::vector<std::string> aliases;
    config.ReadList(aliases, "USER", "Aliases");
    for (const std::string& alias : aliases) {
      if (!alias.empty() && jvb::EqualNoCase(alias, name)) {
        name = e.name;
        return trace.Bool(true);
      }
    }
  }
  return trace.Bool(false);
}

bool qmsTUserDatabase::IsAccountFile(const std::string& fileName) {
  qmsTTraceCall trace("qmsTUserDatabase.IsAccountFile", jvbTraceValue::Str(fileName));
  if (!qmsValidAccountName(fileName)) return trace.Bool(false);
  const std::string path = jvbJoinPath(user_dir_, fileName);
  if (!jvb::FileExists(path)) return trace.Bool(false);
  jvbTTextConfig config(path);
  return trace.Bool(LowerUsername(config) == fileName);
}

void qmsTUserDatabase::SetAuthHook(const std::string& hook) {
  std::lock_guard<std::mutex> g(mutex_);
  hook_ = hook;
}

std::string qmsTUserDatabase::AuthHook() const {
  std::lock_guard<std::mutex> g(mutex_);
  return hook_;
}

void qmsTUserDatabase::SetExternalModule(const std::string& module) {
  std::lock_guard<std::mutex> g(mutex_);
  module_ = module;
}

std::string qmsTUserDatabase::ExternalModule() const {
  std::lock_guard<std::mutex> g(mutex_);
  return module_;
}

int32_t qmsTUserDatabase::AuthenticateExternal(const std::string& account,
                                               const std::string& password) const {
  qmsTTraceCall trace("qmsTUserDatabase.AuthenticateExternal", jvbTraceValue::Str(account),
                      jvbTraceValue::Str("******"));
  std::string hook, module;
  {
    std::lock_guard<std::mutex> g(mutex_);
    hook = hook_;
    module = module_;
  }
  if (hook.empty())
    return static_cast<int32_t>(trace.Int(qmsAuthenticate(module, account, password)));
  const std::string lower = jvb::AsciiLower(hook);
  if (EndsWith(lower, ".so") || EndsWith(lower, ".dll"))
    return static_cast<int32_t>(trace.Int(qmsAuthenticate(hook, account, password)));
  if (EndsWith(lower, ".rexx")) {
    qmsTAuthScriptRunner runner;
    {
      std::lock_guard<std::mutex> g(RunnerLock());
      runner = Runner();
    }
    if (!runner) return static_cast<int32_t>(trace.Int(-1));
    int32_t rc = -1;
    try {
      rc = runner(jvb::NativePath(hook), account, password);
    } catch (...) {
      rc = -1;
    }
    return static_cast<int32_t>(trace.Int(rc));
  }
  return static_cast<int32_t>(trace.Int(-1));
}

void qmsTUserDatabase::SetFailDelay(int milliseconds) {
  std::lock_guard<std::mutex> g(mutex_);
  fail_delay_ms_ = milliseconds < 0 ? 0 : milliseconds;
}

int qmsTUserDatabase::FailDelay() const {
  std::lock_guard<std::mutex> g(mutex_);
  return fail_delay_ms_;
}

void qmsTUserDatabase::SetFailDelayProc(qmsTFailDelayProc proc) {
  std::lock_guard<std::mutex> g(mutex_);
  delay_proc_ = std::move(proc);
}

void qmsTUserDatabase::DelayAfterFailure() const { DelayAfterFailure(FailDelay(), nullptr); }

void qmsTUserDatabase::DelayAfterFailure(int ms, const std::atomic<bool>* cancel) const {
  qmsTFailDelayProc proc;
  {
    std::lock_guard<std::mutex> g(mutex_);
    proc = delay_proc_;
  }
  if (proc) {
    proc(ms);
  } else if (ms > 0) {
    qmsWaitUnless(ms, cancel);
  }
}

void qmsTUserDatabase::SetScriptRunner(qmsTAuthScriptRunner runner) {
  std::lock_guard<std::mutex> g(RunnerLock());
  Runner() = std::move(runner);
}
