// qmsTUser: one account of a user database, as found by qmsTUserDatabase::FindUser.
//
// Owns the account's user file (jvbTTextConfig). Every getter reads the file again (the
// configuration object reloads it when it changed on disk), so an edit by the operator
// takes effect at once. Keys are in section "USER" unless stated.
//
// Passwords ("USER"/"Password"):
//   - hexadecimal form of the scrambled password (scramble.h), at most 127 bytes;
//   - "<ntdomain>": the operating system's account of the same name, checked through PAM;
//   - "<external>": the external module or the database's authentication hook;
//   - "-" and a new password in plain text: scrambled on first use and written back in
//     hexadecimal form (the previous file is kept as ".bak", created private because it
//     holds the plain password). Plain passwords are cut to 127 bytes, so the first check
//     and every later one compare the same bytes.
// A stored value that is not valid hexadecimal matches no password at all.
//
// Statistics (Tqms_user in the file "<StatDirectory>/usr.<Username>", created 0600):
// OpenStat opens the file with other writers denied and reads the record; a counter is
// changed in Stat(); CloseStat writes the record back when it changed and releases the
// file. Two sessions of the same account therefore update it one after the other.
//
// One object belongs to one session (one thread at a time).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/users/userstat.h"
#include "toolbox/textfile.h"

class jvbTTextConfig;
class qmsTUserDatabase;

class qmsTUser {
 public:
  // database is not owned and must outlive the user; file is taken over.
  qmsTUser(qmsTUserDatabase* database, std::unique_ptr<jvbTTextConfig> file);
  ~qmsTUser();
  qmsTUser(const qmsTUser&) = delete;
  qmsTUser& operator=(const qmsTUser&) = delete;

  qmsTUserDatabase* Database() const { return database_; }
  // The user file, for readers of further sections (access rules, mail settings).
  jvbTTextConfig& Config() { return *file_; }

  std::string GetUsername();
  std::string GetFullname();
  std::string GetAliases();
  std::string GetGroups();
  std::string GetAPOPSecret();
  std::string GetRootDirectory();
  std::string GetLoginDirectory();
  std::string GetClientAddress();
  bool GetChangePassword();
  bool GetAnonymous();
  bool GetAdministrator();
  int32_t GetMaxBandwidth();

  // The stored password in its working form: scrambled bytes, "<ntdomain>",
  // "<external>", or empty. Converts the "-" form (see above).
  std::string GetPassword();
  // errorCode: 0, the PAM result for "<ntdomain>", the module's or hook's result for
  // "<external>". A false result comes back only after the database's failure delay,
  // unless wait is false: sessions wait themselves, as their login throttle says.
  bool Authenticate(const std::string& password, int32_t& errorCode, bool wait = true);

  // "DenyService" of the section named after the service is 1.
  bool DenyService(const std::string& service);
  // "ForwardTo" of the section named after the service; empty when missing.
  std::string ForwardTo(const std::string& service);

  bool OpenStat();  // false (and "Error: OpenStat failed" logged) when it cannot open
  void ReadStat();  // refreshes Stat() from disk when the file changed
  void CloseStat();
  bool StatOpen() const { return stat_file_.IsOpen(); }
  std::string StatFileName();
  Tqms_user& Stat() { return stat_; }
  // Counters of the current session only; never written to disk.
  Tqms_user& SessionStat() { return session_; }

 private:
  enum class PasswordForm { kEmpty, kScrambled, kSpecial, kInvalid };
  std::string Key(const char* key);
  std::string TracedKey(const char* operation, const char* key);
  int32_t IntKey(const char* section, const char* key);
  PasswordForm ReadPassword(std::string& value);
  bool RewritePassword(const std::string& hex);

  qmsTUserDatabase* database_;
  std::unique_ptr<jvbTTextConfig> file_;
  Tqms_user stat_;
  Tqms_user session_;
  jvbTTextFile stat_file_;
  uint64_t stat_stamp_ = 0;  // change stamp of the statistics file when last read
};
