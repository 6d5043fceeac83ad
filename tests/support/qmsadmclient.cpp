// qmsadmclient: a scriptable client of the server's administration link, for the
// process-level tests. It connects, asks for the server's identity, answers the password
// challenge, optionally sends operator command words, answers keep-alive pings and prints
// one line per event on standard output (flushed at once, so that a test can follow it):
//
//   CONNECTED                      the TCP connection is up
//   IDENTITY <t1>\t<t2>\t<t3>\t<t4>  the identity answer's four texts
//   CHALLENGE <text>               the authentication request (answered at once)
//   LOGIN OK | LOGIN FAILED [n]    the server's verdict (n: a verdict byte other than 1)
//   CONSOLE <text>                 one console line
//   UPTIME <n> | MEMORY <n>        seconds since the server started, heap bytes in use
//   INT <name> <n>                 any other named number
//   STATUS <group>.<section> <v>   the status of one service
//   TEXT <name> <value>            any other named text
//   PING                           a keep-alive request of the server (answered)
//   PACKET <code> <kind> <length>  a packet this client does not act on
//   SENT <word>                    an operator command was sent
//   CLOSED [reset|send failed]     the server ended the link
//   BROKEN <why>                   the server sent bytes that are not a valid packet
//   TIMEUP                         the run time is over
//   ERROR <why>                    the connection could not be made or failed
//
// Options: --port N (required), --password P (default empty), --command WORD (repeatable;
// sent in order after a successful login, or after any verdict with --force-command),
// --seconds S (run time, default 3), --until PREFIX (repeatable: the run ends right after
// the first event that starts with one of them; that event's answers and commands are
// still sent), --address A.B.C.D (default 127.0.0.1), --bind A.B.C.D (local address).
// A link still up at the end is closed in order, so that the server reads all we sent.
//
// Texts are printed with control bytes and backslashes escaped as \xNN, so that every
// event is exactly one line. Exit status: 0 the login succeeded, 1 it did not (refused,
// link closed or time over before a verdict), 2 usage or connection errors, or a broken
// packet before a verdict.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "toolbox/md5.h"
#include "toolbox/packet.h"
#include "toolbox/socket.h"
#include "toolbox/timeutil.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kWaitSliceMs = 100;
constexpr int kFinishMs = 5000;
constexpr double kMaxSeconds = 3600.0;

enum ExitCode { kLoggedIn = 0, kNotLoggedIn = 1, kFailure = 2 };

struct Options {
  uint32_t address = 0x7F000001;  // 127.0.0.1
  uint32_t bind = 0;              // 0: the system's choice
  uint16_t port = 0;
  std::string password;
  std::vector<std::string> commands;
  bool forceCommands = false;     // send the commands whatever the verdict
  std::vector<std::string> until;  // event prefixes that end the run
  double seconds = 3.0;
};

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\') {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void Print(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void Usage() {
  fprintf(stderr,
          "usage: qmsadmclient --port N [--password P] [--command WORD]... [--force-command]\n"
          "                    [--seconds S] [--until PREFIX]... [--address A.B.C.D]\n"
          "                    [--bind A.B.C.D]\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "--force-command") {
      o.forceCommands = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (opt == "--port") {
      char* end = nullptr;
      long p = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || p < 1 || p > 65535) return false;
      o.port = static_cast<uint16_t>(p);
    } else if (opt == "--password") {
      o.password = value;
    } else if (opt == "--until") {
      if (value.empty()) return false;
      o.until.push_back(value);
    } else if (opt == "--command") {
      o.commands.push_back(value);
    } else if (opt == "--seconds") {
      char* end = nullptr;
      double s = strtod(value.c_str(), &end);
      if (value.empty() || *end || !(s >= 0 && s <= kMaxSeconds)) return false;
      o.seconds = s;
    } else if (opt == "--address") {
      if (!jvbTSocket::ParseDotted(value, &o.address)) return false;
    } else if (opt == "--bind") {
      if (!jvbTSocket::ParseDotted(value, &o.bind)) return false;
    } else {
      return false;
    }
  }
  return o.port != 0;
}

// A connection from a chosen local address (jvbTSocket::Connect leaves the source to the
// system). Returns the descriptor, or -1 with errno set.
int ConnectFrom(uint32_t source, uint32_t address, uint16_t port, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  auto fail = [fd] {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  };
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(source);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail();
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(address);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    if (errno != EINPROGRESS) return fail();
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, timeoutMs);
    int err = 0;
    socklen_t len = sizeof err;
    if (r <= 0) {
      err = r == 0 ? ETIMEDOUT : errno;
    } else {
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err != 0) {
      errno = err;
      return fail();
    }
  }
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

class AdminClient {
 public:
  explicit AdminClient(const Options& o) : o_(o) {}

  int Run() {
    if (!Connect()) return kFailure;
    Event("CONNECTED");
    if (!ended_) {
      state_.Request(qmpIdentity, out_);
      qmpTSession::SetText("Quillmar/32 Console", 0, out_);
      qmpTSession::SetText("0.9.5", 4, out_);
      qmpTSession::SetText("Build ID: Jan 02 2003 20:00 (Beta)", 8, out_);
      Send();
    }
    int64_t deadline = jvb::MonotonicMs() + static_cast<int64_t>(o_.seconds * 1000.0);
    std::vector<char> chunk(qmpBufferSize);
    while (!ended_) {
      int64_t left = deadline - jvb::MonotonicMs();
      if (left <= 0) {
        Event("TIMEUP");
        break;
      }
      int n = sock_->Recv(chunk.data(), static_cast<int>(chunk.size()),
                          static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
      if (n == -2) continue;
      if (n == 0) {
        // A link that ends inside a packet is as broken as a bad header.
        if (pending_.empty()) {
          Event("CLOSED");
        } else {
          Event("BROKEN link closed inside a packet");
          broken_ = true;
        }
        open_ = false;
        break;
      }
      if (n < 0) {
        // A reset is the server ending the link without reading what we sent.
        if (errno == ECONNRESET) {
          Event("CLOSED reset");
        } else {
          Event(std::string("ERROR receive: ") + strerror(errno));
          error_ = true;
        }
        open_ = false;
        break;
      }
      pending_.append(chunk.data(), static_cast<size_t>(n));
      Drain();
    }
    if (open_ && !broken_) Finish(chunk);
    return Outcome();
  }

 private:
  bool Connect() {
    if (o_.bind == 0) {
      sock_ = std::make_unique<jvbTSocket>();
      int e = sock_->Connect(o_.address, o_.port, kConnectTimeoutMs);
      if (e != 0) {
        Event(std::string("ERROR connect: ") + strerror(e));
        return false;
      }
      return true;
    }
    int fd = ConnectFrom(o_.bind, o_.address, o_.port, kConnectTimeoutMs);
    if (fd < 0) {
      Event(std::string("ERROR connect: ") + strerror(errno));
      return false;
    }
    sock_ = std::make_unique<jvbTSocket>(fd);
    return true;
  }

  int Outcome() const {
    if (verdict_ == 0) return kLoggedIn;
    if (verdict_ > 0) return kNotLoggedIn;
    if (error_ || broken_) return kFailure;
    return kNotLoggedIn;
  }

  // Ends a link that is still up in order: our side is shut for sending, then whatever
  // the server still sends is read (and dropped) until it closes, for a short time at
  // most. Closing with unread data would reset the link, and a reset may make the server
  // drop packets of ours it has not read yet - the command words sent last.
  void Finish(std::vector<char>& chunk) {
    ::shutdown(sock_->Handle(), SHUT_WR);
    int64_t deadline = jvb::MonotonicMs() + kFinishMs;
    for (;;) {
      int64_t left = deadline - jvb::MonotonicMs();
      if (left <= 0) return;
      int n = sock_->Recv(chunk.data(), static_cast<int>(chunk.size()),
                          static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
      if (n == 0 || n == -1) return;
    }
  }

  void Event(const std::string& line) {
    Print(line);
    for (const std::string& prefix : o_.until)
      if (line.compare(0, prefix.size(), prefix) == 0) ended_ = true;
  }

  bool Send() {
    if (qmpSend(*sock_, out_)) return true;
    // The peer is gone (reset or shut down): the server ended the link.
    Event("CLOSED send failed");
    open_ = false;
    ended_ = true;
    return false;
  }

  // Cuts every whole packet out of the received bytes; what is left is the start of the
  // next one, which the parser bounds to one buffer.
  void Drain() {
    size_t at = 0;
    while (!ended_) {
      size_t used = 0;
      int r = qmpParse(pending_.data() + at, pending_.size() - at, *in_, &used);
      if (r == qmpParseNeedMore) break;
      if (r == qmpParseBroken) {
        Broken("header announces more than a packet holds");
        break;
      }
      at += used;
      Dispatch();
    }
    pending_.erase(0, at);
  }

  void Broken(const std::string& why) {
    Event("BROKEN " + why);
    broken_ = true;
    ended_ = true;
  }

  bool Text(int position, std::string& text) {
    if (qmpTSession::GetText(position, *in_, text)) return true;
    char b[64];
    snprintf(b, sizeof b, "text descriptor at %d of code %d", position, in_->Code());
    Broken(b);
    return false;
  }

  void Dispatch() {
    const qmpTBuffer& p = *in_;
    int code = p.Code(), kind = p.Kind();
    bool known = code == qmpPing || code == qmpIdentity || code == qmpAuthenticate ||
                 code == qmpGetInt || code == qmpGetStr;
    // Fields outside a short payload would read as 0: a verdict of "success" among them.
    if (known && p.Length() < qmpFixedSize(code)) {
      Broken("payload of code " + std::to_string(code) + " shorter than its fixed part");
      return;
    }
    if (code == qmpPing && kind == qmpRequest) {
      Event("PING");
      uint8_t stamp[8] = {};
      p.GetBytes(0, stamp, std::min(8, p.Length()));
      state_.Result(p, out_);
      out_.PutBytes(0, stamp, 8);
      Send();
    } else if (code == qmpIdentity && kind == qmpResult) {
      std::string t[4];
      for (int i = 0; i < 4; ++i)
        if (!Text(i * 4, t[i])) return;
      Event("IDENTITY " + Escape(t[0]) + "\t" + Escape(t[1]) + "\t" + Escape(t[2]) + "\t" +
            Escape(t[3]));
    } else if (code == qmpAuthenticate && kind == qmpRequest) {
      std::string challenge;
      if (!Text(1, challenge)) return;
      Event("CHALLENGE " + Escape(challenge));
      state_.Result(p, out_);
      out_.PutByte(0, 4);
      qmpTSession::SetText(qmsMD5Hex(challenge + o_.password), 1, out_);
      Send();
    } else if (code == qmpAuthenticate && kind == qmpInformation) {
      int verdict = p.GetByte(0);
      if (verdict_ < 0) verdict_ = verdict;
      if (verdict == 0) {
        Event("LOGIN OK");
      } else {
        Event(verdict == 1 ? std::string("LOGIN FAILED")
                           : "LOGIN FAILED " + std::to_string(verdict));
      }
      if (verdict == 0 || o_.forceCommands) SendCommands();
    } else if (code == qmpGetInt && kind == qmpInformation) {
      std::string name;
      if (!Text(2, name)) return;
      std::string value = std::to_string(p.GetLong(6));
      if (name == "qms.uptime") {
        Event("UPTIME " + value);
      } else if (name == "qms.memory.used") {
        Event("MEMORY " + value);
      } else {
        Event("INT " + Escape(name) + " " + value);
      }
    } else if (code == qmpGetStr && kind == qmpInformation) {
      std::string name, value;
      if (!Text(2, name) || !Text(6, value)) return;
      static const std::string kPrefix = "qms.server.", kSuffix = ".status";
      if (name == "qms.console.output") {
        Event("CONSOLE " + Escape(value));
      } else if (name.size() > kPrefix.size() + kSuffix.size() &&
                 name.compare(0, kPrefix.size(), kPrefix) == 0 &&
                 name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
        std::string service =
            name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
        Event("STATUS " + Escape(service) + " " + Escape(value));
      } else {
        Event("TEXT " + Escape(name) + " " + Escape(value));
      }
    } else {
      Event("PACKET " + std::to_string(code) + " " + std::to_string(kind) + " " +
            std::to_string(p.Length()));
    }
  }

  void SendCommands() {
    if (commands_sent_) return;
    commands_sent_ = true;
    for (const std::string& word : o_.commands) {
      state_.Request(qmpCommand, out_);
      out_.PutByte(0, 0);
      uint8_t stamp[8];
      jvb::PutStamp8(stamp, jvb::NowLocal());
      out_.PutBytes(1, stamp, 8);
      qmpTSession::SetText(word, 9, out_);
      if (!Send()) return;
      Event("SENT " + Escape(word));
    }
  }

  const Options& o_;
  std::unique_ptr<jvbTSocket> sock_;
  qmpTSession state_;
  qmpTBuffer out_;
  std::unique_ptr<qmpTBuffer> in_ = std::make_unique<qmpTBuffer>();
  std::string pending_;  // received bytes not yet cut into packets
  int verdict_ = -1;
  bool commands_sent_ = false;
  bool ended_ = false;
  bool open_ = true;  // the server has not ended the link (as far as we know)
  bool broken_ = false;
  bool error_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return kFailure;
  }
  // The packet buffers are 64 KiB each: keep them off the stack.
  auto client = std::make_unique<AdminClient>(o);
  return client->Run();
}
