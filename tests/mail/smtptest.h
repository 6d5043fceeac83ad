// Helpers of the SMTP tests: file access, the shipped message file, a group with its SMTP
// section and users in a temporary site, and a line-based SMTP client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/platform.h"
#include "toolbox/socket.h"

namespace smtptest {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kWaitMs = 15000;  // upper bound for anything the server should do at once

inline void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool WaitFor(F cond, int ms = kWaitMs) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Plain names in a directory, sorted (dot files included).
inline std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<std::string> FilesWith(const std::string& dir, const std::string& ext) {
  std::vector<std::string> out;
  for (const auto& f : Files(dir))
    if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
      out.push_back(f);
  return out;
}

// The message file as shipped, found from this source file's place.
inline std::string ShippedMessages() {
  std::filesystem::path here(__FILE__);
  return ReadFile((here.parent_path().parent_path().parent_path() / "documentation" / "messages" /
                   "smtp" / "smtp.res")
                      .string());
}

inline uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(kLoopback);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

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
