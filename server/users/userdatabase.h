// qmsTUserDatabase: the user database of one site personality group - a directory with
// one user file per account (the account name in lower case, no extension, in the text
// configuration format) and a directory with one statistics file per account.
//
// It finds accounts by name or alias and hands out qmsTUser objects; nothing is cached,
// every lookup reads the files again, so an operator's edits take effect at once.
//
// Account names are checked with qmsValidAccountName before they become file names; an
// invalid name is an unknown account. Only files whose "Username", lower-cased, equals the
// file name are accounts, so backups ("bob.bak") and stray files are never taken for one.
//
// Authentication of the "<external>" password form:
//   - no authentication hook set: the module "qmsauth.so" (see externalauth.h);
//   - a hook whose name ends in ".so" or ".dll": that module, with the same entry point;
//   - a hook whose name ends in ".rexx": the script runner installed with SetScriptRunner
//     is called with the script name, the account name and the password, and 0 accepts.
//     This library never calls an interpreter itself; the server's scripting layer
//     installs the runner. Without a runner (and for any other hook name) the check
//     rejects with the error code -1.
//
// After a failed password check the session waits FailDelay() milliseconds (5,000 by
// default) to slow down password guessing; tests set a shorter delay or their own sleeper.
// Sessions wait through DelayAfterFailure(ms, cancel), with the delay their group's login
// throttle gives (see loginthrottle.h), and stop waiting when their session ends.
//
// Thread safety: all operations may be called from any session thread at once. The hook,
// module, delay and runner setters are meant for start-up but are guarded anyway.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class qmsTUser;

// Runs a ".rexx" authentication hook: script name (native path), account name, password;
// returns 0 to accept, anything else to reject (the value becomes the error code).
using qmsTAuthScriptRunner = std::function<int32_t(
    const std::string& script, const std::string& account, const std::string& password)>;

// Waits the given number of milliseconds after a failed password check.
using qmsTFailDelayProc = std::function<void(int milliseconds)>;

class qmsTUserDatabase {
 public:
  static constexpr int kDefaultFailDelayMs = 5000;

  qmsTUserDatabase(const std::string& userDirectory, const std::string& statDirectory);
  ~qmsTUserDatabase();
  qmsTUserDatabase(const qmsTUserDatabase&) = delete;
  qmsTUserDatabase& operator=(const qmsTUserDatabase&) = delete;

  const std::string& UserDirectory() const { return user_dir_; }
  const std::string& StatDirectory() const { return stat_dir_; }

  // Finds the account by name, then by alias. On success user holds a new object that
  // the caller owns.
  bool FindUser(const std::string& name, std::unique_ptr<qmsTUser>& user);
  // Replaces name by the account that lists it among its "Aliases" (first in directory
  // order); false and name unchanged when none does.
  bool FindAlias(std::string& name);
  // True when fileName (a plain name in the user directory) is an account's user file.
  // Listings of accounts use it to leave backups and stray files out.
  bool IsAccountFile(const std::string& fileName);

  // The "GLOBAL"/"hookOnAuthenticate" value of the group; empty when none.
  void SetAuthHook(const std::string& hook);
  std::string AuthHook() const;
  // The module used for "<external>" while no hook is set; "qmsauth.so" unless changed.
  void SetExternalModule(const std::string& module);
  std::string ExternalModule() const;
  // The "<external>" check: hook or module as described above; 0 accepts.
  int32_t AuthenticateExternal(const std::string& account, const std::string& password) const;

  void SetFailDelay(int milliseconds);
  int FailDelay() const;
  // nullptr restores the default (the calling thread sleeps).
  void SetFailDelayProc(qmsTFailDelayProc proc);
  // Called by qmsTUser::Authenticate after a failed check: waits FailDelay().
  void DelayAfterFailure() const;
  // Waits ms milliseconds through the installed sleeper, or sleeps until cancel is set.
  void DelayAfterFailure(int ms, const std::atomic<bool>* cancel) const;

  // Process-wide: the runner of ".rexx" authentication hooks (nullptr removes it).
  static void SetScriptRunner(qmsTAuthScriptRunner runner);

 private:
  bool OpenUser(const std::string& lowerName, std::unique_ptr<qmsTUser>& user);

  const std::string user_dir_;
  const std::string stat_dir_;
  mutable std::mutex mutex_;  // guards the fields below
  std::string hook_;
  std::string module_;
  int fail_delay_ms_ = kDefaultFailDelayMs;
  qmsTFailDelayProc delay_proc_;
};
