// Account names as they become file names: the user file "<UserDirectory>/<name>", the
// statistics file "<StatDirectory>/usr.<name>" and the mail folders below HomeDirectory.
// Names arrive from clients (USER, APOP, LOGIN, HTTP Basic, RCPT) and from user files, so
// every caller that forms a path from one checks it here first; a name that fails is
// treated as an unknown account. Pure functions, safe from any thread.
#pragma once

#include <string>

// 1-64 bytes; no "/", "\", ":", NUL or other control characters; not "." or ".."; no
// leading "." (dot files in the user directory are never accounts).
bool qmsValidAccountName(const std::string& name);
