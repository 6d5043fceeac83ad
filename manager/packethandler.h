// TPacketHandler: what the manager does with each packet from the server, and the command
// words it sends. Keep-alive requests are answered and their time shown in panel 0, the
// password challenge is answered with the MD5 digest of challenge and password, the uptime
// goes to panel 1, console lines to the Console Screen and service states to the Service
// Status list. Every other packet is dropped.
//
// Threads: window thread only (packets arrive through the connection thread's hand-over).
#pragma once

#include <string>

#include "toolbox/packet.h"

class TFormConsole;
class TFormConsoleScreen;
class TFormServiceStatus;
class TServerThread;

class TPacketHandler {
 public:
  TPacketHandler(std::string password, TFormConsole& main, TFormConsoleScreen& console,
                 TFormServiceStatus& status);
  void SetThread(TServerThread* thread) { thread_ = thread; }

  // False when the packet is broken: its payload is shorter than the fixed part of its
  // code, or a text descriptor names bytes outside it.
  bool Handle(const qmpTBuffer& packet);
  // Sends an operator command word ("restart", "shutdown").
  void SendCommand(const std::string& word);

 private:
  bool AnswerPing(const qmpTBuffer& packet);
  bool AnswerChallenge(const qmpTBuffer& packet);
  bool ShowNumber(const qmpTBuffer& packet);
  bool ShowText(const qmpTBuffer& packet);
  void Send();

  std::string password_;
  TFormConsole& main_;
  TFormConsoleScreen& console_;
  TFormServiceStatus& status_;
  TServerThread* thread_ = nullptr;
  qmpTSession sender_;
  qmpTBuffer send_;
};
