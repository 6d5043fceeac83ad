// qmsTSession: base of every protocol session. One session lives on one pooled thread and
// serves exactly one connection (or one SMTP queue scan), then its thread ends.
//
// Threads: the session's own thread runs Start and everything it calls. The service's
// accept loop hands over the socket and wakes the session (under the pool lock); the main
// thread's Monitor reads the timers and flags and may set terminate and shut the socket
// down - those fields are atomics. Only the session's thread closes its socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "server/core/metrics.h"
#include "toolbox/filesys.h"
#include "toolbox/identvaluelist.h"
#include "toolbox/socket.h"
#include "toolbox/textconfig.h"
#include "toolbox/timer.h"

class qmsTService;
class qmsTGroup;
class qmsTUser;

// Log categories of Log: 0 always written, 1 connection and user events.
inline constexpr int kLogAlways = 0;
inline constexpr int kLogUser = 1;

// Debug kinds of Debug.
inline constexpr int kDebugRecv = 1;
inline constexpr int kDebugSend = 2;
inline constexpr int kDebugProto4 = 4;
inline constexpr int kDebugProto8 = 8;
inline constexpr int kDebugProto16 = 16;

// Results of qmsTSession::SessionUser; the numbers are the ones hooks and logs know.
enum qmsTUserResult : int {
  usRejectedByHook = -1,  // a hook refused the name and has answered the client
  usUnknown = 0,
  usIdentified = 1,
};

// Results of qmsTSession::SessionPassword. An unknown account is refused as a mismatch
// (after the same wait), so that the answer tells nothing about the account.
enum qmsTPasswordResult : int {
  pwRejectedByHook = -4,  // a hook refused the login and has answered the client
  pwHostDenied = -3,
  pwServiceDenied = -2,
  pwNoUser = -1,
  pwMismatch = 0,
  pwAuthenticated = 1,
};

// Longest command line a session reads before it refuses the line.
inline constexpr size_t kMaxCommandLine = 64 * 1024;

class qmsTSession {
 public:
  explicit qmsTSession(qmsTService* service);
  virtual ~qmsTSession();
  qmsTSession(const qmsTSession&) = delete;
  qmsTSession& operator=(const qmsTSession&) = delete;

  // Reads the shared settings; subclasses call it first, then read their own keys, then
  // WaitInPool and serve. True when a connection was served.
  virtual bool Start();
  // Built-in variables; subclasses add theirs and fall back to this one.
  virtual bool GetVars(const std::string& name, std::string& value);
  // Sends a looked-up reply with its optional leading block (replies.cpp).
  virtual void SendCmd(const std::string& block, const std::string& reply);
  // Called by Monitor on the main thread for protocol-specific checks (FTP aborts).
  virtual void MonitorHook() {}
  // Called by Monitor when the idle time-out closes the session.
  virtual void OnIdleTimeout() {}

  // --- Replies and hooks (replies.cpp) ---
  void SendTxt(const std::string& key, const std::string& section);
  int CallHook(std::string& output, const std::string& hook);
  // notRun, when given, is set when the script could not run at all (no such file, no
  // interpreter, or an interpreter error): the result is then 0 with output "0" as for a hook
  // that lets things go on, which a caller that needs the script's answer must not take as one.
  int RunREXX(std::string& output, const std::string& command, bool* notRun = nullptr);
  // The message file replies come from: the session's own, else the service's.
  jvbTTextConfig* Messages() const;
  // The text of (section, key) in the message file; a TLS key the file lacks or leaves
  // empty gets its built-in text. False (text empty) when there is neither.
  bool ReplyText(const std::string& section, const std::string& key, std::string& text) const;

  // --- Templates (template.cpp) ---
  void ExpandFIB(std::string& text);
  std::string ReturnFIB(const std::string& text);

  // --- Pool and connection ---
  bool WaitInPool();
  // WaitInPool, then serve() when woken with a client (woken without one, there is
  // nothing to serve). The result is Start's.
  bool WaitAndServe(const std::function<void()>& serve);
  void Connection();
  static bool AcceptClient(const std::string& patterns, const std::string& hostName,
                           const std::string& address);

  // What differs per protocol at the start of a session.
  struct ConnectGate {
    // A rejecting hook's answer: true, a reply line and a leading block after "&" (see
    // SplitHookOutput); false, one reply sent as it stands.
    bool hookReplyWithBlock = false;
    int logCategory = kLogAlways;  // of the accept and reject log lines
    std::function<void()> refuse;  // the reply to a client address not allowed
    std::function<void()> greet;   // the greeting
  };
  // The start of every connection: the hookOnConnect script may reject it, then the
  // ClientAddress patterns must accept it, then the client is greeted; each outcome is
  // logged. True when the client was greeted.
  bool PassConnectGate(const ConnectGate& gate);
  // A command line as the dialogues read it: leading bytes 0x00-0x20 and 0x7F-0xFF and
  // trailing bytes 0x00-0x20 removed.
  static std::string StripCommandLine(const std::string& line);
  // "<thread id.milliseconds@Host>", the unique stamp a greeting offers for a digest
  // login (APOP, the administration challenge).
  std::string TimeStamp() const;
  // "(QMS/32 v<version> - <home page>)", the end of the greetings.
  static std::string ProductTail();

  // --- Logging and sending ---
  void Log(const std::string& text, int category = kLogAlways);
  void Debug(const std::string& text, int kind);
  bool SendIt(const std::string& text);
  // Raw bytes to the client (multi-line data); false when the connection is gone.
  bool SendRaw(const std::string& bytes);
  // Reads one command line, bounded; returns as jvbTSocket::ReadLine. Resets the idle timer.
  int ReadLine(std::string& line, size_t maxLen = kMaxCommandLine,
               jvbTSocket::LineEnd ends = jvbTSocket::LineEnd::kLf);

  // --- TLS (session_tls.cpp) ---
  // STARTTLS may be offered: the service has TLS and the connection is still plain.
  bool TlsOffered() const;
  // The connection is plain and must turn to TLS before a login.
  bool TlsRequired() const;
  bool Secure() const { return socket_ && socket_->Secure(); }
  // The server's handshake on the connection (bounded by the idle time-out); logs the
  // protocol version and cipher, or why it failed. The session ends after a failure.
  bool StartTls();

  // --- Users (session_user.cpp) ---
  qmsTUserResult SessionUser(const std::string& name);
  qmsTPasswordResult SessionPassword(const std::string& password);
  // A rejecting hook's answer: the reply line before the first "&" outside double quotes,
  // the leading block after it.
  static void SplitHookOutput(const std::string& output, std::string& reply, std::string& block);
  // The user's variables (usr.*, recv, sent ...) of GetVars.
  bool GetUserVars(const std::string& name, std::string& value);
  // Failed logins of the client's address, counted by the group's login throttle. While
  // LoginHeldBack is true (it logs so), refuse the attempt without checking it. LoginFailed
  // counts and logs a failure and waits before the refusal is sent; it stops waiting when
  // the session is terminated. FailDelay is the group's wait after a wrong password.
  bool LoginHeldBack();
  void LoginFailed(int baseMs);
  void LoginSucceeded();
  int FailDelay() const;

  // --- Called by the service's accept loop (under the pool lock) ---
  void HandOver(std::unique_ptr<jvbTSocket> socket);
  void Wake() { wake_.release(); }
  bool EnteredPool() const { return entered_pool_; }
  bool HandedOver() const { return handed_over_; }

  // --- Metrics of the service (nothing without one) ---
  void Count(qmsTCounter counter, uint64_t n = 1);
  // The socket's bytes count as the service's bytes in and out.
  void CountBytesOf(jvbTSocket& socket);

  qmsTService* Service() const { return service_; }
  qmsTGroup* Group() const;
  jvbTSocket* Socket() const { return socket_.get(); }
  qmsTUser* User() const { return user_.get(); }
  jvbTFileSys& FileSys() { return *filesys_; }
  jvbTIdentValueList& Variables() { return variables_; }
  std::string Key() const;  // active-list key: socket handle, "-1" for a queue scan

  // Fields Monitor and the accept loop touch from other threads.
  std::atomic<bool> terminate{false};
  std::atomic<bool> done{false};
  std::atomic<bool> released{false};
  std::atomic<long> threadId{0};
  std::atomic<int> socketHandle{-1};
  jvbTTimer connectTimer;
  jvbTTimer idleTimer;
  std::mutex timerLock;  // guards the two timers between Monitor and the session
  // The account name shown in connection lists, readable from any thread ("" for none),
  // and the client's host name once the connection has looked it up.
  std::string ListedUser() const;
  void SetListedUser(const std::string& name);
  std::string ListedHost() const;
  std::string ListedAddress() const;

  // Settings read by Start.
  std::string ClientAddress = "!*";
  int32_t DebugFlag = 0;
  std::string Host;
  int32_t LogFlag = 0;
  int32_t Timeout = 180;
  bool DisableReverse = false;

 protected:
  void ResetIdle();
  std::unique_ptr<jvbTSocket> socket_;
  std::unique_ptr<jvbTTextConfig> messages_;
  std::unique_ptr<qmsTUser> user_;
  mutable std::mutex listed_lock_;
  std::string listed_user_;  // guarded by listed_lock_
  std::string listed_host_;     // guarded by listed_lock_
  std::string listed_address_;  // guarded by listed_lock_
  std::mutex send_lock_;  // one writer at a time (scripts may send for this session)

 private:
  qmsTService* service_;
  std::binary_semaphore wake_{0};
  std::unique_ptr<jvbTFileSys> filesys_;
  bool entered_pool_ = false;
  std::atomic<bool> handed_over_{false};
  jvbTIdentValueList variables_;
};
