// qmsTSMTPClient: the client side of one SMTP connection of a delivery pass - connecting
// to a remote server, sending command lines, reading (multi-line) replies and sending a
// message body with dot-stuffing.
//
// Nothing a remote server sends can hold a pass for ever or fill memory: a reply line is
// at most kReplyLineMax bytes and a reply at most kReplyLinesMax lines, every wait has a
// limit, and every wait ends as soon as the owner's stop flag is set. Another thread may
// call Shutdown at any time to wake a pass blocked on the connection; the descriptor is
// only closed under the same lock, so Shutdown never hits a number that was meanwhile
// handed to another connection.
//
// One object belongs to one pass (one thread); Shutdown is the only call from elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "toolbox/socket.h"

class jvbTTextFile;

class qmsTSMTPClient {
 public:
  static constexpr size_t kReplyLineMax = 4096;
  static constexpr int kReplyLinesMax = 1000;
  static constexpr size_t kBodyBlock = 16384;
  static constexpr int kConnectTimeoutMs = 30000;

  struct Callbacks {
    // Each line sent (kind 2) and received (kind 1), for the session's debug output.
    std::function<void(const std::string& line, int kind)> debug;
    // Progress: resets the session's idle timer.
    std::function<void()> activity;
  };

  // stop: the owner's terminate flag (may be null); replyTimeoutMs bounds the wait for
  // each reply line.
  qmsTSMTPClient(Callbacks callbacks, const std::atomic<bool>* stop, int replyTimeoutMs);
  ~qmsTSMTPClient();
  qmsTSMTPClient(const qmsTSMTPClient&) = delete;
  qmsTSMTPClient& operator=(const qmsTSMTPClient&) = delete;

  // A fresh connection (any previous one is closed first). With bind the socket is bound
  // to bindAddress (host order) before it connects. Returns 0 or the error number.
  int Connect(uint32_t address, uint16_t port, bool bind = false, uint32_t bindAddress = 0,
              int timeoutMs = kConnectTimeoutMs);
  bool Connected() const { return socket_.Valid(); }
  void Close();
  // Any thread: wakes a blocked call; the connection is unusable afterwards.
  void Shutdown();

  // Sends the command line and reads the reply: its code, and its last line in reply.
  int SendCom(std::string& reply, const std::string& command);
  // Reads reply lines until one whose first blank-separated word is a decimal number and
  // returns that number (0 when the connection closed, the wait ran out, the stop flag
  // was set, a line was too long or the reply had too many lines; reply then says why).
  int RecvRes(std::string& reply);
  // Sends the whole body file from its start, dot-stuffed, ended by a line end (the
  // terminating "." is the caller's next command). False when a read or send failed or
  // the stop flag was set.
  bool SendBody(jvbTTextFile& body);

  // The last reply had a line whose text after the code is word (an EHLO keyword).
  bool ReplyHas(const std::string& word) const;
  // The handshake after a 220 to STARTTLS; verify checks the certificate against host.
  // False (why in error) when TLS did not come up or did not verify: the connection is
  // then of no further use.
  bool StartTls(bool verify, const std::string& host, std::string& error);
  std::string TlsSummary() const { return socket_.TlsSummary(); }

  // The code of a reply line: its first blank-separated word as a decimal number, or -1.
  static int ReplyCode(const std::string& line);
  // Dot-stuffs one block of a body. atLineStart tells whether the byte before the block
  // ended a line (true before the first block) and is updated for the next block.
  static std::string DotStuff(const char* data, size_t size, bool& atLineStart);
  // A reply line as it may be logged and recorded: control bytes become "?".
  static std::string Printable(const std::string& line);

 private:
  bool SendLine(const std::string& line);

  Callbacks callbacks_;
  const std::atomic<bool>* stop_;
  int reply_timeout_ms_;
  std::mutex close_lock_;  // held while the descriptor is shut down or closed
  jvbTSocket socket_;
  std::vector<std::string> reply_words_;  // upper-cased first word after each line's code
};
