// Helpers of the scripting tests: a site in a temporary directory whose groups run real
// services (accept loop, session pool, active lists) with a small test protocol that
// calls hooks on request, a main-loop stand-in that runs Monitor, and a line client.
//
// The test protocol: at connection the session runs its section's "hookOnConnect" and,
// when the hook acts, sends its output and ends; otherwise it greets with "+OK <key>",
// its key being its socket handle. Then, one command per line:
//   HOOK <command line>   CallHook; answers "= <result> <output>"
//   USER <name>           SessionUser; answers "USER <result>" (after any hook reply)
//   TXT <key> <section>   SendTxt from the service's message file
//   VAR <name>            GetVars; answers "+OK <value>" or "-ERR unknown"
//   QUIT                  "+OK bye", end
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/hooks.h"
#include "server/core/service.h"
#include "server/core/session.h"
#include "server/core/sessionfactory.h"
#include "server/scripting/scriptregister.h"
#include "server/users/userdatabase.h"
#include "tests/support/sitetest.h"
#include "toolbox/platform.h"

namespace scripttest {

inline constexpr int kWaitMs = 20000;

using sitetest::Count;
using sitetest::FreePort;
using sitetest::Sleep;
using sitetest::WaitFor;
inline void Put(const std::string& path, const std::string& text) { sitetest::WriteFile(path, text); }
inline std::string Get(const std::string& path) { return sitetest::ReadFile(path); }

// The plug-in the tests load and the example plug-in, as the build lays them out.
inline std::string TestPlugin() { return jvb::ProgramDirectory() + "/scripting/qmstestplugin.so"; }
inline std::string ExamplePlugin() {
  return jvb::ProgramDirectory() + "/../server/scripting/example/qmsexample.so";
}

class HookSession : public qmsTSession {
 public:
  using qmsTSession::qmsTSession;

  bool Start() override {
    qmsTSession::Start();
    if (!WaitInPool()) return false;
    if (!Socket()) return true;
    std::string hook, output;
    Service()->Group()->Config()->ReadValue(Service()->Section(), "hookOnConnect", hook);
    if (CallHook(output, hook) >= 1) {
      SendIt(output);
      return true;
    }
    SendIt("+OK " + Key());
    std::string line;
    while (ReadLine(line, 1 << 20) == 1) {
      if (line == "QUIT") {
        SendIt("+OK bye");
        break;
      }
      if (line.rfind("HOOK ", 0) == 0) {
        int rc = CallHook(output, line.substr(5));
        SendIt("= " + std::to_string(rc) + " " + output);
      } else if (line.rfind("USER ", 0) == 0) {
        SendIt("USER " + std::to_string(SessionUser(line.substr(5))));
      } else if (line.rfind("TXT ", 0) == 0) {
        std::string rest = line.substr(4);
        size_t blank = rest.find(' ');
        SendTxt(rest.substr(0, blank), blank == std::string::npos ? "" : rest.substr(blank + 1));
      } else if (line.rfind("VAR ", 0) == 0) {
        std::string value;
        SendIt(GetVars(line.substr(4), value) ? "+OK " + value : "-ERR unknown");
      } else {
        SendIt("-ERR " + line);
      }
    }
    return true;
  }
};

inline std::unique_ptr<qmsTSession> MakeHookSession(qmsTService* service) {
  return std::make_unique<HookSession>(service);
}

// A blocking line client with time limits.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return connected_; }
  bool Send(const std::string& line) {
    std::string data = line + "\r\n";
    return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // One line without its CR LF; "<closed>" when the server closed, "<timeout>" after ms.
  std::string Line(int ms = kWaitMs) {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) return "<timeout>";
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "<closed>";
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  std::string Ask(const std::string& line) {
    Send(line);
    return Line();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

// A site with the groups "site" (section POP3) and "other" (section SMTP), each section
// running the test protocol on a free port of 127.0.0.1, users bob and carol in "site".
class ScriptSite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    for (const char* d : {"config", "log", "tmp", "scripts", "messages/pop3", "messages/smtp"})
      jvb::ForceDirectories(d);
    Put("config/qms.cfg", "[GLOBAL]\r\n");
    Put("users/bob", "[USER]\r\nUsername=bob\r\n");
    Put("users/carol", "[USER]\r\nUsername=carol\r\n");
    jvb::ForceDirectories("stat");
    port_ = FreePort();
    other_port_ = FreePort();
    qmsRegisterSession(prPOP3, MakeHookSession);
    qmsRegisterSession(prSMTP, MakeHookSession);
    qmsRegisterScripting();
  }

  // Writes the configuration (extra keys for the POP3 section) and starts both groups.
  void Start(const std::string& extraKeys = "") {
    const std::string common =
        "Address=127.0.0.1\r\nClientAddress=*\r\nHost=test.local\r\nDisableReverse=1\r\n"
        "Timeout=120\r\n";
    Put("config/site/site.cfg",
        "[POP3]\r\nProtocol=pop3d\r\nPort=" + std::to_string(port_) + "\r\n" + common + extraKeys);
    Put("config/other/other.cfg",
        "[SMTP]\r\nProtocol=smtpd\r\nPort=" + std::to_string(other_port_) + "\r\n" + common);
    app_ = std::make_unique<qmsTApplication>(true);
    qmsApplication = app_.get();
    site_ = app_->AddGroup("site");
    site_->SetUsers(std::make_unique<qmsTUserDatabase>("users", "stat"));
    other_ = app_->AddGroup("other");
    ASSERT_TRUE(qmsServiceStart(site_, "POP3"));
    ASSERT_TRUE(qmsServiceStart(other_, "SMTP"));
    ASSERT_TRUE(runner_.Wait({site_, other_}));
    runner_.Monitor();
  }

  void TearDown() override {
    if (app_) {
      runner_.Stop();
      qmsApplication = nullptr;
      app_.reset();
    }
    qmsHookRunners() = qmsTHookRunners{};
    qmsTUserDatabase::SetScriptRunner(nullptr);
    qmsClearSessionFactories();
  }

  std::string ServiceLog() { return Get("log/site-pop3.log"); }
  std::string SystemLog() { return Get("log/qms32.log"); }

  TempDir dir_;
  uint16_t port_ = 0;
  uint16_t other_port_ = 0;
  std::unique_ptr<qmsTApplication> app_;
  qmsTGroup* site_ = nullptr;
  qmsTGroup* other_ = nullptr;
  sitetest::ServiceRunner runner_;
};

}  // namespace scripttest
