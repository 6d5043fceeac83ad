// qmsTAdminSession: the server side of the remote console link (management service,
// protocol 0, section "ADMIN" of "config/qms.cfg"). Over the packet protocol it answers
// identity and ping requests, proves the client's knowledge of the administration password
// by a challenge and an MD5 digest, then streams console lines, uptime and memory use and
// the status of every service, and hands operator commands to the main loop.
//
// Threads: everything runs on the session's own pooled thread. The group and service lists
// are read through their locked accessors; commands reach the main loop only through
// qmsTApplication::PostCommand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/core/session.h"
#include "toolbox/packet.h"
#include "toolbox/textfile.h"

class qmsTService;

class qmsTAdminSession : public qmsTSession {
 public:
  // Bits of the output set.
  static constexpr uint8_t kOutConsole = 1;
  static constexpr uint8_t kOutPings = 2;
  static constexpr uint8_t kOutUptime = 4;
  static constexpr uint8_t kOutStatus = 8;

  // Console records replayed to a client that has just authenticated.
  static constexpr int64_t kReplayRecords = 20;

  explicit qmsTAdminSession(qmsTService* service);
  ~qmsTAdminSession() override;

  // The session's whole life: settings, pool, one client link, end.
  bool Start() override;

 private:
  void Serve();
  // Sends the send buffer; a send that fails ends the link.
  bool SendPacket();
  void Dispatch();
  void Ping();
  void Identity();
  void CheckDigest();
  void Command();
  void ConsoleLines();
  void Period();
  bool SendNumber(const std::string& name, uint32_t value);
  bool SendText(const std::string& name, const std::string& value);
  void OpenConsole(bool replay);
  void Broken();

  bool authenticated_ = false;
  uint8_t output_ = 0;
  std::string password_;
  std::unique_ptr<qmpTSession> sender_;
  qmpTBuffer send_;
  qmpTBuffer receive_;

  std::string challenge_;
  bool challenge_sent_ = false;  // a challenge is waiting for its answer
  bool refused_ = false;         // a wrong digest was given; no further attempt on this link
  jvbTTextFile console_;
  int64_t console_pos_ = 0;      // next record to send
  int64_t period_start_ = 0;     // monotonic ms of the last period
};

// Registers the administration session as the session class of protocol 0.
void qmsRegisterAdmin();
