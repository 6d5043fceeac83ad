// Helpers of the SMTP tests: the site helpers, the shipped message file, a group with its
// SMTP section and users in a temporary site, and a line-based SMTP client.
#pragma once

#include <string>
#include <vector>

#include "tests/support/sitetest.h"
#include "toolbox/platform.h"
#include "toolbox/socket.h"

namespace smtptest {

using sitetest::FreePort;
using sitetest::kLoopback;
using sitetest::kWaitMs;
using sitetest::ReadFile;
using sitetest::Sleep;
using sitetest::WaitFor;
using sitetest::WriteFile;
inline std::vector<std::string> Files(const std::string& dir) { return sitetest::Names(dir); }
inline std::vector<std::string> FilesWith(const std::string& dir, const std::string& ext) {
  return sitetest::NamesWith(dir, ext);
}
inline std::string ShippedMessages() { return sitetest::Shipped("messages/smtp/smtp.res"); }

// A user file in users/.
inline void WriteUser(const std::string& name, const std::string& more = "") {
  WriteFile("users/" + jvb::AsciiLower(name),
            "[USER]\r\nUsername=" + name + "\r\nPassword=-secret\r\n" + more);
}

// The group configuration: the SMTP section gets extra keys first (the first of equal
// keys in a section counts), then the defaults of the tests.
inline std::string GroupConfig(uint16_t port, const std::string& extra) {
  return "[GLOBAL]\r\nGroupsDefined=users\r\nServiceSections=SMTP\r\nUserDirectory=users\r\n"
         "StatDirectory=stat\r\nHomeDirectory=/home\r\n"
         "[SMTP]\r\n" +
         extra + "Protocol=smtpd\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) +
         "\r\nHost=mail.test\r\nClientAddress=127.0.0.1\r\nDisableReverse=1\r\nTimeout=60\r\n"
         "QueueScanFreq=900\r\nLocalDomain=example.test\r\n"
         "LocalDomains=@example.test,@Other.Test\r\nQueueDirectory=queue\r\n"
         "ForwardAddress=127.0.0.1\r\n";
}

// A client speaking SMTP line by line.
class Client {
 public:
  explicit Client(uint16_t port) { connected = sock.Connect(kLoopback, port, 5000) == 0; }

  bool Send(const std::string& bytes) { return sock.Send(bytes); }
  // One reply: its lines up to the one whose fourth character is not "-". Empty when the
  // connection ended first.
  std::vector<std::string> Reply() {
    std::vector<std::string> lines;
    std::string line;
    while (sock.ReadLine(line, 1 << 20, kWaitMs) == 1) {
      lines.push_back(line);
      if (line.size() < 4 || line[3] != '-') break;
    }
    return lines;
  }
  // The last line of the reply to a command.
  std::string Cmd(const std::string& command) {
    Send(command + "\r\n");
    std::vector<std::string> r = Reply();
    return r.empty() ? std::string() : r.back();
  }
  int Code(const std::string& command) { return atoi(Cmd(command).substr(0, 3).c_str()); }
  // True when the server closed the connection.
  bool Closed() {
    std::string line;
    return sock.ReadLine(line, 1 << 20, kWaitMs) == 0;
  }

  jvbTSocket sock;
  bool connected = false;
};

}  // namespace smtptest
