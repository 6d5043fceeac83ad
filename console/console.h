// qmsTConsole: the text console, a client of the server's administration link. It reads
// its command line and "../config/qms.cfg" beside its own directory, connects, identifies
// itself, answers the password challenge and then shows the server's state full-screen
// (qmsTConsoleScreen) until the link ends; Alt+letter keys send operator commands.
//
// Every packet from the server is checked before use: a packet too short for its fixed
// part or with a text that lies outside it ends the link as broken. Codes the console
// does not act on are ignored.
//
// Single-threaded: keyboard, socket and timers are polled in one loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "toolbox/packet.h"
#include "toolbox/socket.h"
#include "toolbox/timer.h"

class qmsTConsoleScreen;

// The command line: {address[:port]} {-p[password]} {-t{tracepath}} | [-?|-h]. Options
// begin with "-" or "/"; a value is the rest of its argument.
struct qmsTConsoleOptions {
  bool usage = false;
  bool hasPassword = false;
  std::string password;
  std::string address;  // first argument that is no option
  bool trace = false;
  std::string tracePath;
  bool empty = true;  // no argument at all

  static qmsTConsoleOptions Parse(const std::vector<std::string>& args);
};

// "a.b.c.d" or "a.b.c.d:port" into an address and (when given) a port; false when it is
// neither.
bool qmsParseConsoleAddress(const std::string& text, uint32_t* address, uint16_t* port);

// The parts of a service status "group service gi si protocol state pool sessions".
struct qmsTServiceStatus {
  std::string group, service;
  int groupIndex = 0, serviceIndex = 0, protocol = 0, state = 0, pool = 0, sessions = 0;
};
// A string value's name "qms.server.<group>.<service>.status" and its six numbers.
bool qmsParseServiceStatus(const std::string& name, const std::string& value,
                           qmsTServiceStatus& status);

class qmsTConsole {
 public:
  // Exit codes of the program.
  enum : int { kExitOk = 0, kExitNotAuthenticated = 1, kExitFailed = 2 };

  qmsTConsole();
  ~qmsTConsole();

  // The whole run; returns the exit code. The terminal is given back before it returns.
  int Run(const std::vector<std::string>& args);

 private:
  int Start(const qmsTConsoleOptions& options);
  void Banner();
  void Usage();
  void StartTrace(const qmsTConsoleOptions& options);
  std::string Settings(const qmsTConsoleOptions& options, uint16_t* port);
  bool Connect(const qmsTConsoleOptions& options);
  int Loop();
  void Idle();
  bool Receive();
  bool Dispatch();
  bool OnPing();
  bool OnIdentity();
  bool OnChallenge();
  bool OnVerdict();
  bool OnInteger();
  bool OnString();
  void OnKey(int letter);
  void SendCommand(const std::string& word);
  void SendPing();
  bool Send();
  void Console(const std::string& text);
  void SwitchToFullScreen();

  std::string configFile_;
  std::string password_;
  jvbTSocket socket_;
  qmpTSession sender_;
  std::unique_ptr<qmpTBuffer> in_, out_;
  std::unique_ptr<qmsTConsoleScreen> screen_;
  bool lost_ = false;
  int exit_ = -1;         // set when a packet ends the program
  std::string farewell_;  // printed after the terminal is given back
  uint32_t packetsSent_ = 0, packetsReceived_ = 0, bytesSent_ = 0, bytesReceived_ = 0;
  jvbTTimer elapsed_, keepAlive_;
  int64_t lastSecond_ = -1;
};
