#include "server/mail/smtpclient.h"

#include <cerrno>
#include <vector>

#include "toolbox/textfile.h"

namespace {

constexpr int kDebugRecv = 1;
constexpr int kDebugSend = 2;

}  // namespace

qmsTSMTPClient::qmsTSMTPClient(Callbacks callbacks, const std::atomic<bool>* stop,
                               int replyTimeoutMs)
    : callbacks_(std::move(callbacks)), stop_(stop), reply_timeout_ms_(replyTimeoutMs) {}

qmsTSMTPClient::~qmsTSMTPClient() { Close(); }

int qmsTSMTPClient::Connect(uint32_t address, uint16_t port, bool bind, uint32_t bindAddress,
                            int timeoutMs) {
  Close();
  // The socket object keeps no descriptor while it connects, so Shutdown cannot reach a
  // half-made connection; the connect itself ends at the time limit.
  int rc = bind ? socket_.ConnectFrom(bindAddress, address, port, timeoutMs)
                : socket_.Connect(address, port, timeoutMs);
  if (rc == 0 && stop_ && stop_->load()) {
    Close();
    return ECANCELED;
  }
  return rc;
}

void qmsTSMTPClient::Close() {
  std::lock_guard<std::mutex> g(close_lock_);
  socket_.Close();
}

void qmsTSMTPClient::Shutdown() {
  std::lock_guard<std::mutex> g(close_lock_);
  socket_.Shutdown();
}

bool qmsTSMTPClient::SendLine(const std::string& line) {
  if (callbacks_.debug) callbacks_.debug(line, kDebugSend);
  return socket_.Send(line + "\r\n");
}

int qmsTSMTPClient::SendCom(std::string& reply, const std::string& command) {
  if (callbacks_.activity) callbacks_.activity();
  if (!SendLine(command)) {
    reply.clear();
    return 0;
  }
  return RecvRes(reply);
}

int qmsTSMTPClient::ReplyCode(const std::string& line) {
  const size_t end = line.find(' ');
  const size_t n = end == std::string::npos ? line.size() : end;
  if (n == 0 || n > 9) return -1;
  int code = 0;
  for (size_t i = 0; i < n; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

std::string qmsTSMTPClient::Printable(const std::string& line) {
  std::string out = line;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

int qmsTSMTPClient::RecvRes(std::string& reply) {
  reply.clear();
  reply_words_.clear();
  if (!socket_.Valid()) return 0;
  for (int lines = 0; lines < kReplyLinesMax; ++lines) {
    std::string line;
    int rc = socket_.ReadLine(line, kReplyLineMax, reply_timeout_ms_, stop_);
    if (rc == -3) {
      reply = "(reply line longer than " + std::to_string(kReplyLineMax) + " bytes)";
      return 0;
    }
    if (rc == -2) {
      reply = "(no reply)";
      return 0;
    }
    if (rc != 1 || (stop_ && stop_->load())) {
      reply = "(connection closed)";
      return 0;
    }
    if (callbacks_.debug) callbacks_.debug(line, kDebugRecv);
    if (line.size() > 4) {
      std::string word = line.substr(4, line.find(' ', 4) - 4);
      for (char& c : word) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      reply_words_.push_back(word);
    }
    int code = ReplyCode(line);
    if (code >= 0) {
      reply = Printable(line);
      return code;
    }
  }
  reply = "(reply longer than " + std::to_string(kReplyLinesMax) + " lines)";
  return 0;
}

bool qmsTSMTPClient::ReplyHas(const std::string& word) const {
  for (const std::string& w : reply_words_)
    if (w == word) return true;
  return false;
}

bool qmsTSMTPClient::StartTls(bool verify, const std::string& host, std::string& error) {
  static const jvb::TlsContext kPlain = jvb::TlsClientContext(false);
  static const jvb::TlsContext kVerified = jvb::TlsClientContext(true);
  // Shutdown may still reach the descriptor meanwhile: the handshake then fails.
  bool ok = socket_.StartTls(verify ? kVerified : kPlain, false, reply_timeout_ms_, host);
  if (!ok) error = socket_.tlsError;
  else if (verify && !socket_.PeerVerified()) {
    error = "certificate not verified";
    ok = false;
  }
  return ok;
}

std::string qmsTSMTPClient::DotStuff(const char* data, size_t size, bool& atLineStart) {
  std::string out;
  out.reserve(size + size / 64 + 1);
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '.' && atLineStart) out += '.';
    out += c;
    atLineStart = c == '\r' || c == '\n';
  }
  return out;
}

bool qmsTSMTPClient::SendBody(jvbTTextFile& body) {
  if (!socket_.Valid() || !body.SeekStart()) return false;
  const int64_t size = body.Size();
  if (size < 0) return false;
  std::vector<char> buffer(kBodyBlock);
  bool atLineStart = true;
  bool endsWithLf = true;  // nothing sent counts as a complete line
  int64_t sent = 0;
  while (sent < size) {
    if (stop_ && stop_->load()) return false;
    if (callbacks_.activity) callbacks_.activity();
    const int64_t n = body.BlockRead(buffer.data(), static_cast<int64_t>(buffer.size()));
    if (n <= 0) return false;
    if (!socket_.Send(DotStuff(buffer.data(), static_cast<size_t>(n), atLineStart))) return false;
    endsWithLf = buffer[static_cast<size_t>(n) - 1] == '\n';
    sent += n;
  }
  // The terminating "." must stand on a line of its own.
  if (!endsWithLf && !socket_.Send("\r\n")) return false;
  return true;
}
