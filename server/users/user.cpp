#include "server/users/user.h"

#include "server/users/accountname.h"
#include "server/users/pamlogon.h"
#include "server/users/scramble.h"
#include "server/users/tracecall.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"

namespace {

constexpr char kHidden[] = "******";
constexpr char kNtDomain[] = "<ntdomain>";
constexpr char kExternal[] = "<external>";

// Compares without stopping at the first difference, so the time taken does not tell
// how much of a guessed password was right.
bool SameBytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
  return diff == 0;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

qmsTUser::qmsTUser(qmsTUserDatabase* database, std::unique_ptr<jvbTTextConfig> file)
    : database_(database), file_(std::move(file)) {
  qmsTTraceCall trace("qmsTUser.Create", jvbTraceValue::Str(file_ ? file_->FileName() : ""));
  if (!file_) file_ = std::make_unique<jvbTTextConfig>("/dev/null");
}

qmsTUser::~qmsTUser() {
  qmsTTraceCall trace("qmsTUser.Destroy");
  stat_file_.Close();
}

std::string qmsTUser::Key(const char* key) {
  std::string value;
  file_->ReadString(value, "USER", key);
  return value;
}

int32_t qmsTUser::IntKey(const char* section, const char* key) {
  int32_t value = 0;
  file_->ReadInteger(value, section, key);
  return value;
}

std::string qmsTUser::TracedKey(const char* operation, const char* key) {
  qmsTTraceCall trace(operation);
  return trace.Str(Key(key));
}

std::string qmsTUser::GetUsername() { return TracedKey("qmsTUser.GetUsername", "Username"); }
std::string qmsTUser::GetFullname() { return TracedKey("qmsTUser.GetFullname", "Fullname"); }
std::string qmsTUser::GetAliases() { return TracedKey("qmsTUser.GetAliases", "Aliases"); }
std::string qmsTUser::GetGroups() { return TracedKey("qmsTUser.GetGroups", "MemberOfGroups"); }
std::string qmsTUser::GetAPOPSecret() { return TracedKey("qmsTUser.GetAPOPSecret", "APOPSecret"); }
std::string qmsTUser::GetRootDirectory() {
  return TracedKey("qmsTUser.GetRootDirectory", "RootDirectory");
}
std::string qmsTUser::GetLoginDirectory() {
  return TracedKey("qmsTUser.GetLoginDirectory", "LoginDirectory");
}
std::string qmsTUser::GetClientAddress() {
  return TracedKey("qmsTUser.GetClientAddress", "ClientAddress");
}

bool qmsTUser::GetChangePassword() {
  qmsTTraceCall trace("qmsTUser.GetChangePassword");
  return trace.Bool(IntKey("USER", "ChangePassword") == 1);
}

bool qmsTUser::GetAnonymous() {
  qmsTTraceCall trace("qmsTUser.GetAnonymous");
  return trace.Bool(IntKey("USER", "Anonymous") == 1);
}

bool qmsTUser::GetAdministrator() {
  qmsTTraceCall trace("qmsTUser.GetAdministrator");
  return trace.Bool(IntKey("USER", "Administrator") == 1);
}

int32_t qmsTUser::GetMaxBandwidth() {
  qmsTTraceCall trace("qmsTUser.GetMaxBandwidth");
  return static_cast<int32_t>(trace.Int(IntKey("USER", "MaxBandwidth")));
}

qmsTUser::PasswordForm qmsTUser::ReadPassword(std::string& value) {
  value.clear();
  std::string stored;
  if (!file_->ReadValue("USER", "Password", stored)) return PasswordForm::kEmpty;
  if (!stored.empty() && stored.front() == '-') {
    std::string plain = stored.substr(1);
    if (plain.size() > kQmsMaxPasswordBytes) plain.resize(kQmsMaxPasswordBytes);
    value = qmsScramble(plain);
    // The password works even when the file cannot be rewritten now; the next use tries again.
    RewritePassword(qmsHexEncode(value));
    return PasswordForm::kScrambled;
  }
  if (stored == kNtDomain || stored == kExternal) {
    value = stored;
    return PasswordForm::kSpecial;
  }
  if (!qmsHexDecode(stored, value)) return PasswordForm::kInvalid;
  return value.empty() ? PasswordForm::kEmpty : PasswordForm::kScrambled;
}

bool qmsTUser::RewritePassword(const std::string& hex) {
  const std::string file = file_->FileName();
  const std::string backup = jvbBackupName(file);
  // Dotted account names share a backup name ("john.doe" and "john.smith" both use
  // "john.bak"), and that name may itself be an account: never overwrite an account.
  const std::string dir = file.substr(0, file.size() - BaseName(file).size());
  if (database_ && jvb::FileExists(backup) && dir + BaseName(backup) == backup &&
      database_->IsAccountFile(BaseName(backup))) {
    qmsLog("Password of \"" + file + "\" not converted: its backup \"" + backup +
           "\" is another account's file");
    return false;
  }
  // The backup receives the plain password and takes the user file's mode: make both
  // owner-only first (a user file holds a password in every form).
  jvb::MakeOwnerOnly(file);
  return file_->WriteString("USER", "Password", hex);
}

std::string qmsTUser::GetPassword() {
  qmsTTraceCall trace("qmsTUser.GetPassword");
  std::string value;
  ReadPassword(value);
  trace.Result(jvbTraceValue::Str(kHidden));
  return value;
}

bool qmsTUser::Authenticate(const std::string& password, int32_t& errorCode, bool wait) {
  errorCode = 0;
  const bool anonymous = IntKey("USER", "Anonymous") == 1;
  qmsTTraceCall trace("qmsTUser.Authenticate",
                      jvbTraceValue::Str(anonymous ? password : std::string(kHidden)));
  if (anonymous) return trace.Bool(true);

  std::string stored;
  PasswordForm form;
  {
    qmsTTraceCall step("qmsTUser.GetPassword");
    form = ReadPassword(stored);
    step.Result(jvbTraceValue::Str(kHidden));
  }
  bool ok = false;
  if (form == PasswordForm::kSpecial && stored == kNtDomain) {
    errorCode = qmsPamLogon(Key("Username"), password);
    ok = errorCode == 0;
  } else if (form == PasswordForm::kSpecial && stored == kExternal) {
    errorCode = database_ ? database_->AuthenticateExternal(Key("Username"), password) : -1;
    ok = errorCode == 0;
  } else if (form != PasswordForm::kInvalid) {
    ok = SameBytes(qmsScramble(stored), password);
  }
  if (!ok && wait && database_) database_->DelayAfterFailure();
  return trace.Bool(ok);
}

bool qmsTUser::DenyService(const std::string& service) {
  qmsTTraceCall trace("qmsTUser.DenyService", jvbTraceValue::Str(service));
  return trace.Bool(IntKey(service.c_str(), "DenyService") == 1);
}

std::string qmsTUser::ForwardTo(const std::string& service) {
  qmsTTraceCall trace("qmsTUser.ForwardTo", jvbTraceValue::Str(service));
  std::string value;
  file_->ReadString(value, service, "ForwardTo");
  return trace.Str(value);
}

std::string qmsTUser::StatFileName() {
  const std::string username = Key("Username");
  if (!database_ || !qmsValidAccountName(username)) return {};
  return jvbJoinPath(database_->StatDirectory(), "usr." + username);
}

bool qmsTUser::OpenStat() {
  qmsTTraceCall trace("qmsTUser.OpenStat");
  if (stat_file_.IsOpen()) return trace.Bool(true);  // this session already holds it
  if (Key("Username").empty()) return trace.Bool(false);
  const std::string name = StatFileName();
  if (!name.empty()) {
    stat_file_.Init(name, jvb::fmReadWriteDenyWrite, 1, 0, 1000, jvb::kModePrivate);
    stat_file_.OpenOrCreate();
  }
  if (!stat_file_.IsOpen()) {
    qmsLog("Error: OpenStat failed");
    return trace.Bool(false);
  }
  if (stat_file_.Size() == 0) {
    stat_.Clear();
    stat_file_.BlockWrite(stat_.Data(), Tqms_user::kSize);
  } else {
    unsigned char buf[Tqms_user::kSize];
    const int64_t got = stat_file_.SeekStart() ? stat_file_.BlockRead(buf, sizeof buf) : 0;
    // A short file fills only the front of the record; the rest reads as zero.
    stat_.Load(buf, got > 0 ? static_cast<size_t>(got) : 0);
  }
  return trace.Bool(true);
}

void qmsTUser::CloseStat() {
  qmsTTraceCall trace("qmsTUser.CloseStat");
  if (!stat_file_.IsOpen()) return;
  unsigned char buf[Tqms_user::kSize];
  const int64_t got = stat_file_.SeekStart() ? stat_file_.BlockRead(buf, sizeof buf) : 0;
  Tqms_user disk;
  disk.Load(buf, got > 0 ? static_cast<size_t>(got) : 0);
  if (got != static_cast<int64_t>(Tqms_user::kSize) || !(disk == stat_)) {
    stat_file_.SeekStart();
    stat_file_.BlockWrite(stat_.Data(), Tqms_user::kSize);
  }
  // Taken while the file is still held, so no other writer's change can hide behind it.
  stat_stamp_ = jvb::FileStamp(stat_file_.Name());
  stat_file_.Close();
}

void qmsTUser::ReadStat() {
  qmsTTraceCall trace("qmsTUser.ReadStat");
  if (stat_file_.IsOpen()) return;  // the record in memory is the current one
  const std::string name = StatFileName();
  if (name.empty()) return;
  if (jvb::FileStamp(name) == stat_stamp_) return;
  if (OpenStat()) CloseStat();
}
