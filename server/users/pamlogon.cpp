#include "server/users/pamlogon.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "server/users/tracecall.h"

namespace {

std::mutex& PamLock() {
  static std::mutex m;
  return m;
}

// Answers the password prompt with the given password and never asks anything else.
int Conversation(int count, const struct pam_message** msg, struct pam_response** resp,
                 void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG || !msg || !resp) return PAM_CONV_ERR;
  const std::string* password = static_cast<const std::string*>(data);
  auto* out =
      static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (!out) return PAM_BUF_ERR;
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    const int style = msg[i]->msg_style;
    if (style == PAM_PROMPT_ECHO_OFF) {
      out[i].resp = ::strdup(password->c_str());
      ok = out[i].resp != nullptr;
    } else if (style != PAM_ERROR_MSG && style != PAM_TEXT_INFO) {
      ok = false;  // the account was given to pam_start: there is nothing else to answer
    }
  }
  if (!ok) {
    for (int i = 0; i < count; ++i) {
      if (out[i].resp) {
        std::memset(out[i].resp, 0, std::strlen(out[i].resp));
        std::free(out[i].resp);
      }
    }
    std::free(out);
    return PAM_CONV_ERR;
  }
  *resp = out;
  return PAM_SUCCESS;
}

// pam_unix adds a delay of its own after a failure; the caller already waits 5 seconds.
void NoFailDelay(int, unsigned, void*) {}

// One PAM transaction; pam_end with the last result when it goes out of scope.
class PamTransaction {
 public:
  PamTransaction(const char* service, const std::string& account, const std::string* password)
      : conv_{&Conversation, const_cast<std::string*>(password)} {
    status_ = ::pam_start(service, account.c_str(), &conv_, &handle_);
    if (status_ != PAM_SUCCESS) handle_ = nullptr;
  }
  ~PamTransaction() {
    if (handle_) ::pam_end(handle_, status_);
  }
  PamTransaction(const PamTransaction&) = delete;
  PamTransaction& operator=(const PamTransaction&) = delete;

  int status() const { return status_; }
  int Run() {
    if (!handle_) return status_;
    ::pam_set_item(handle_, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
    status_ = ::pam_authenticate(handle_, PAM_SILENT);
    if (status_ == PAM_SUCCESS) status_ = ::pam_acct_mgmt(handle_, PAM_SILENT);
    return status_;
  }

 private:
  struct pam_conv conv_;
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SYSTEM_ERR;
};

}  // namespace

int qmsPamLogon(const std::string& account, const std::string& password) {
  qmsTTraceCall trace("qmsPamLogon", jvbTraceValue::Str(account), jvbTraceValue::Str("******"));
  // PAM takes C strings: a NUL inside either would let a shortened value be checked.
  if (account.empty() || account.find('\0') != std::string::npos ||
      password.find('\0') != std::string::npos)
    return static_cast<int>(trace.Int(PAM_USER_UNKNOWN));
  const char* env = std::getenv("QMS_PAM_SERVICE");
  const std::string service = env && *env ? env : kQmsPamService;
  std::lock_guard<std::mutex> lock(PamLock());
  PamTransaction pam(service.c_str(), account, &password);
  int rc = pam.Run();
  // Success is 0 in PAM, so every failure is already non-zero.
  return static_cast<int>(trace.Int(rc));
}
