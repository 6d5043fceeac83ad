// The answers of the HTTP session: the header block, error pages, files (cached or
// streamed), icons and directory listings.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/template.h"
#include "server/http/httpsession.h"
#include "server/users/user.h"
#include "toolbox/filesys.h"
#include "toolbox/netfile.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

// Streamed files go to the kernel in blocks this large; the idle timer is reset per block.
constexpr int64_t kStreamBlock = 256 * 1024;
// A listing shows at most this many entries.
constexpr int kMaxListing = 10000;
const char kIconDirectory[] = "messages/http/icons";

// "Date" and "Expires" of the current second, formed once per second per thread.
struct DateLines {
  int64_t second = -1;
  char date[40];
  size_t dateLen = 0;
  char expires[40];
  size_t expiresLen = 0;
};

const DateLines& CurrentDates() {
  thread_local DateLines d;
  int64_t now = static_cast<int64_t>(time(nullptr));
  if (now != d.second) {
    d.second = now;
    d.dateLen = qmsHTTPDateInto(now, d.date);
    d.expiresLen = qmsHTTPDateInto(now + 86400, d.expires);
  }
  return d;
}

void AddLine(std::string& h, const char* name, const char* value, size_t len) {
  h.append(name);
  h.append(value, len);
  h.append("\r\n", 2);
}

// A host name as a client may give it: letters, digits, "-", ".", ":" and brackets.
bool PlausibleHost(const std::string& h) {
  if (h.empty() || h.size() > 255) return false;
  for (unsigned char c : h)
    if (!isalnum(c) && c != '-' && c != '.' && c != ':' && c != '[' && c != ']') return false;
  return true;
}

}  // namespace

std::string qmsTHTTPSession::Section(const std::string& name) {
  std::string text;
  if (Messages()) Messages()->ReadSectionText(name, text);
  return text;
}

void qmsTHTTPSession::SendHeader(int64_t fileTime, int64_t contentLength, int status) {
  Status = status;
  ContentLength = contentLength;
  KeepAlive = KeepAlive && contentLength >= 0;
  if (status != 200) ContentType = "text/html";
  const bool cacheable = ContentType == "image/gif" || ContentType == "image/jpeg";
  std::string statusLine;
  if (!Messages() || !Messages()->ReadValue("STATUS", std::to_string(status), statusLine))
    statusLine = std::to_string(status);
  const DateLines& d = CurrentDates();
  std::string& h = header_;
  h.clear();
  AddLine(h, "HTTP/1.1 ", statusLine.data(), statusLine.size());
  h.append("Server: Quillmar/0.9.5\r\nDate: ");
  h.append(d.date, d.dateLen);
  h.append(
      "\r\nPragma: no-cache\r\nAccept-Ranges: none\r\nPublic: GET, HEAD, POST\r\n"
      "Allow: GET, HEAD, POST\r\n");
  AddLine(h, "Content-Type: ", ContentType.data(), ContentType.size());
  h.append(cacheable ? "Cache-Control: max-age=120\r\n" : "Cache-Control: no-cache\r\n");
  h.append(KeepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n");
  if (status >= 300 && status < 400 && !Path.empty() && Path != Request.uri) {
    // The client's Host names the server as the client reached it; one that cannot be a
    // host name gives way to the service's own Host setting.
    const std::string* host = Request.Header("HOST");
    h.append("Location: http://");
    h.append(host && PlausibleHost(*host) ? *host : Host);
    h.append(qmsURLEncodePath(Path));
    h.append("\r\n");
  }
  if (status == 401) h.append("WWW-Authenticate: Basic realm=\"main\"\r\n");
  char num[32];
  if (contentLength >= 0) {
    int n = snprintf(num, sizeof num, "%lld", static_cast<long long>(contentLength));
    AddLine(h, "Content-Length: ", num, static_cast<size_t>(n));
  }
  AddLine(h, "Expires: ", d.expires, d.expiresLen);
  if (fileTime >= 0) {
    char lm[40];
    AddLine(h, "Last-Modified: ", lm, qmsHTTPDateInto(fileTime, lm));
  }
  h.append("\r\n");
}

// Sends the pending header (when there is one) and the data, together where possible.
bool qmsTHTTPSession::Send(const char* data, size_t len) {
  std::lock_guard<std::mutex> g(send_lock_);
  if (!socket_) return false;
  bool ok = socket_->SendBoth(header_.data(), header_.size(), data, len);
  header_.clear();
  return ok;
}

bool qmsTHTTPSession::SendWithBody(const char* body, size_t len) {
  if (Request.methodCode == hmHEAD) return Send(nullptr, 0);
  return Send(body, len);
}

void qmsTHTTPSession::SendError(int status) {
  Status = status;
  html_ = true;
  Variables().AddValue("http.statusmessage",
                       ReturnFIB(Section("STATUS." + std::to_string(status))));
  std::string body = ReturnFIB(Section("STATUS.DOCUMENT"));
  html_ = false;
  SendHeader(-1, static_cast<int64_t>(body.size()), status);
  SendWithBody(body.data(), body.size());
  BytesSent = static_cast<int64_t>(body.size());
}

void qmsTHTTPSession::SendIcon() {
  const std::string& name = Request.query;
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
    Fail(403, "Icon name with a path");
    SendError(403);
    return;
  }
  jvb::RootDir icons(kIconDirectory);
  std::string data;
  int err = 0;
  int fd = icons.valid() && !name.empty()
               ? jvb::OpenShared(icons, name, jvb::fmReadDenyWrite, 1000, &err)
               : -1;
  bool ok = fd >= 0 && jvb::ReadAll(fd, data, 1 << 20);
  if (fd >= 0) jvb::CloseFile(fd);
  if (!ok) {
    Fail(500, "Icon " + qmsQuoted(name) + " not found");
    SendError(500);
    return;
  }
  ContentType = "image/gif";
  SendHeader(-1, static_cast<int64_t>(data.size()), 200);
  SendWithBody(data.data(), data.size());
  BytesSent = Request.methodCode == hmHEAD ? 0 : static_cast<int64_t>(data.size());
}

bool qmsTHTTPSession::ExpandDocument(std::string& text, bool ssi, bool fib) {
  // Expansion may grow a document; what the cache could never hold is refused.
  const size_t cap =
      std::min<size_t>(kTemplateMaxFileSize, static_cast<size_t>(Service()->Cache().MaxSize()));
  if (fib) {
    html_ = true;
    ExpandFIB(text);
    html_ = false;
  }
  if (ssi) ExpandSSI(text);
  return text.size() <= cap;
}

bool qmsTHTTPSession::LoadFile(qmsTServiceCache::Content& data, bool ssi, bool fib,
                               const std::string& path) {
  if (path != Path) {
    struct stat st {};
    if (!LocateFile(path, st)) return false;
  }
  qmsTServiceCache& cache = Service()->Cache();
  if (cached_ || cache.FindShared(real_path_, stamp_, cached_)) {
    data = cached_;
    return true;
  }
  const size_t cap =
      (ssi || fib) ? std::min<size_t>(kTemplateMaxFileSize, static_cast<size_t>(cache.MaxSize()))
                   : size_t{64} << 20;
  struct stat st {};
  int err = 0;
  int fd = jvb::OpenShared(mount_, rel_path_, jvb::fmReadDenyWrite, 1000, &err, &st);
  if (fd < 0) return false;
  auto text = std::make_shared<std::string>();
  bool ok = jvb::ReadAll(fd, *text, cap);
  jvb::CloseFile(fd);
  if (!ok || !ExpandDocument(*text, ssi, fib)) return false;
  stamp_ = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(st.st_mtim.tv_nsec);
  file_time_ = st.st_mtim.tv_sec;
  data = std::move(text);
  cache.AddShared(stamp_, data, real_path_);
  return true;
}

void qmsTHTTPSession::SendFile(bool ssi, bool fib) {
  if (!ssi && !fib && !cached_ && file_size_ >= Service()->SendBufferSize()) {
    struct stat st {};
    int err = 0;
    int fd = jvb::OpenShared(mount_, rel_path_, jvb::fmReadDenyWrite, 1000, &err, &st);
    if (fd < 0) {
      Fail(500, "Cannot open " + qmsQuoted(Path));
      SendError(500);
      return;
    }
    SendHeader(st.st_mtim.tv_sec, st.st_size, 200);
    bool ok = Send(nullptr, 0);
    int64_t offset = 0;
    while (ok && Request.methodCode != hmHEAD && offset < st.st_size && !terminate) {
      ResetIdle();
      ok = socket_->SendFileBlock(fd, &offset, kStreamBlock) > 0;
    }
    BytesSent = offset;
    jvb::CloseFile(fd);
  } else {
    qmsTServiceCache::Content data;
    if (!LoadFile(data, ssi, fib, Path)) {
      Fail(500, "Cannot load " + qmsQuoted(Path));
      SendError(500);
      return;
    }
    SendHeader(file_time_, static_cast<int64_t>(data->size()), 200);
    if (Request.methodCode == hmHEAD)
      Send(nullptr, 0);
    else
      SendContents(static_cast<int64_t>(data->size()), data->data());
  }
  if (!KeepAlive && socket_) socket_->Shutdown();
}

// The pending header goes out with the first piece. Pieces are large: the kernel takes
// them whole, and the idle timer is reset before each.
void qmsTHTTPSession::SendContents(int64_t length, const char* data) {
  int64_t done = 0;
  do {
    ResetIdle();
    size_t piece = static_cast<size_t>(std::min<int64_t>(length - done, kStreamBlock));
    if (!Send(data + done, piece)) break;
    done += static_cast<int64_t>(piece);
  } while (done < length && !terminate);
  BytesSent = done;
}

void qmsTHTTPSession::SendDirectory() {
  Variables().AddValue("http.directory", Path);
  // The listing is HTML whatever the request's type was.
  ContentType = "text/html; charset=utf-8";
  html_ = true;
  std::string text = ReturnFIB(Section("DIRECTORY.HEADER"));
  SendHeader(-1, -1, 200);
  if (Request.methodCode == hmHEAD) {
    html_ = false;
    Send(nullptr, 0);
    return;
  }
  int64_t sent = static_cast<int64_t>(text.size());
  bool ok = Send(text.data(), text.size());
  const std::string item = Section("DIRECTORY.ITEM");
  jvbTFSFind find;
  const std::string base = Path == "/" ? std::string() : Path;
  int count = 0;
  if (FileSys().FindFirst(base + "/*", 0x31, find) == 0) {
    do {
      const jvbTFSFindItem* it = find.Current();
      if (!it || it->name.empty() || it->name[0] == '.') continue;
      const bool dir = (it->attr & 0x10) != 0;
      jvb::DateTime t = jvb::ToLocal(it->time);
      char date[32], clock[16];
      snprintf(date, sizeof date, "%s, %02d %s %04d", jvb::WeekdayShort(t.weekday), t.day,
               jvb::MonthShort(t.month), t.year);
      snprintf(clock, sizeof clock, "%02d:%02d:%02d", t.hour, t.minute, t.second);
      Variables().AddValue("http.itemicon", dir ? "<IMG SRC=\"/!icon?icon20-folder.gif\" ALT=\"\">"
                                                : "<IMG SRC=\"/!icon?icon20-file.gif\" ALT=\"\">");
      Variables().AddValue("http.itemname",
                           "<A HREF=\"" + qmsHTMLEscape(qmsURLEncodePath(base + "/" + it->name)) +
                               (dir ? "/" : "") + "\">" + qmsHTMLEscape(it->name) +
                               (dir ? "/" : "") + "</A>");
      Variables().AddValue("http.itemsize", std::to_string(it->size));
      Variables().AddValue("http.itemdate", date);
      Variables().AddValue("http.itemtime", clock);
      text = ReturnFIB(item);
      sent += static_cast<int64_t>(text.size());
      ok = ok && Send(text.data(), text.size());
      ResetIdle();
    } while (ok && !terminate && ++count < kMaxListing && FileSys().FindNext(find) == 0);
  }
  FileSys().FindClose(find);
  text = ReturnFIB(Section("DIRECTORY.FOOTER"));
  html_ = false;
  sent += static_cast<int64_t>(text.size());
  if (ok) Send(text.data(), text.size());
  BytesSent = sent;
}
