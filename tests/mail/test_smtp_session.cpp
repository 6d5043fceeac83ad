// The SMTP receiving dialogue on a real service on 127.0.0.1 with the shipped message
// file: replies, the queue files a message leaves (byte for byte), resets, lost
// connections, limits, queue-file failures and the hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/hooks.h"
#include "server/core/service.h"
#include "server/mail/mailregister.h"
#include "server/mail/smtpsession.h"
#include "tests/mail/smtptest.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

using smtptest::Client;
using smtptest::Files;
using smtptest::FilesWith;
using smtptest::ReadFile;
using smtptest::WaitFor;
using smtptest::WriteFile;
using smtptest::WriteUser;
using Strings = std::vector<std::string>;

class SmtpSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    for (const char* d : {"config/site", "log", "tmp", "users", "stat", "queue", "hooks"})
      std::filesystem::create_directories(d);
    WriteFile("messages/smtp/smtp.res", smtptest::ShippedMessages());
    WriteFile("config/qms.cfg", "[GLOBAL]\r\nDisableConsoleStart=1\r\n");
    WriteUser("Bob");
    WriteUser("alice");
    WriteUser("admin", "Aliases=postmaster\r\n");
    port_ = smtptest::FreePort();
    qmsRegisterSmtp();
    qmsHookRunners().rexx = nullptr;
    // These tests look at what receiving leaves in the queue: no delivery pass after QUIT
    // may take it away while they look.
    setenv("QMS_NO_DELIVERY", "1", 1);
  }

  void Start(const std::string& extra = "") {
    WriteFile("config/site/site.cfg", smtptest::GroupConfig(port_, extra));
    app_ = std::make_unique<qmsTApplication>(true);
    group_ = app_->AddGroup("site");
    testing::internal::CaptureStdout();
    app_->StartGroup(group_);
    ASSERT_TRUE(runner_.Wait({group_}));
    testing::internal::GetCapturedStdout();
    service_ = group_->Services()[0];
    runner_.Monitor(20);
  }

  void TearDown() override {
    runner_.Stop();
    app_.reset();
    qmsHookRunners().rexx = nullptr;
    unsetenv("QMS_NO_DELIVERY");
  }

  // A client that has been greeted and said HELO.
  std::unique_ptr<Client> Greeted() {
    auto c = std::make_unique<Client>(port_);
    EXPECT_TRUE(c->connected);
    EXPECT_EQ(c->Reply().size(), 1u);
    EXPECT_EQ(c->Code("HELO client.test"), 250);
    return c;
  }

  std::string Log() { return ReadFile("log/site-smtp.log"); }
  // Lines are written after the reply they go with, so they are waited for.
  bool Logged(const std::string& text) {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }

  // Waits until the queue holds exactly these files (by extension counts).
  bool QueueHolds(size_t hdr, size_t msg, size_t other = 0) {
    return WaitFor([&] {
      size_t all = Files("queue").size();
      return FilesWith("queue", ".hdr").size() == hdr && FilesWith("queue", ".msg").size() == msg &&
             all == hdr + msg + other;
    });
  }

  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<qmsTApplication> app_;
  qmsTGroup* group_ = nullptr;
  qmsTService* service_ = nullptr;
  sitetest::ServiceRunner runner_;
};

TEST_F(SmtpSession, GreetingRepliesAndQuit) {
  Start();
  Client c(port_);
  ASSERT_TRUE(c.connected);
  EXPECT_EQ(c.Reply(),
            (Strings{"220 mail.test ESMTPd ready (QMS/32 v0.9.5 - https://quillmar.example/)"}));
  c.Send("EHLO client.test\r\n");
  Strings ehlo = c.Reply();
  ASSERT_EQ(ehlo.size(), 2u);
  EXPECT_EQ(ehlo[0], "250-mail.test Hello [127.0.0.1], pleased to meet you");
  EXPECT_EQ(ehlo[1], "250 HELP");
  EXPECT_EQ(c.Cmd("helo"), "250 mail.test Hello [127.0.0.1], pleased to meet you");
  for (const char* ni : {"HELP", "VRFY bob", "EXPN list"}) EXPECT_EQ(c.Code(ni), 502) << ni;
  EXPECT_EQ(c.Code("XYZZY"), 500);
  EXPECT_EQ(c.Code("NOOP"), 250);
  EXPECT_EQ(c.Code("  \x01noop  "), 250);  // stripped before the command is taken
  EXPECT_EQ(c.Code("RSET"), 250);
  EXPECT_EQ(c.Cmd("QUIT"), "221 mail.test Service closing transmission channel");
  EXPECT_TRUE(c.Closed());
  EXPECT_TRUE(Logged("Logout"));
  EXPECT_TRUE(Logged("- Connection from \"127.0.0.1\" accepted"));
  EXPECT_TRUE(Logged("EHLO \"client.test\", ok"));
  EXPECT_TRUE(Logged("HELO \"\", ok"));
}

TEST_F(SmtpSession, CommandsOutOfSequence) {
  Start();
  Client c(port_);
  c.Reply();
  EXPECT_EQ(c.Code("MAIL FROM:<a@b.test>"), 503);
  EXPECT_EQ(c.Code("RCPT TO:<bob@example.test>"), 503);
  EXPECT_EQ(c.Code("DATA"), 503);
  EXPECT_EQ(c.Code("HELO"), 250);  // no argument needed
  EXPECT_EQ(c.Code("RCPT TO:<bob@example.test>"), 503);
  EXPECT_EQ(c.Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c.Code("DATA"), 503);  // no recipient yet
  EXPECT_EQ(c.Code("RCPT TO:<nobody@example.test>"), 550);
  EXPECT_EQ(c.Code("DATA"), 503);
  EXPECT_EQ(c.Code("QUIT"), 221);
  EXPECT_TRUE(QueueHolds(0, 0));
  EXPECT_TRUE(Logged("MAIL \"a@b.test\", out of sequence (HELO/EHLO missing)"));
  EXPECT_TRUE(Logged("RCPT \"bob@example.test\", out of sequence (missing MAIL)"));
  EXPECT_TRUE(Logged("DATA, out of sequence (MAIL missing)"));
  EXPECT_TRUE(Logged("DATA, out of sequence (valid RCPT missing)"));
  EXPECT_TRUE(Logged("RCPT \"nobody@example.test\", local user not found"));
}

TEST_F(SmtpSession, MessageIsQueuedByteForByte) {
  Start();
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<sender@remote.test> SIZE=100"), 250);
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@example.test>"), "250 Recipient <bob@example.test> ok");
  EXPECT_EQ(c->Code("RCPT TO:<postmaster@Other.Test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<alice>"), 250);
  EXPECT_EQ(c->Cmd("RCPT TO:<far@remote.test>"),
            "251 User not local; will forward to <far@remote.test>");
  EXPECT_EQ(c->Code("DATA"), 354);
  const char kBin[] = "8bit \xE4\xF6\xFC and NUL \0 end";
  const std::string bin(kBin, sizeof kBin - 1);
  c->Send(
      "Subject: Test %(configfile)\r\n"
      "X-Long: first\r\n"
      "\tsecond\r\n"
      "[LOCAL]: injected\r\n"
      "#Comment: x\r\n"
      ";Semi: x\r\n"
      "A=B: x\r\n"
      "Idents=evil\r\n"
      "\r\n"
      "..leading dot\r\n"
      "...\r\n"
      "\r\n"
      "middle\r\n" +
      bin +
      "\r\n"
      "\r\n"
      "\r\n"
      ".\r\n");
  std::string reply = c->Reply().at(0);
  EXPECT_TRUE(std::regex_match(
      reply, std::regex("250 Message accepted for delivery \\([0-9A-F]{12}\\.msg\\)")))
      << reply;
  ASSERT_TRUE(QueueHolds(1, 1));
  const std::string name = FilesWith("queue", ".hdr").at(0).substr(0, 12);
  EXPECT_NE(reply.find(name), std::string::npos);

  const std::string body = ReadFile("queue/" + name + ".msg");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      body, m,
      std::regex("^Received: from client\\.test \\(127\\.0\\.0\\.1 \\[127\\.0\\.0\\.1\\]\\)\r\n"
                 "\tby mail\\.test \\(Quillmar/32 v0\\.9\\.5\\) with SMTP id " +
                 name +
                 ";\r\n\t[1-9][0-9]? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                 "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\r\n")));
  const std::string header =
      "Subject: Test %(configfile)\r\nX-Long: first\r\n\tsecond\r\n[LOCAL]: injected\r\n"
      "#Comment: x\r\n;Semi: x\r\nA=B: x\r\nIdents=evil\r\n\r\n";
  EXPECT_EQ(body.substr(m.length()),
            header + ".leading dot\r\n..\r\n\r\nmiddle\r\n" + bin + "\r\n");

  jvbTTextConfig hdr("queue/" + name + ".hdr");
  EXPECT_EQ(hdr.SectionNames(),
            (Strings{"@remote.test", "HEADER", "LOCAL", "MESSAGE.BODY", "MESSAGE.HEADER"}));
  auto value = [&](const char* section, const char* key) {
    std::string v;
    hdr.ReadString(v, section, key);
    return v;
  };
  Strings idents, domains;
  hdr.ReadList(idents, "LOCAL", "Idents");
  hdr.ReadList(domains, "HEADER", "Domains");
  EXPECT_EQ(idents, (Strings{"Bob", "admin", "alice"}));
  EXPECT_EQ(domains, (Strings{"@remote.test"}));
  EXPECT_EQ(value("@remote.test", "Idents"), "far");
  EXPECT_EQ(value("HEADER", "ReversePath"), "sender@remote.test");
  EXPECT_EQ(value("HEADER", "RemoteDomain"), "client.test");
  EXPECT_EQ(value("HEADER", "RemoteHost"), "127.0.0.1");
  EXPECT_EQ(value("HEADER", "RemoteIP"), "127.0.0.1");
  EXPECT_TRUE(std::regex_match(value("HEADER", "ReceivedAt"),
                               std::regex("[0-9]{14}\\.(0|[1-9][0-9]{0,2})")));
  EXPECT_EQ(value("MESSAGE.BODY", "BodyPosition"), std::to_string(m.length() + header.size()));
  EXPECT_EQ(hdr.SectionKeys("MESSAGE.HEADER"),
            (std::vector<std::pair<std::string, std::string>>{{"SUBJECT", "Test %(configfile)"},
                                                              {"X-LONG", "first\tsecond"}}));
  EXPECT_TRUE(Logged("DATA Ok"));
  EXPECT_TRUE(Logged("RCPT \"far@remote.test\", ok"));

  // The next message needs no new greeting, and gets a name of its own.
  EXPECT_EQ(c->Code("MAIL FROM:<>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<alice@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  EXPECT_EQ(c->Code("no header line at all\r\n."), 250);
  // Counted while the session lasts: once it ends, its delivery pass changes the queue.
  ASSERT_TRUE(QueueHolds(2, 2));
  EXPECT_EQ(c->Code("QUIT"), 221);
}

TEST_F(SmtpSession, ResetAndNewTransactionsRemoveTheOpenOne) {
  Start();
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  Strings inc = FilesWith("queue", ".inc");
  ASSERT_EQ(inc.size(), 1u);
  const std::string name = inc[0].substr(0, 12);
  WriteFile("queue/" + name + ".bak", "left by a key-file writer");
  EXPECT_EQ(c->Cmd("RSET"), "250 Reset ok");
  EXPECT_TRUE(Files("queue").empty());
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 503);

  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("MAIL FROM:<c@d.test>"), 250);
  EXPECT_EQ(FilesWith("queue", ".inc").size(), 1u);
  EXPECT_EQ(Files("queue").size(), 1u);
  EXPECT_EQ(c->Code("QUIT"), 221);
  EXPECT_TRUE(QueueHolds(0, 0));
}

TEST_F(SmtpSession, LostConnectionMidDataLeavesNoFiles) {
  Start();
  {
    auto c = Greeted();
    EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
    EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
    EXPECT_EQ(c->Code("DATA"), 354);
    c->Send("Subject: cut off\r\n\r\nsome text\r\nand a line without its end");
    ASSERT_TRUE(WaitFor([&] { return FilesWith("queue", ".msg").size() == 1; }));
  }
  EXPECT_TRUE(QueueHolds(0, 0));
  EXPECT_TRUE(Logged("DATA Failed"));
}

TEST_F(SmtpSession, LimitsAreAnsweredWithTheirCodes) {
  Start("MessageSizeMax=4\r\n");
  auto c = Greeted();
  c->Send(std::string(5000, 'N') + "\r\n");
  EXPECT_EQ(c->Reply().at(0).substr(0, 4), "500 ");
  EXPECT_EQ(c->Code("NOOP"), 250);

  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  std::string big;
  for (int i = 0; i < 100; ++i) big += std::string(70, 'x') + "\r\n";
  EXPECT_EQ(c->Code(big + "."), 552);
  EXPECT_TRUE(QueueHolds(0, 0));

  // Empty lines held back count too.
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  std::string empties = "S: x\r\n\r\n";
  for (int i = 0; i < 3000; ++i) empties += "\r\n";
  EXPECT_EQ(c->Code(empties + "last\r\n."), 552);

  // A line longer than the reader takes cannot be stored whole.
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  EXPECT_EQ(c->Code(std::string(qmsTSMTPSession::kDataLineMax + 10, 'y') + "\r\n."), 552);

  // Within the limit all is well.
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  EXPECT_EQ(c->Code("S: small\r\n\r\nok\r\n."), 250);
  EXPECT_EQ(c->Code("QUIT"), 221);
  EXPECT_TRUE(QueueHolds(1, 1));
}

TEST_F(SmtpSession, RelayingUnsafeAndUnbracketedRecipientsAreRefused) {
  Start("ForwardAddress=!*\r\nForwardDomains=@partner.test\r\n");
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<x@remote.test>"), 551);
  EXPECT_EQ(c->Code("RCPT TO:<a]b@example.test>"), 553);
  EXPECT_EQ(c->Code("RCPT TO:<postmaster@[127.0.0.1]>"), 553);
  EXPECT_EQ(c->Code("RCPT TO:<>"), 501);
  EXPECT_EQ(c->Code("RCPT TO:bob@example.test"), 501);
  EXPECT_EQ(c->Code("DATA"), 503);
  EXPECT_EQ(c->Code("RCPT TO:<p@partner.test>"), 251);
  EXPECT_EQ(c->Code("MAIL FROM:<x=y@b.test>"), 553);
  EXPECT_EQ(c->Code("RCPT TO:<p@partner.test>"), 503);  // the refused MAIL opened nothing
  EXPECT_EQ(c->Code("QUIT"), 221);
  EXPECT_TRUE(Logged("RCPT \"x@remote.test\", forward not allowed"));
  EXPECT_TRUE(QueueHolds(0, 0));
}

TEST_F(SmtpSession, QueueFailuresAreNeverAnsweredWithSuccess) {
  WriteFile("blocker", "a file where the queue directory should be");
  Start("QueueDirectory=blocker/queue\r\n");
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 451);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 503);
  EXPECT_EQ(c->Code("QUIT"), 221);
}

TEST_F(SmtpSession, AFailedBodyWriteIsNeverAnsweredWithSuccess) {
  Start();
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  std::string text = "Subject: big\r\n\r\n";
  for (int i = 0; i < 8000; ++i) text += std::string(78, 'z') + "\r\n";
  int code = 0;
  {
    // No file may grow past 256 KiB while the message comes in, as on a full disk: the
    // body write fails.
    jvb::FaultPlan full;
    full.fileSizeLimit = 256 * 1024;
    jvb::ScopedFaultPlan plan(full);
    code = c->Code(text + ".");
  }
  EXPECT_EQ(code, 451);
  EXPECT_TRUE(QueueHolds(0, 0));
  EXPECT_TRUE(Logged("DATA, unable to write file"));
  EXPECT_EQ(c->Code("QUIT"), 221);
}

TEST_F(SmtpSession, AFailedQueueRenameLosesNothingAndAcknowledgesNothing) {
  Start();
  auto c = Greeted();
  const std::string message = "Subject: kept\r\n\r\nbody\r\n.";
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  int code = 0;
  {
    // The step that makes the message queued fails, as on a failing device.
    jvb::FaultPlan broken;
    broken.renameTargetSuffix = ".hdr";
    broken.renameError = EIO;
    jvb::ScopedFaultPlan plan(broken);
    code = c->Code(message);
  }
  EXPECT_EQ(code, 451);  // the client keeps the message
  EXPECT_TRUE(Logged("DATA, unable to queue message"));
  EXPECT_TRUE(QueueHolds(0, 0));  // and nothing half-queued stays behind
  // The session goes on, and the same message is queued once when sent again.
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  EXPECT_EQ(c->Code("DATA"), 354);
  EXPECT_EQ(c->Code(message), 250);
  EXPECT_EQ(c->Code("QUIT"), 221);
  EXPECT_TRUE(QueueHolds(1, 1));
}

TEST_F(SmtpSession, AQueuedMessageIsNeverReplaced) {
  Start();
  auto c = Greeted();
  EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
  EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
  Strings inc = FilesWith("queue", ".inc");
  ASSERT_EQ(inc.size(), 1u);
  const std::string name = inc[0].substr(0, 12);
  // Another message took the name meanwhile.
  WriteFile("queue/" + name + ".hdr", "[HEADER]\r\nReversePath=other@c.test\r\n");
  EXPECT_EQ(c->Code("DATA"), 354);
  EXPECT_EQ(c->Code("S: x\r\n\r\nbody\r\n."), 451);
  EXPECT_TRUE(WaitFor([&] { return Files("queue") == Strings{name + ".hdr"}; }))
      << Files("queue").size();
  EXPECT_EQ(ReadFile("queue/" + name + ".hdr"), "[HEADER]\r\nReversePath=other@c.test\r\n");
  EXPECT_TRUE(Logged("DATA, unable to queue message"));
}

TEST_F(SmtpSession, QueueNamesCarryTheServersInstanceTag) {
  Start("QueueNameTag=c\r\n");
  auto c = Greeted();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
    EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
    EXPECT_EQ(c->Code("DATA"), 354);
    EXPECT_EQ(c->Code("S: x\r\n\r\nbody\r\n."), 250);
  }
  ASSERT_TRUE(QueueHolds(2, 2));
  for (const std::string& hdr : FilesWith("queue", ".hdr")) EXPECT_EQ(hdr[8], 'C') << hdr;
}

TEST_F(SmtpSession, OnlyCrLfDotCrLfEndsTheText) {
  Start();
  auto c = Greeted();
  const std::string smuggled =
      "MAIL FROM:<spoof@bank.test>\r\nRCPT TO:<alice@example.test>\r\nDATA\r\nforged\r\n";
  const Strings ends = {"\n.\n", "\r\n.\n", "\n.\r\n", "\r.\r", "\r\n.\r"};
  for (const std::string& end : ends) {
    EXPECT_EQ(c->Code("MAIL FROM:<a@b.test>"), 250);
    EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
    EXPECT_EQ(c->Code("DATA"), 354);
    // One message each: what follows the false end is text of it.
    EXPECT_EQ(c->Code("first" + end + smuggled + "."), 250);
  }
  EXPECT_EQ(c->Code("QUIT"), 221);
  ASSERT_TRUE(QueueHolds(ends.size(), ends.size()));
  for (const std::string& hdr : FilesWith("queue", ".hdr")) {
    EXPECT_EQ(ReadFile("queue/" + hdr).find("spoof"), std::string::npos);
    const std::string body = ReadFile("queue/" + hdr.substr(0, 12) + ".msg");
    EXPECT_NE(body.find(smuggled), std::string::npos) << body;
  }
}

TEST_F(SmtpSession, ClientAddressAndConnectHook) {
  WriteFile("hooks/connect.rexx", "/* stands for a script */");
  std::atomic<int> calls{0};
  qmsHookRunners().rexx = [&](qmsTSession&, const std::string& script, const std::string&,
                              std::string& output) {
    ++calls;
    output = script == "hooks/connect.rexx" ? "554 %(localhost) not today" : "0";
    return 0;
  };
  Start("hookOnConnect=hooks/connect.rexx\r\n");
  {
    Client c(port_);
    EXPECT_EQ(c.Reply(), (Strings{"554 mail.test not today"}));
    EXPECT_EQ(c.Reply(), (Strings{"221 mail.test Service closing transmission channel"}));
    EXPECT_TRUE(c.Closed());
  }
  EXPECT_TRUE(Logged("- Connection from \"127.0.0.1\" rejected by script"));
  TearDown();
  service_ = nullptr;

  port_ = smtptest::FreePort();
  Start("ClientAddress=!127.*,*\r\n");
  Client c(port_);
  EXPECT_EQ(c.Reply(),
            (Strings{"421 mail.test Service not available, closing transmission channel"}));
  EXPECT_EQ(c.Reply().at(0).substr(0, 4), "221 ");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(calls, 1);
}

TEST_F(SmtpSession, CommandHookSeesClientTextUnexpanded) {
  WriteFile("hooks/cmd.rexx", "/* stands for a script */");
  std::mutex lock;
  Strings seen;
  qmsHookRunners().rexx = [&](qmsTSession&, const std::string&, const std::string& argument,
                              std::string& output) {
    std::lock_guard<std::mutex> g(lock);
    seen.push_back(argument.substr(argument.find(' ') + 1));
    // Replaces one made-up command; everything else goes on unchanged.
    output = argument.find("XYZZY") != std::string::npos ? "NOOP" : "0";
    return 0;
  };
  Start("hookOnCommand=hooks/cmd.rexx\r\n");
  auto c = Greeted();
  EXPECT_EQ(c->Code("XYZZY"), 250);
  EXPECT_EQ(c->Code("VRFY %(configfile) %(fill(x,-99999999)) %((((((((((x"), 502);
  EXPECT_EQ(c->Code("QUIT"), 221);
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(seen, (Strings{"HELO client.test", "XYZZY",
                           "VRFY %(configfile) %(fill(x,-99999999)) %((((((((((x", "QUIT"}));
}

TEST_F(SmtpSession, DataHookSeesTheCompleteMessageAndMayRefuseIt) {
  WriteFile("hooks/data.rexx", "/* stands for a script */");
  std::string subject, bodySeen;
  qmsHookRunners().rexx = [&](qmsTSession& session, const std::string&, const std::string&,
                              std::string& output) {
    std::string path;
    session.GetVars("smtp.!SUBJECT", subject);
    session.GetVars("messagepath", path);
    bodySeen = ReadFile(path);
    output = subject == "refuse me" ? "550 refused by policy&" : "0";
    return 0;
  };
  Start("hookOnData=hooks/data.rexx\r\n");
  auto c = Greeted();
  for (const char* s : {"keep me", "refuse me"}) {
    EXPECT_EQ(c->Code("MAIL FROM:<>"), 250);  // no delivery report beside the message
    EXPECT_EQ(c->Code("RCPT TO:<bob@example.test>"), 250);
    EXPECT_EQ(c->Code("DATA"), 354);
    c->Send(std::string("Subject: ") + s + "\r\n\r\ntext\r\n.\r\n");
    std::string reply = c->Reply().at(0);
    EXPECT_EQ(subject, s);
    EXPECT_NE(bodySeen.find("Subject: " + std::string(s) + "\r\n\r\ntext\r\n"), std::string::npos);
    if (subject == "keep me")
      EXPECT_EQ(reply.substr(0, 4), "250 ");
    else
      EXPECT_EQ(reply, "550 refused by policy");
  }
  EXPECT_EQ(c->Code("QUIT"), 221);
  EXPECT_TRUE(QueueHolds(1, 1));
  EXPECT_TRUE(Logged("DATA Rejected by Hook"));
}

TEST_F(SmtpSession, ParallelClientsGetMessagesOfTheirOwn) {
  Start("ClientPool=4\r\n");
  constexpr int kClients = 4, kEach = 5;
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      Client c(port_);
      if (!c.connected) return;
      c.Reply();
      c.Cmd("EHLO c" + std::to_string(t));
      for (int i = 0; i < kEach; ++i) {
        // A null sender: the delivery pass after QUIT queues no report beside the messages.
        c.Cmd("MAIL FROM:<>");
        c.Cmd("RCPT TO:<alice@example.test>");
        c.Cmd("DATA");
        if (c.Code("Subject: " + std::to_string(t) + "/" + std::to_string(i) + "\r\n\r\nx\r\n.") ==
            250)
          ++accepted;
      }
      c.Cmd("QUIT");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(accepted, kClients * kEach);
  ASSERT_TRUE(QueueHolds(kClients * kEach, kClients * kEach));
  std::set<std::string> subjects;
  for (const std::string& f : FilesWith("queue", ".hdr")) {
    jvbTTextConfig hdr("queue/" + f);
    std::string s;
    hdr.ReadString(s, "MESSAGE.HEADER", "SUBJECT");
    subjects.insert(s);
  }
  EXPECT_EQ(subjects.size(), static_cast<size_t>(kClients * kEach));
}

}  // namespace
