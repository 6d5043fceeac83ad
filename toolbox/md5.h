// MD5 digest (RFC 1321) as the suite shows it: 32 lower-case hexadecimal digits. Used by
// the administration challenge and POP3 APOP. Safe to call from any thread.
#pragma once

#include <string>

std::string qmsMD5Hex(const std::string& text);
