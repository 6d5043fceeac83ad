// Password scrambling and the hexadecimal form stored in user files.
//
// The scrambling is an exclusive-or with a key stream that a deterministic generator
// derives from a fixed 12-character program key. The stream depends only on the key and
// the byte position, so scrambling twice gives the plain bytes back; it is a way of not
// keeping passwords readable in user files, not encryption.
//
// The built-in defaults of the accounts "admin" and "user" are held here in scrambled
// hexadecimal form only; the server compares an account's stored (scrambled) password with
// them to warn about unchanged default passwords without unscrambling anything.
//
// All functions are pure and safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Stored passwords are limited to this many bytes (255 hexadecimal digits are read).
inline constexpr size_t kQmsMaxPasswordBytes = 127;
inline constexpr size_t kQmsMaxPasswordHex = 255;

// Self-inverse: qmsScramble(qmsScramble(x)) == x.
std::string qmsScramble(std::string_view bytes);

// Two upper-case digits per byte, high half first.
std::string qmsHexEncode(std::string_view bytes);

// Decodes the first 255 characters of hex, two digits per byte, letters of either case;
// a lone last digit is ignored. False (out empty) when a character is not a hex digit.
bool qmsHexDecode(std::string_view hex, std::string& out);

// Scrambled hexadecimal form of the built-in default password of "admin" and of "user".
extern const char* const kQmsDefaultAdminPasswordHex;
extern const char* const kQmsDefaultUserPasswordHex;

// Scrambled bytes of the built-in default password of the account (compared without
// regard to case: "admin" or "user"); empty for every other account.
std::string qmsDefaultPassword(const std::string& account);
