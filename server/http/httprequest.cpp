#include "server/http/httprequest.h"

#include <cstdio>
#include <ctime>

#include "toolbox/platform.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool HasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void qmsTHTTPRequest::Clear() {
  line.clear();
  method.clear();
  uri.clear();
  query.clear();
  version.clear();
  methodCode = hmOther;
  versionCode = hvOther;
  badPath = false;
  headers.clear();
  headerBytes = 0;
}

const std::string* qmsTHTTPRequest::Header(const char* name) const {
  for (const auto& h : headers)
    if (h.first == name) return &h.second;
  return nullptr;
}

bool qmsTHTTPRequest::AddHeaderLine(const std::string& text) {
  headerBytes += text.size() + 2;
  if (headers.size() >= kHTTPMaxHeaders || headerBytes > kHTTPMaxHeaderBytes) return false;
  size_t colon = text.find(':');
  if (colon == std::string::npos) return true;
  // A name of blanks only (" : x") is no name: such a line is ignored like one without a colon.
  std::string name = Trim(text.substr(0, colon));
  if (name.empty()) return true;
  headers.emplace_back(jvb::AsciiUpper(name), Trim(text.substr(colon + 1)));
  return true;
}

int qmsHTTPMethodCode(const std::string& m) {
  static const char* const kMethods[] = {"OPTIONS", "GET",    "HEAD", "POST",
                                         "PUT",     "DELETE", "TRACE"};
  for (int i = 0; i < 7; ++i)
    if (m == kMethods[i]) return i + 1;
  return hmOther;
}

int qmsHTTPVersionCode(const std::string& v) {
  if (v == "HTTP/1.1") return hv11;
  if (v == "HTTP/1.0") return hv10;
  if (v == "HTTP/0.9") return hv09;
  return hvOther;
}

void qmsParseRequestLine(const std::string& text, qmsTHTTPRequest& r) {
  r.Clear();
  r.line = text;
  std::string words[3];
  size_t pos = 0;
  for (auto& w : words) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    w = text.substr(pos, end - pos);
    pos = end;
  }
  r.method = jvb::AsciiUpper(words[0]);
  r.version = jvb::AsciiUpper(words[2]);
  r.methodCode = qmsHTTPMethodCode(r.method);
  r.versionCode = qmsHTTPVersionCode(r.version);
  std::string decoded = qmsURLDecode(words[1]);
  size_t q = decoded.find('?');
  if (q != std::string::npos) {
    r.query = decoded.substr(q + 1);
    decoded.resize(q);
  }
  r.uri = std::move(decoded);
  // A NUL would cut the path short where the system sees it; control bytes have no
  // business in a name a client asks for.
  r.badPath = HasControl(r.uri) || r.query.find('\0') != std::string::npos;
}

std::string qmsURLDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = -1, lo = -1;
    if (text[i] == '%' && i + 2 < text.size()) {
      hi = HexValue(text[i + 1]);
      lo = HexValue(text[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string qmsURLEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string qmsHTMLEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool qmsBasicCredentials(const std::string& value, std::string& user, std::string& password) {
  size_t b = value.find(' ');
  if (b == std::string::npos) return false;
  std::string word = value.substr(value.find_first_not_of(' ', b) == std::string::npos
                                      ? value.size()
                                      : value.find_first_not_of(' ', b));
  word = word.substr(0, word.find(' '));
  std::string decoded;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : word) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      decoded += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  user = decoded.substr(0, colon);
  password = decoded.substr(colon + 1);
  password = password.substr(0, password.find(':'));
  return true;
}

int64_t qmsContentLength(const std::string& value, int64_t limit) {
  if (value.empty() || value.size() > 18) return value.empty() ? -1 : -2;
  int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n > limit ? -2 : n;
}

size_t qmsHTTPDateInto(int64_t epochSeconds, char* out) {
  time_t t = static_cast<time_t>(epochSeconds);
  struct tm g {};
  gmtime_r(&t, &g);
  int n = snprintf(out, 30, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[g.tm_wday % 7], g.tm_mday,
                   kMonths[g.tm_mon % 12], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string qmsHTTPDate(int64_t epochSeconds) {
  char b[32];
  return std::string(b, qmsHTTPDateInto(epochSeconds, b));
}
