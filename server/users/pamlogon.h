// qmsPamLogon: the check of the "<ntdomain>" password form against the operating system's
// accounts through PAM, as a network logon: pam_authenticate and pam_acct_mgmt, no session
// and no credentials. The service name is "qms32" (the environment variable
// QMS_PAM_SERVICE overrides it); documentation/pam.d/qms32 is the example policy, and
// without a file of that name PAM's "other" policy applies.
//
// pam_unix verifies another account's password only when the server can read
// /etc/shadow (root, or a service account in group "shadow"); otherwise every check fails.
// Account names are passed unchanged: Linux names are case-sensitive, so "Username" must
// be spelled as the system account is.
//
// Checks are serialised process-wide (PAM modules are not guaranteed re-entrant).
#pragma once

#include <string>

inline constexpr char kQmsPamService[] = "qms32";

// 0 when PAM accepts the account and password; otherwise the failing PAM result
// (PAM_AUTH_ERR, PAM_USER_UNKNOWN, PAM_ACCT_EXPIRED ...), never 0.
int qmsPamLogon(const std::string& account, const std::string& password);
