// Helpers of the POP3, IMAP4 and mailbox tests: a temporary site with one group ("mail")
// whose POP3 and IMAP4 services run in this process on 127.0.0.1 with the shipped message
// files, a few accounts, messages placed the way local delivery writes them, and a line
// client.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/mailregister.h"
#include "server/users/userdatabase.h"
#include "tests/support/sitetest.h"
#include "toolbox/socket.h"

namespace mailtest {

using sitetest::Exists;
using sitetest::FreePort;
using sitetest::kLoopback;
using sitetest::kWaitMs;
using sitetest::Names;
using sitetest::ReadFile;
using sitetest::Sleep;
using sitetest::SourceDir;
using sitetest::WaitFor;
using sitetest::WriteFile;

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
    ASSERT_TRUE(runner_.Wait({group_}, 2));
    runner_.Monitor();
  }

  void TearDown() override {
    runner_.Stop();
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
  sitetest::ServiceRunner runner_;
};

}  // namespace mailtest
