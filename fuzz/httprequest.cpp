// The HTTP request without a socket: the request line, header lines up to their limits,
// the values the session reads from them (credentials, body length), URL coding and HTML
// escaping, and the decoded path through the virtual file system.
#include "server/http/httprequest.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "toolbox/filesys.h"
#include "toolbox/textconfig.h"

namespace {

jvbTTextConfig& Vfs() {
  static jvbTTextConfig* config = [] {
    const std::string text = "[VFS]\n/=" + qmsfuzz::ScratchDir() + "/www\n";
    return new jvbTTextConfig(qmsfuzz::WriteScratch("vfs.cfg", text));
  }();
  return *config;
}

void CheckPath(const qmsTHTTPRequest& r) {
  jvbTFileSys fs(&Vfs());
  const std::string v = fs.Normalize(r.uri);
  if (v.empty()) return;
  if (v[0] != '/' || v.find("/../") != std::string::npos || v.find("/./") != std::string::npos ||
      v.find("//") != std::string::npos || v.find('\\') != std::string::npos)
    qmsfuzz::Fail("normalized URL path not canonical");
  const std::string real = fs.RealPath(v);
  const std::string root = qmsfuzz::ScratchDir() + "/www";
  if (!real.empty() && (real.compare(0, root.size(), root) != 0 ||
                        (real.size() > root.size() && real[root.size()] != '/')))
    qmsfuzz::Fail("URL path maps outside the web root");
}

void CheckCoding(const std::string& s) {
  if (qmsURLDecode(qmsURLEncodePath(s)) != s) qmsfuzz::Fail("URL coding does not read back");
  const std::string html = qmsHTMLEscape(s);
  if (html.find_first_of("<>\"'") != std::string::npos) qmsfuzz::Fail("HTML escape left markup");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = qmsfuzz::Lines(qmsfuzz::Bytes(data, size));
  qmsTHTTPRequest r;
  qmsParseRequestLine(lines[0], r);
  if (r.methodCode < hmOther || r.methodCode > hmTRACE) qmsfuzz::Fail("method code out of range");
  if (!r.badPath && r.uri.find('\0') != std::string::npos) qmsfuzz::Fail("NUL in an accepted path");
  size_t i = 1;
  for (; i < lines.size() && !lines[i].empty(); ++i)
    if (!r.AddHeaderLine(lines[i])) break;
  if (r.headers.size() > kHTTPMaxHeaders) qmsfuzz::Fail("more headers than the limit");
  for (const auto& h : r.headers)
    if (h.first.empty()) qmsfuzz::Fail("header without a name");

  std::string user, password;
  if (const std::string* auth = r.Header("AUTHORIZATION")) {
    if (qmsBasicCredentials(*auth, user, password) && user.find(':') != std::string::npos)
      qmsfuzz::Fail("user name holds a colon");
  }
  if (const std::string* length = r.Header("CONTENT-LENGTH")) {
    const int64_t n = qmsContentLength(*length, 1 << 20);
    if (n < -2 || n > (1 << 20)) qmsfuzz::Fail("body length outside its limit");
  }
  if (!r.badPath) CheckPath(r);
  CheckCoding(r.uri);
  CheckCoding(r.query);
  return 0;
}
