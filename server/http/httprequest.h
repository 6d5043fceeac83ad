// qmsTHTTPRequest: one HTTP request as a client sent it, and the pure text steps around it
// (request line, header lines, URL coding, HTML escaping, Basic credentials, body length).
// Nothing here does I/O, so the unit tests and fuzzers feed it bytes directly.
//
// Limits: a request line or header line longer than kHTTPMaxLine, more than
// kHTTPMaxHeaders header lines or more than kHTTPMaxHeaderBytes of them end the request
// with a refusal; the session then closes the connection.
//
// Threads: a request belongs to its session's thread; the functions share no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline constexpr size_t kHTTPMaxLine = 64 * 1024;
inline constexpr size_t kHTTPMaxHeaders = 200;
inline constexpr size_t kHTTPMaxHeaderBytes = 64 * 1024;

enum qmsTHTTPMethod { hmOther = 0, hmOPTIONS, hmGET, hmHEAD, hmPOST, hmPUT, hmDELETE, hmTRACE };
enum qmsTHTTPVersion { hvOther = 0, hv09, hv10, hv11 };

struct qmsTHTTPRequest {
  std::string line;     // as received
  std::string method;   // upper case
  std::string uri;      // decoded, without the query
  std::string query;    // decoded text after the first "?"
  std::string version;  // upper case
  int methodCode = hmOther;
  int versionCode = hvOther;
  bool badPath = false;  // the decoded path holds NUL or control bytes
  // Names upper-cased, values trimmed of spaces, in arrival order.
  std::vector<std::pair<std::string, std::string>> headers;
  size_t headerBytes = 0;

  void Clear();
  // The first header of that (upper-case) name.
  const std::string* Header(const char* name) const;
  // A header line ("Name: value"); lines without a colon or without a name before it
  // (blanks only) are ignored. False when the header limits are passed.
  bool AddHeaderLine(const std::string& text);
};

// Splits and decodes a request line into r (fields cleared first).
void qmsParseRequestLine(const std::string& text, qmsTHTTPRequest& r);
int qmsHTTPMethodCode(const std::string& method);
int qmsHTTPVersionCode(const std::string& version);

// "%xx" decoded; a "%" without two hex digits stays as it is.
std::string qmsURLDecode(const std::string& text);
// Path for a link: unreserved characters and "/" as they are, every other byte as "%XX".
std::string qmsURLEncodePath(const std::string& path);
// "&", "<", ">", '"' and "'" as character references.
std::string qmsHTMLEscape(const std::string& text);

// The user name and password of an "Authorization: Basic ..." value: the second word,
// Base64-decoded, split at the first ":" (the password ends at a further ":").
bool qmsBasicCredentials(const std::string& value, std::string& user, std::string& password);

// A Content-Length value: digits only, at most limit. -1 when it is no number (or negative),
// -2 when it is larger than limit.
int64_t qmsContentLength(const std::string& value, int64_t limit);

// "Tue, 07 Jan 2003 18:30:00 GMT" of epoch seconds.
std::string qmsHTTPDate(int64_t epochSeconds);
// The same into out (at least 30 bytes); returns its length. No allocation.
size_t qmsHTTPDateInto(int64_t epochSeconds, char* out);
