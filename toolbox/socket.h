// jvbTSocket: one TCP socket, owned by exactly one thread, closed by its owner only.
// Other threads wake a blocked owner with Shutdown() (shutdown(SHUT_RDWR)): on Linux a
// close from another thread would neither wake the owner nor stop the descriptor number
// from being reused under it. Every wait uses poll with a time limit; sends never raise
// SIGPIPE. Reads are bounded: a line longer than its limit is reported, never stored whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "toolbox/tls.h"

struct ssl_st;

class jvbTSocket {
 public:
  jvbTSocket() = default;
  explicit jvbTSocket(int fd) : fd_(fd) {}
  ~jvbTSocket() { Close(); }
  jvbTSocket(const jvbTSocket&) = delete;
  jvbTSocket& operator=(const jvbTSocket&) = delete;

  // Listener: SO_REUSEADDR, bind to address (host order; 0 = any) and port. Returns 0 or errno.
  int Bind(uint32_t address, uint16_t port);
  int Listen(int backlog);
  // Waits up to timeoutMs for the descriptor to become readable: 1 ready, 0 timeout, -1 error.
  int WaitReadable(int timeoutMs) const;
  // Accepts one connection into out (close-on-exec). Returns 0 or errno.
  int Accept(jvbTSocket& out);
  // Outgoing connection with a time limit. Returns 0 or errno.
  int Connect(uint32_t address, uint16_t port, int timeoutMs);
  // The same from a given local address (host order; any local port): the socket gets
  // address reuse and is bound before it connects. Returns 0 or errno.
  int ConnectFrom(uint32_t localAddress, uint32_t address, uint16_t port, int timeoutMs);

  // Sends all bytes; false when the peer is gone or the socket was shut down.
  bool Send(const std::string& bytes);
  // Receives up to max bytes waiting at most timeoutMs: >0 bytes, 0 peer closed,
  // -1 error, -2 timeout.
  int Recv(char* buf, int max, int timeoutMs);
  // What ends a line: any LF (a CR before it is dropped too), or only CR LF (a bare CR or
  // LF is part of the line).
  enum class LineEnd { kLf, kCrLf };
  // Reads one line (up to its end, which is stripped). Returns 1 line read, 0 peer closed or
  // error, -2 timeout, -3 line longer than maxLen (the rest of that line is consumed).
  // stop, when given, is polled between waits of at most 250 ms. The waits are blocking
  // receives bounded by the socket's receive time-out (SO_RCVTIMEO, set when the wait
  // changes), so a line costs one receive instead of a poll and a receive.
  int ReadLine(std::string& line, size_t maxLen, int timeoutMs,
               const std::atomic<bool>* stop = nullptr, LineEnd ends = LineEnd::kLf);
  // Bytes waiting without consuming them (FIONREAD + MSG_PEEK).
  std::string Peek(size_t max);

  // --- TLS: once started, every send and receive above goes through it ---
  // Handshake as server (or client, sending sni) within timeoutMs. The bytes the line
  // reader holds are dropped first: nothing received before the handshake is taken as
  // sent over it. False (the reason in tlsError) when the handshake failed; the
  // connection is then of no further use.
  bool StartTls(const jvb::TlsContext& ctx, bool server, int timeoutMs,
                const std::string& sni = {});
  bool Secure() const { return ssl_ != nullptr; }
  // Protocol version and cipher, e.g. "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty when plain.
  std::string TlsSummary() const;
  // The peer's certificate checked out (client side of a verifying context).
  bool PeerVerified() const;
  std::string tlsError;
  // File bytes and bulk receives as jvb::SendFileSome and jvb::RecvFull: sendfile and
  // recv on a plain connection, reads and TLS records otherwise.
  int64_t SendFileSome(int fileFd, int64_t offset, size_t count);
  int64_t RecvFull(char* buf, size_t max);
  void ShutdownSend();  // the end of data (TLS: close_notify first)
  // As jvb::SendBoth, jvb::SendFileBlock and jvb::DrainAfterReply, plain or over TLS.
  bool SendBoth(const char* head, size_t headLen, const char* body, size_t bodyLen);
  int64_t SendFileBlock(int fileFd, int64_t* offset, int64_t count);
  void DrainAfterReply(int waitMs, size_t maxBytes);

  // Adds the bytes received and sent from now on to these counters (relaxed; null: none).
  void CountBytes(std::atomic<uint64_t>* in, std::atomic<uint64_t>* out) {
    count_in_ = in;
    count_out_ = out;
  }

  void Shutdown();  // any thread: wakes the owner
  void ShutdownReceive();  // any thread: wakes a reading owner, which may still send
  void Close();     // owner only
  int Release();    // gives up ownership of the descriptor

  int Handle() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  uint32_t PeerAddress() const { return peer_; }  // host order
  uint16_t PeerPort() const { return peer_port_; }
  const unsigned char* PeerOctets() const { return octets_; }
  std::string PeerDotted() const;
  std::string peerHostName;  // up to 255 characters
  uint32_t LocalAddress() const;

  static std::string Dotted(uint32_t hostOrder);
  static bool ParseDotted(const std::string& text, uint32_t* hostOrder);
  // Reverse lookup; empty when none or when the answer is not a host name.
  static std::string ReverseLookup(uint32_t hostOrder);

 private:
  void SetPeer(uint32_t addr, uint16_t port);
  int OpenConnection(bool bindLocal, uint32_t localAddress, uint32_t address, uint16_t port,
                     int timeoutMs);
  std::atomic<int> fd_{-1};
  uint32_t peer_ = 0;
  uint16_t peer_port_ = 0;
  unsigned char octets_[4] = {0, 0, 0, 0};
  std::string buffer_;  // bytes read past the last line
  // SO_RCVTIMEO in effect on fd_; -1 not looked at yet, -2 waits with poll instead.
  int recv_wait_ms_ = -1;
  std::atomic<uint64_t>* count_in_ = nullptr;
  std::atomic<uint64_t>* count_out_ = nullptr;
  // Passes a transfer result on, counting it when it carried bytes.
  template <typename N>
  N CountedIn(N n) {
    if (n > 0 && count_in_)
      count_in_->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return n;
  }
  template <typename N>
  N CountedOut(N n) {
    if (n > 0 && count_out_)
      count_out_->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return n;
  }

  struct SslFree {
    void operator()(ssl_st* ssl) const;
  };
  std::unique_ptr<ssl_st, SslFree> ssl_;
  bool ssl_broken_ = false;  // a fatal TLS error: no close_notify at the end
  // One receive and one send of the connection, plain or TLS: bytes, 0 closed or error,
  // -2 nothing within the socket's time-out.
  int RawRecv(char* buf, size_t max);
  ssize_t RawSend(const char* data, size_t size);
  bool TlsHandshake(bool server, int timeoutMs);
  void EndTls();

  // One blocking receive of at most waitMs: bytes, 0 peer closed or error, -2 nothing yet.
  int RecvWithin(char* buf, size_t max, int waitMs);
};
