// Pure pieces of the FTP service, without I/O: command-line splitting, PORT/EPRT
// arguments, the passive port range, REST offsets, OPTS MLST, and the text forms of
// listings (long lines, dates) and of MLST/MLSD facts. Safe from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "toolbox/timeutil.h"

namespace qmsftp {

// First word (up to the first blank outside double quotes, upper-cased) and the rest with
// surrounding double quotes removed.
void SplitCommand(const std::string& line, std::string& command, std::string& argument);

// The first blank-separated word and the rest.
std::string FirstWord(const std::string& text, std::string& rest);

enum PortResult { prOk, prTooFew, prInvalid };
// "h1,h2,h3,h4,p1,p2": every field a decimal number, octets 0-255, port 1-65535.
PortResult ParsePort(const std::string& text, uint32_t& address, uint16_t& port);
// "|1|a.b.c.d|port|" (any delimiter in 33-126); only protocol 1 (IPv4).
PortResult ParseEprt(const std::string& text, uint32_t& address, uint16_t& port);

// The passive range from "first count": first clamped to 1024-65535, count to
// 1-(65536 - first). False (range unchanged) when the text holds no number.
bool ParsePassiveRange(const std::string& text, int& first, int& count);

// REST offset: decimal digits only, at most 2^62; -1 when invalid.
int64_t ParseOffset(const std::string& text);

// OPTS MLST fact list: sets facts (bits 1 size, 2 modify, 4 type, 8 perm) and returns the
// accepted names, each followed by ";".
std::string ParseMlstOpts(const std::string& list, int& facts);
// The FEAT line " MLST type*;size*;modify*;perm*;" with "*" after the facts that are on.
std::string FeatMlstLine(int facts);

// "yyyymmddhhnnss" of a local time.
std::string Stamp14(time_t t);
// The listing date: "mmm dd hh:nn " for the last months, "mmm dd  yyyy " for older files.
std::string DateString(time_t t, const jvb::DateTime& now);
// A long listing line up to the name.
std::string LongLine(bool directory, const std::string& accessString, int links,
                     const std::string& owner, const std::string& group, int64_t size,
                     const std::string& date);
// MLST/MLSD facts of one entry, each "name=value;", ending in a blank. kind: "file",
// "dir", "cdir" or "pdir"; rights as GetAccessTo gives them.
std::string MlsFacts(int facts, const std::string& kind, int64_t size, time_t mtime, int rights);
std::string PermLetters(bool directory, int rights);

// Whole-number figures of a transfer: percent of size done, kB/s, seconds left
// (0x7FFFFFFF when too large). 64-bit throughout.
int Percent(int64_t done, int64_t size);
int RateKB(int64_t done, int64_t elapsedSeconds);
int TimeLeft(int64_t done, int64_t size, int64_t elapsedSeconds);

// A SITE LANG name: 1-16 of [A-Za-z0-9_-].
bool ValidLanguage(const std::string& lang);

// "%A%" and "%B%" replaced in text.
std::string FillAB(const std::string& text, const std::string& a, const std::string& b);

}  // namespace qmsftp
