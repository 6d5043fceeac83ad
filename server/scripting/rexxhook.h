// The runners the server core calls for ".rexx" hooks: scripts of the session hooks and
// of message-file entries, and the authentication hook of the user database.
#pragma once

#include <cstdint>
#include <string>

class qmsTSession;

// Runs script with argument (already "%d %s": socket handle and expanded arguments) for
// session. Returns the script's return code and sets output to its returned string; on an
// interpreter error returns that error (negative) and output "0". Without the interpreter
// library: 0 and "0".
int qmsRunRexxHook(qmsTSession& session, const std::string& script, const std::string& argument,
                   std::string& output);

// The ".rexx" form of "GLOBAL"/"hookOnAuthenticate": runs script with the argument
// "-1 account password" ("-1": no session of its own) and maps its answer as hook results
// are mapped: 0 (return code 0, output empty or "0") accepts the password; anything else
// rejects with that code (1 for other output). The password is refused (-1) when the
// script cannot run at all - no interpreter library, an interpreter error, or the file
// is missing - so a broken installation never lets a password through.
int32_t qmsRunRexxAuthentication(const std::string& script, const std::string& account,
                                 const std::string& password);
