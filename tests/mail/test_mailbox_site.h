// Helpers of the POP3, IMAP4 and mailbox tests: a temporary site with one group ("mail")
// whose POP3 and IMAP4 services run in this process on 127.0.0.1 with the shipped message
// files, a few accounts, messages placed the way local delivery writes them, and a line
// client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/mailregister.h"
#include "server/users/userdatabase.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/socket.h"

namespace mailtest {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kWaitMs = 15000;

inline void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool WaitFor(F cond, int ms = kWaitMs) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

// A port on 127.0.0.1 that was free a moment ago, taken below the range the kernel hands
// out to client sockets (so no outgoing connection of any test can occupy it before the
// service binds it), and never the same one twice in this process.
inline uint16_t FreePort() {
  static std::mutex lock;
  static std::set<int> given;
  static std::mt19937 random(
      static_cast<unsigned>(getpid()) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> g(lock);
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low;
  const int top = std::max(low - 1, 12000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int port = std::uniform_int_distribution<int>(10000, top)(random);
    if (given.count(port)) continue;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    if (!free) continue;
    given.insert(port);
    return static_cast<uint16_t>(port);
  }
  return 0;
}

inline std::string SourceDir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  auto parent = std::filesystem::path(path).parent_path();
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

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A line client of one connection.
class Client {
 public:
  explicit Client(uint16_t port) { connected = sock.Connect(kLoopback, port, 5000) == 0; }
  bool Send(const std::string& line) { return sock.Send(line + "\r\n"); }
  // Next line without its CR LF; "<closed>" when the connection ended.
  std::string Line() {
    std::string line;
    int rc = sock.ReadLine(line, 1 << 20, kWaitMs);
    return rc == 1 ? line : std::string("<closed>");
  }
  std::string Command(const std::string& line) {
    Send(line);
    return Line();
  }
  // Lines up to (not including) the terminating ".", dot-stuffing undone.
  std::vector<std::string> Block() {
    std::vector<std::string> out;
    for (;;) {
      std::string l = Line();
      if (l == "." || l == "<closed>") break;
      if (l.rfind("..", 0) == 0) l.erase(0, 1);
      out.push_back(l);
    }
    return out;
  }
  // Raw bytes of a multi-line reply up to and including ".\r\n".
  std::string RawBlock() {
    std::string data;
    for (;;) {
      std::string l;
      if (sock.ReadLine(l, 1 << 20, kWaitMs) != 1) break;
      data += l + "\r\n";
      if (l == ".") break;
    }
    return data;
  }
  // True when the server closed the connection (nothing more to read).
  bool Closed() {
    std::string l;
    return sock.ReadLine(l, 1 << 20, kWaitMs) == 0;
  }
  jvbTSocket sock;
  bool connected = false;
};

// The site: group "mail" with POP3 and IMAP4 services, users "bob" (password "secret",
// APOP secret "apopsecret"), "carol" (password "pw", no APOP secret), "anon" (anonymous,
// denied both mail services) and "mallory" (POP3 denied).
class MailSite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    for (const char* d : {"config/mail", "log", "tmp", "users", "stat", "home", "ftp",
                          "messages/pop3", "messages/imap4"})
      std::filesystem::create_directories(d);
    for (const char* p : {"pop3/pop3.res", "imap4/imap4.res"})
      std::filesystem::copy_file(SourceDir() + "/documentation/messages/" + p,
                                 std::string("messages/") + p,
                                 std::filesystem::copy_options::overwrite_existing);
    pop3_port_ = FreePort();
    imap4_port_ = FreePort();
    WriteFile("config/qms.cfg", "[GLOBAL]\r\n");
    WriteUser("bob", "Username=bob\r\nPassword=-secret\r\nAPOPSecret=apopsecret\r\n");
    WriteUser("carol", "Username=Carol\r\nPassword=-pw\r\n");
    WriteUser("anon",
              "Username=anon\r\nAnonymous=1\r\n[POP3]\r\nDenyService=1\r\n"
              "[IMAP4]\r\nDenyService=1\r\n");
    WriteUser("mallory",
              "Username=mallory\r\nPassword=-pw\r\nAPOPSecret=m\r\n"
              "[POP3]\r\nDenyService=1\r\n");
  }

  void WriteUser(const std::string& name, const std::string& lines) {
    WriteFile("users/" + name, "[USER]\r\n" + lines);
  }

  // The group configuration; extraGlobal and extraService are appended to GLOBAL and to
  // both service sections; vfs replaces the VFS section's keys.
  void WriteConfig(const std::string& extraGlobal = "HomeDirectory=/home\r\n",
                   const std::string& extraService = "",
                   const std::string& vfs = "/=ftp\r\n/home=home\r\n") {
    std::string service = "Address=127.0.0.1\r\nClientAddress=" + client_address_ +
                          "\r\nHost=mail.test\r\nDisableReverse=1\r\n"
                          "ClientPool=2\r\n" +
                          extraService;
    WriteFile("config/mail/mail.cfg",
              "[GLOBAL]\r\nGroupsDefined=users\r\nServiceSections=POP3 IMAP4\r\n"
              "UserDirectory=users\r\nStatDirectory=stat\r\n" +
                  extraGlobal + "[POP3]\r\nProtocol=pop3d\r\nPort=" + std::to_string(pop3_port_) +
                  "\r\n" + service + "[IMAP4]\r\nProtocol=-imap4d-\r\nPort=" +
                  std::to_string(imap4_port_) + "\r\n" + service + "[VFS]\r\n" + vfs);
  }

  void StartServer() {
    qmsRegisterPop3();
    qmsRegisterImap4();
    app_ = std::make_unique<qmsTApplication>(true);
    group_ = app_->AddGroup("mail");
    testing::internal::CaptureStdout();
    app_->StartGroup(group_);
    testing::internal::GetCapturedStdout();
    ASSERT_NE(group_->Users(), nullptr);
    group_->Users()->SetFailDelay(0);
    ASSERT_TRUE(WaitFor([&] {
      auto s = group_->Services();
      if (s.size() != 2) return false;
      for (auto* x : s)
        if (x->state != ssRunning || x->PoolCount() == 0) return false;
      return true;
    }));
    monitor_ = std::thread([this] {
      while (!stop_monitor_) {
        for (qmsTService* s : group_->Services()) s->Monitor();
        Sleep(10);
      }
    });
  }

  void TearDown() override {
    if (!app_) return;
    auto services = group_->Services();
    // Both services at once: each waits for its accept loop to notice.
    auto each = [&](auto f) {
      std::vector<std::thread> threads;
      for (auto* s : services) threads.emplace_back([s, f] { f(s); });
      for (auto& t : threads) t.join();
    };
    each([](qmsTService* s) {
      s->SuspendService();
      s->ReleasePool();
      s->KillSessions();
      WaitFor([&] { return s->ActiveCount() == 0; });
    });
    stop_monitor_ = true;
    if (monitor_.joinable()) monitor_.join();
    each([](qmsTService* s) { s->StopService(); });
    WaitFor([&] { return group_->ServiceThreads() == 0; });
    app_.reset();
  }

  std::string Inbox(const std::string& user) { return "home/" + user + "/.mailbox/Inbox/"; }

  // A message as local delivery writes it: the Return-Path line and the queue body.
  void PutMessage(const std::string& user, const std::string& name, const std::string& body,
                  const std::string& folder = "Inbox") {
    WriteFile("home/" + user + "/.mailbox/" + folder + "/" + name + ".msg",
              "Return-Path: <sender@example.test>\r\n" + body);
  }

  // The service log "log/<group>-<section>.log", names in lower case.
  std::string ServiceLog(const std::string& section) {
    std::string lower = section;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ReadFile("log/mail-" + lower + ".log");
  }
  bool LogHas(const std::string& section, const std::string& text) {
    return ServiceLog(section).find(text) != std::string::npos;
  }
  std::string SystemLog() { return ReadFile("log/qms32.log"); }

  TempDir dir_;
  uint16_t pop3_port_ = 0;
  uint16_t imap4_port_ = 0;
  std::string client_address_ = "127.0.0.1";
  std::unique_ptr<qmsTApplication> app_;
  qmsTGroup* group_ = nullptr;
  std::thread monitor_;
  std::atomic<bool> stop_monitor_{false};
};

}  // namespace mailtest
