#include "toolbox/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "toolbox/timeutil.h"
#include "toolbox/netfile.h"
#include "toolbox/transfer.h"

namespace {

sockaddr_in MakeAddr(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

bool HostNameSyntax(const std::string& s) {
  if (s.empty() || s.size() > 255) return false;
  bool letter = false;
  for (char c : s) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    letter = letter || alpha;
    if (!(alpha || (c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  }
  // A name of digits and dots only would pass for an address in address patterns.
  return letter;
}

}  // namespace

void jvbTSocket::SetPeer(uint32_t addr, uint16_t port) {
  peer_ = addr;
  peer_port_ = port;
  for (int i = 0; i < 4; ++i) octets_[i] = static_cast<unsigned char>(addr >> (24 - 8 * i));
}

int jvbTSocket::Bind(uint32_t address, uint16_t port) {
  Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = MakeAddr(address, port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  fd_ = fd;
  return 0;
}

int jvbTSocket::Listen(int backlog) { return ::listen(fd_, backlog) == 0 ? 0 : errno; }

int jvbTSocket::WaitReadable(int timeoutMs) const {
  if (fd_ < 0) return -1;
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r > 0 ? 1 : 0;
}

int jvbTSocket::Accept(jvbTSocket& out) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return errno;
  // Replies often go out in more than one write; without this a delayed ACK stalls each.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  out.Close();
  out.fd_ = fd;
  out.buffer_.clear();
  out.recv_wait_ms_ = -1;
  out.SetPeer(ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port));
  return 0;
}

int jvbTSocket::Connect(uint32_t address, uint16_t port, int timeoutMs) {
  return OpenConnection(false, 0, address, port, timeoutMs);
}

int jvbTSocket::ConnectFrom(uint32_t localAddress, uint32_t address, uint16_t port,
                            int timeoutMs) {
  return OpenConnection(true, localAddress, address, port, timeoutMs);
}

int jvbTSocket::OpenConnection(bool bindLocal, uint32_t localAddress, uint32_t address,
                               uint16_t port, int timeoutMs) {
  Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  if (bindLocal) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = MakeAddr(localAddress, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      int e = errno;
      ::close(fd);
      return e;
    }
  }
  sockaddr_in sa = MakeAddr(address, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      int e = errno;
      ::close(fd);
      return e;
    }
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, timeoutMs);
    int err = 0;
    socklen_t len = sizeof err;
    if (r <= 0)
      err = r == 0 ? ETIMEDOUT : errno;
    else
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      ::close(fd);
      return err;
    }
  }
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  fd_ = fd;
  buffer_.clear();
  recv_wait_ms_ = -1;
  SetPeer(address, port);
  return 0;
}

bool jvbTSocket::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int fd = fd_;
    if (fd < 0) return false;
    ssize_t n = RawSend(bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR && !ssl_) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

int jvbTSocket::Recv(char* buf, int max, int timeoutMs) {
  if (!buffer_.empty()) {
    int n = static_cast<int>(std::min<size_t>(buffer_.size(), max));
    memcpy(buf, buffer_.data(), n);
    buffer_.erase(0, n);
    return n;
  }
  if (!(ssl_ && SSL_pending(ssl_.get()) > 0)) {
    int w = WaitReadable(timeoutMs);
    if (w == 0) return -2;
    if (w < 0) return -1;
  }
  if (ssl_) {
    int n = RawRecv(buf, max);
    return n == 0 ? -1 : n;
  }
  ssize_t n = CountedIn(::recv(fd_, buf, max, 0));
  if (n < 0) return errno == EINTR ? -2 : -1;
  return static_cast<int>(n);
}

int jvbTSocket::ReadLine(std::string& line, size_t maxLen, int timeoutMs,
                         const std::atomic<bool>* stop, LineEnd ends) {
  line.clear();
  bool overlong = false;
  const bool crlf = ends == LineEnd::kCrLf;
  int64_t deadline = jvb::MonotonicMs() + timeoutMs;
  for (;;) {
    size_t lf = crlf ? buffer_.find("\r\n") : buffer_.find('\n');
    if (lf != std::string::npos) {
      if (crlf) ++lf;
      if (!overlong) {
        line.append(buffer_, 0, lf);
        if (!line.empty() && line.back() == '\r') line.pop_back();
      }
      buffer_.erase(0, lf + 1);
      if (overlong || line.size() > maxLen) {
        line.clear();
        return -3;
      }
      return 1;
    }
    if (!overlong && line.size() + buffer_.size() > maxLen) {
      overlong = true;  // keep consuming up to the end of this line, store nothing
      line.clear();
    }
    if (!overlong) {
      line.append(buffer_);
    } else {
      // Skipping an overlong line, a CR at the end may be the first half of its CR LF.
      const bool cr = crlf && !buffer_.empty() && buffer_.back() == '\r';
      line.clear();
      if (cr) line.push_back('\r');
    }
    buffer_.clear();
    if (stop && stop->load()) return 0;
    int64_t left = deadline - jvb::MonotonicMs();
    if (left <= 0) return -2;
    char buf[4096];
    int n = RecvWithin(buf, sizeof buf, static_cast<int>(std::min<int64_t>(left, 250)));
    if (n == -2) continue;
    if (n <= 0) return 0;
    // Whatever stood in line so far goes back in front of the new bytes.
    buffer_.assign(line);
    line.clear();
    buffer_.append(buf, n);
  }
}

int jvbTSocket::RecvWithin(char* buf, size_t max, int waitMs) {
  int fd = fd_;
  if (fd < 0) return 0;
  waitMs = std::max(waitMs, 1);  // a zero time-out would wait for ever
  if (recv_wait_ms_ == -1) {
    // A non-blocking descriptor (or one that takes no time-out) waits the classic way.
    int fl = fcntl(fd, F_GETFL);
    recv_wait_ms_ = (fl < 0 || (fl & O_NONBLOCK)) ? -2 : 0;
  }
  if (recv_wait_ms_ >= 0 && waitMs != recv_wait_ms_) {
    timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
    recv_wait_ms_ = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? waitMs : -2;
  }
  if (recv_wait_ms_ == -2 && !(ssl_ && SSL_pending(ssl_.get()) > 0)) {
    int w = WaitReadable(waitMs);
    if (w <= 0) return w == 0 ? -2 : 0;
  }
  return RawRecv(buf, max);
}

int jvbTSocket::RawRecv(char* buf, size_t max) {
  if (!ssl_) {
    ssize_t n = CountedIn(::recv(fd_, buf, max, 0));
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -2 : 0;
    return static_cast<int>(n);
  }
  if (ssl_broken_) return 0;  // nothing more comes over a failed TLS connection
  size_t got = 0;
  ERR_clear_error();
  int r = SSL_read_ex(ssl_.get(), buf, max, &got);
  if (r == 1) return CountedIn(static_cast<int>(got));
  switch (SSL_get_error(ssl_.get(), r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return -2;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      ssl_broken_ = true;  // an alert, a bad record or the connection gone
      return 0;
  }
}

ssize_t jvbTSocket::RawSend(const char* data, size_t size) {
  if (!ssl_) return CountedOut(::send(fd_, data, size, MSG_NOSIGNAL));
  if (ssl_broken_) {
    errno = EPIPE;
    return -1;
  }
  size_t put = 0;
  ERR_clear_error();
  if (SSL_write_ex(ssl_.get(), data, size, &put) == 1) return CountedOut(static_cast<ssize_t>(put));
  const int e = SSL_get_error(ssl_.get(), 0);
  if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) ssl_broken_ = true;
  errno = ssl_broken_ ? EPIPE : EAGAIN;
  return -1;
}

void jvbTSocket::SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

bool jvbTSocket::StartTls(const jvb::TlsContext& ctx, bool server, int timeoutMs,
                          const std::string& sni) {
  buffer_.clear();
  tlsError.clear();
  if (!ctx || fd_ < 0 || ssl_) {
    tlsError = "no TLS context";
    return false;
  }
  ssl_.reset(SSL_new(ctx.get()));
  if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1) {
    tlsError = jvb::TlsErrorText();
    ssl_.reset();
    return false;
  }
  if (!server && !sni.empty()) {
    SSL_set_tlsext_host_name(ssl_.get(), sni.c_str());
    SSL_set1_host(ssl_.get(), sni.c_str());
  }
  ssl_broken_ = false;
  if (TlsHandshake(server, timeoutMs)) return true;
  ssl_broken_ = true;
  return false;
}

bool jvbTSocket::TlsHandshake(bool server, int timeoutMs) {
  // The handshake runs non-blocking so that a stalled peer is bounded by timeoutMs.
  const int fd = fd_;
  const int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  const int64_t deadline = jvb::MonotonicMs() + timeoutMs;
  bool ok = false;
  for (;;) {
    ERR_clear_error();
    const int r = server ? SSL_accept(ssl_.get()) : SSL_connect(ssl_.get());
    if (r == 1) {
      ok = true;
      break;
    }
    const int e = SSL_get_error(ssl_.get(), r);
    const int64_t left = deadline - jvb::MonotonicMs();
    if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || left <= 0) {
      tlsError = left <= 0 ? std::string("handshake timed out") : jvb::TlsErrorText();
      break;
    }
    pollfd p{fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000))) < 0 && errno != EINTR) {
      tlsError = "connection lost during the handshake";
      break;
    }
  }
  fcntl(fd, F_SETFL, fl);
  return ok;
}

std::string jvbTSocket::TlsSummary() const {
  if (!ssl_) return {};
  std::string s = std::string(SSL_get_version(ssl_.get())) + " " +
                  SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_.get()));
  if (SSL_session_reused(ssl_.get())) s += " (resumed)";
  return s;
}

bool jvbTSocket::PeerVerified() const {
  if (!ssl_) return false;
  X509* peer = SSL_get1_peer_certificate(ssl_.get());
  const bool ok = peer && SSL_get_verify_result(ssl_.get()) == X509_V_OK;
  X509_free(peer);
  return ok;
}

int64_t jvbTSocket::SendFileSome(int fileFd, int64_t offset, size_t count) {
  if (!ssl_) return CountedOut(jvb::SendFileSome(fd_, fileFd, offset, count));
  char buf[65536];
  const ssize_t got = ::pread(fileFd, buf, std::min(count, sizeof buf), offset);
  if (got <= 0) return got;
  // A TLS write that timed out must be repeated with the same bytes.
  for (int tries = 0; tries < 600; ++tries) {
    const ssize_t n = RawSend(buf, static_cast<size_t>(got));
    if (n > 0) return n;
    if (ssl_broken_) return -1;
  }
  return -1;
}

int64_t jvbTSocket::RecvFull(char* buf, size_t max) {
  if (!ssl_) return CountedIn(jvb::RecvFull(fd_, buf, max));
  size_t done = 0;
  while (done < max) {
    const int n = RawRecv(buf + done, max - done);
    if (n == -2) return done > 0 ? static_cast<int64_t>(done) : -2;
    if (n == 0) return done > 0 ? static_cast<int64_t>(done) : (ssl_broken_ ? -1 : 0);
    done += n;
  }
  return static_cast<int64_t>(done);
}

bool jvbTSocket::SendBoth(const char* head, size_t headLen, const char* body, size_t bodyLen) {
  if (!ssl_) {
    if (!jvb::SendBoth(fd_, head, headLen, body, bodyLen)) return false;
    CountedOut(headLen + bodyLen);
    return true;
  }
  std::string all(head ? head : "", headLen);
  if (body) all.append(body, bodyLen);
  return Send(all);
}

int64_t jvbTSocket::SendFileBlock(int fileFd, int64_t* offset, int64_t count) {
  if (!ssl_) return CountedOut(jvb::SendFileBlock(fd_, fileFd, offset, count));
  int64_t sent = 0;
  while (sent < count) {
    const int64_t n = SendFileSome(fileFd, *offset, static_cast<size_t>(count - sent));
    if (n < 0) return -1;
    if (n == 0) break;  // the end of the file
    *offset += n;
    sent += n;
  }
  return sent;
}

void jvbTSocket::DrainAfterReply(int waitMs, size_t maxBytes) {
  if (!ssl_) return jvb::DrainAfterReply(fd_, waitMs, maxBytes);
  ShutdownSend();
  const int64_t deadline = jvb::MonotonicMs() + waitMs;
  char buf[4096];
  for (size_t got = 0; got < maxBytes;) {
    const int64_t left = deadline - jvb::MonotonicMs();
    if (left <= 0) break;
    const int n = Recv(buf, sizeof buf, static_cast<int>(left));
    if (n <= 0) break;
    got += n;
  }
}

void jvbTSocket::ShutdownSend() {
  if (ssl_ && !ssl_broken_) SSL_shutdown(ssl_.get());
  if (fd_ >= 0) jvb::ShutdownSend(fd_);
}

void jvbTSocket::EndTls() {
  if (!ssl_) return;
  if (!ssl_broken_ && fd_ >= 0) {
    // close_notify, without waiting on a peer that stopped reading.
    const int fl = fcntl(fd_, F_GETFL);
    fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
    SSL_shutdown(ssl_.get());
  }
  ssl_.reset();
  ssl_broken_ = false;
}

std::string jvbTSocket::Peek(size_t max) {
  if (ssl_) {
    // Records that arrived are decrypted into the line buffer, which the next read takes.
    if (buffer_.size() < max && (SSL_pending(ssl_.get()) > 0 || WaitReadable(0) == 1)) {
      char buf[4096];
      const int n = RecvWithin(buf, std::min(sizeof buf, max - buffer_.size()), 1);
      if (n > 0) buffer_.append(buf, n);
    }
    return buffer_.substr(0, max);
  }
  int avail = 0;
  if (fd_ < 0 || ioctl(fd_, FIONREAD, &avail) != 0 || avail <= 0) return {};
  std::string out(std::min<size_t>(avail, max), '\0');
  ssize_t n = ::recv(fd_, out.data(), out.size(), MSG_PEEK | MSG_DONTWAIT);
  out.resize(n > 0 ? n : 0);
  return out;
}

void jvbTSocket::Shutdown() {
  int fd = fd_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void jvbTSocket::ShutdownReceive() {
  int fd = fd_;
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
}

void jvbTSocket::Close() {
  EndTls();
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  buffer_.clear();
  recv_wait_ms_ = -1;
}

int jvbTSocket::Release() {
  ssl_.reset();
  return fd_.exchange(-1);
}

std::string jvbTSocket::PeerDotted() const { return Dotted(peer_); }

uint32_t jvbTSocket::LocalAddress() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohl(sa.sin_addr.s_addr);
}

std::string jvbTSocket::Dotted(uint32_t a) {
  char b[20];
  snprintf(b, sizeof b, "%d.%d.%d.%d", (a >> 24) & 255, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return b;
}

bool jvbTSocket::ParseDotted(const std::string& text, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

std::string jvbTSocket::ReverseLookup(uint32_t address) {
  sockaddr_in sa = MakeAddr(address, 0);
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return {};
  std::string h = host;
  // Names come from whoever controls the reverse zone: accept host-name syntax only.
  return HostNameSyntax(h) ? h : std::string();
}
