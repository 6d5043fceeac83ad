// The delivery pass over a real queue directory, run synchronously on a session of a
// running SMTP service: local copies (byte for byte, statistics), a scripted remote server
// reached through ForwardToServer, lookup failures, retry times,
// reports, expiry, locks, two passes at once and a pass woken by Monitor.
//
// DNS: the whole test program asks a closed port on 127.0.0.1, so every lookup fails at
// once and nothing ever leaves this host.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/delivery.h"
#include "server/mail/deliveryheader.h"
#include "server/mail/mailregister.h"
#include "server/mail/smtpsession.h"
#include "server/users/userstat.h"
#include "tests/mail/smtptest.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/dnsquery.h"
#include "toolbox/platform.h"

namespace {

using smtptest::Files;
using smtptest::FilesWith;
using smtptest::ReadFile;
using smtptest::WaitFor;
using smtptest::WriteFile;
using smtptest::WriteUser;
using Strings = std::vector<std::string>;

// A UDP port on 127.0.0.1 that nobody listens on: queries are refused at once.
const bool kDnsSet = [] {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(smtptest::kLoopback);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  setenv(kDnsServerVariable, ("127.0.0.1:" + std::to_string(ntohs(sa.sin_port))).c_str(), 1);
  return true;
}();

// A scripted remote SMTP server on 127.0.0.1.
class RemoteServer {
 public:
  RemoteServer() {
    port = smtptest::FreePort();
    EXPECT_EQ(listener_.Bind(smtptest::kLoopback, port), 0);
    EXPECT_EQ(listener_.Listen(8), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~RemoteServer() {
    stop_ = true;
    thread_.join();
  }

  uint16_t port = 0;
  std::set<std::string> refuse;          // RCPT addresses answered 550
  std::atomic<bool> holdAfterData{false};  // never answer the final "."
  std::atomic<int> dataDelayMs{0};
  std::mutex lock;
  Strings commands;   // every command line, all connections
  Strings messages;   // DATA texts accepted (still dot-stuffed, without the final ".")

 private:
  void Run() {
    while (!stop_) {
      if (listener_.WaitReadable(50) != 1) continue;
      jvbTSocket c;
      if (listener_.Accept(c) != 0) continue;
      Serve(c);
    }
  }
  void Serve(jvbTSocket& c) {
    c.Send("220 remote.test ESMTP\r\n");
    std::string line;
    while (!stop_ && c.ReadLine(line, 4096, 10000, &stop_) == 1) {
      {
        std::lock_guard<std::mutex> g(lock);
        commands.push_back(line);
      }
      std::string verb = line.substr(0, 4);
      if (verb == "HELO") {
        c.Send("250-remote.test greets you\r\n250-second line\r\n250 HELP\r\n");
      } else if (verb == "MAIL") {
        c.Send("250 sender ok\r\n");
      } else if (verb == "RCPT") {
        std::string address = line.substr(line.find('<') + 1);
        address.pop_back();
        c.Send(refuse.count(address) ? "550 5.1.1 no such user here\r\n" : "250 ok\r\n");
      } else if (verb == "DATA") {
        c.Send("354 go ahead\r\n");
        std::string text;
        while (c.ReadLine(line, 1 << 20, 10000, &stop_) == 1 && line != ".") text += line + "\r\n";
        if (holdAfterData) {
          c.ReadLine(line, 10, 20000, &stop_);  // until the client goes away
          return;
        }
        smtptest::Sleep(dataDelayMs);
        {
          std::lock_guard<std::mutex> g(lock);
          messages.push_back(text);
        }
        c.Send("250 queued as 1\r\n");
      } else if (verb == "QUIT") {
        c.Send("221 bye\r\n");
        return;
      } else {
        c.Send("502 what\r\n");
      }
    }
  }

  jvbTSocket listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

constexpr const char* kBody =
    "Received: from client.test (127.0.0.1 [127.0.0.1])\r\n\tby mail.test (Quillmar/32 v0.9.5) "
    "with SMTP id 5311CBC00001;\r\n\t29 Feb 2024 12:00:00\r\n"
    "Subject: hello\r\n\r\n.dot first\r\nplain\r\n..two\r\n";

class DeliveryPass : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kDnsSet);
    dir_.Enter();
    for (const char* d : {"config/site", "log", "tmp", "users", "stat", "queue", "home"})
      std::filesystem::create_directories(d);
    WriteFile("messages/smtp/smtp.res", smtptest::ShippedMessages());
    WriteFile("config/qms.cfg", "[GLOBAL]\r\nDisableConsoleStart=1\r\n");
    WriteUser("Bob");
    WriteUser("admin", "Aliases=postmaster\r\n");
    qmsRegisterSmtp();
  }

  void Start(const std::string& extra = "") {
    WriteFile("config/site/site.cfg",
              smtptest::GroupConfig(smtptest::FreePort(),
                                    extra + "DeliveryPort=" + std::to_string(remote_.port) + "\r\n") +
                  "[VFS]\r\n/home=home\r\n");
    app_ = std::make_unique<qmsTApplication>(true);
    group_ = app_->AddGroup("site");
    testing::internal::CaptureStdout();
    app_->StartGroup(group_);
    ASSERT_TRUE(runner_.Wait({group_}));
    testing::internal::GetCapturedStdout();
    service_ = group_->Services()[0];
  }

  void TearDown() override {
    runner_.Stop();
    app_.reset();
  }

  std::unique_ptr<qmsTSMTPSession> Session() {
    auto s = std::make_unique<qmsTSMTPSession>(service_);
    s->ReadSettings();
    return s;
  }
  void Pass() { qmsDeliveryPass(*Session()); }

  // A complete message in the queue; header lines after the HEADER keys given.
  void Queue(const std::string& name, const std::string& reversePath, const std::string& more,
             const std::string& received = "") {
    WriteFile("queue/" + name + ".msg", kBody);
    WriteFile("queue/" + name + ".hdr",
              "[HEADER]\r\nReceivedAt=" +
                  (received.empty() ? qmsTDeliveryHeader::FormatStamp(qmsTDeliveryHeader::NowMs())
                                    : received) +
                  "\r\nRemoteDomain=client.test\r\nReversePath=" + reversePath + "\r\n" + more);
  }
  std::string Value(const std::string& name, const std::string& section, const std::string& key) {
    qmsTDeliveryHeader h;
    return h.Open("queue/" + name + ".hdr") ? h.ReadString(section, key) : "(no header)";
  }
  int64_t Stamp(const std::string& name, const std::string& section, const std::string& key) {
    int64_t t = 0;
    qmsTDeliveryHeader::ParseStamp(Value(name, section, key), t);
    return t;
  }
  // The messages of the queue other than the named ones.
  Strings Others(const Strings& known) {
    Strings out;
    for (const std::string& f : FilesWith("queue", ".hdr"))
      if (std::find(known.begin(), known.end(), f.substr(0, f.size() - 4)) == known.end())
        out.push_back(f.substr(0, f.size() - 4));
    return out;
  }
  std::string Log() { return ReadFile("log/site-smtp.log"); }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

  TempDir dir_;
  RemoteServer remote_;
  std::unique_ptr<qmsTApplication> app_;
  qmsTGroup* group_ = nullptr;
  qmsTService* service_ = nullptr;
  sitetest::ServiceRunner runner_;
};

TEST_F(DeliveryPass, LocalCopiesAndForwardedRecipientsInOnePass) {
  Start("ForwardToServer=127.0.0.1\r\n");
  Queue("5311CBC00001", "s@far.test",
        "Domains=@far.test\r\n[LOCAL]\r\nIdents=Bob nobody\r\n[@far.test]\r\nIdents=x y\r\n"
        "[MESSAGE.HEADER]\r\nSUBJECT=hello %(configfile)\r\n");
  const int64_t before = qmsTDeliveryHeader::NowMs();
  Pass();

  EXPECT_EQ(ReadFile("home/Bob/.mailbox/Inbox/5311CBC00001.msg"),
            std::string("Return-Path: <s@far.test>\r\n") + kBody);
  Tqms_user stat;
  const std::string raw = ReadFile("stat/usr.Bob");
  stat.Load(raw.data(), raw.size());
  EXPECT_EQ(stat.Get(Tqms_user::smtpRecv), 1u);

  {
    std::lock_guard<std::mutex> g(remote_.lock);
    EXPECT_EQ(remote_.commands, (Strings{"HELO example.test", "MAIL FROM:<s@far.test>",
                                         "RCPT TO:<x@far.test>", "RCPT TO:<y@far.test>", "DATA",
                                         "QUIT"}));
    ASSERT_EQ(remote_.messages.size(), 1u);
    EXPECT_EQ(remote_.messages[0].substr(remote_.messages[0].find("Subject")),
              "Subject: hello\r\n\r\n..dot first\r\nplain\r\n...two\r\n");
  }
  // "nobody" stays; everything else is recorded as served.
  EXPECT_EQ(Value("5311CBC00001", "LOCAL", "Idents"), "nobody");
  EXPECT_EQ(Value("5311CBC00001", "HEADER", "Success"), "Bob x@far.test y@far.test");
  EXPECT_EQ(Value("5311CBC00001", "HEADER", "Domains"), "");
  const int64_t next = Stamp("5311CBC00001", "HEADER", "NextTryAfter");
  EXPECT_GE(next, before + qmsTDelivery::kNextTryMs - 1000);
  EXPECT_LE(next, qmsTDeliveryHeader::NowMs() + qmsTDelivery::kNextTryMs);
  EXPECT_FALSE(Value("5311CBC00001", "ERROR", "IntermediateReport").empty());

  // The intermediate report: from nobody, to the remote sender and the postmaster.
  Strings reports = Others({"5311CBC00001"});
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(Value(reports[0], "HEADER", "ReversePath"), "");
  EXPECT_EQ(Value(reports[0], "LOCAL", "Idents"), "postmaster");
  EXPECT_EQ(Value(reports[0], "HEADER", "Domains"), "@far.test");
  EXPECT_EQ(Value(reports[0], "@far.test", "Idents"), "s");
  const std::string report = ReadFile("queue/" + reports[0] + ".msg");
  EXPECT_EQ(report.rfind("From: \"QMS PostMaster\" <postmaster@example.test>\r\nTo: <s@far.test>\r\n"
                         "Date: ",
                         0),
            0u)
      << report;
  // Client text is shown, never expanded.
  EXPECT_NE(report.find("Subject: Delivery delayed: hello %(configfile)\r\n"), std::string::npos);
  EXPECT_NE(report.find("\r\n\r\nThis is the mail system at example.test."), std::string::npos);
  for (const char* line : {"Delivered message to local user \"Bob\"",
                           "Unable to deliver message to local user \"nobody\"",
                           "Connecting to server \"127.0.0.1\" for forward to \"far.test\"",
                           "- Connected to \"127.0.0.1\"", "Message delivered to \"127.0.0.1\"",
                           "Queued intermediate delivery report"})
    EXPECT_TRUE(Logged(line)) << line;

  // The report itself goes out on the next pass: the postmaster gets it locally.
  Pass();
  EXPECT_EQ(FilesWith("home/admin/.mailbox/Inbox", ".msg"), (Strings{reports[0] + ".msg"}));
  EXPECT_EQ(ReadFile("home/admin/.mailbox/Inbox/" + reports[0] + ".msg"), "Return-Path: <>\r\n" + report);
}

TEST_F(DeliveryPass, LookupFailuresSetRetryTimesAndFallBackToTheDomainAddress) {
  Start("LookupRetryDelay=7\r\n");
  Queue("5311CBC00003", "", "Domains=@nowhere.test\r\n[@nowhere.test]\r\nIdents=a\r\n");
  Queue("5311CBC00004", "",
        "Domains=@nowhere.test\r\n[@nowhere.test]\r\nIdents=a\r\nLookupErrors=3\r\n");
  const int64_t before = qmsTDeliveryHeader::NowMs();
  Pass();
  EXPECT_EQ(Value("5311CBC00003", "@nowhere.test", "LookupErrors"), "1");
  const std::string first = Value("5311CBC00003", "@nowhere.test", "LookupError[1]");
  EXPECT_EQ(first.substr(first.find(' ') + 1), "Unable to lookup MX record(s) for \"nowhere.test\"");
  const int64_t retry = Stamp("5311CBC00003", "@nowhere.test", "RetryAfter");
  EXPECT_GE(retry, before + 7 * qmsTDeliveryHeader::kMinuteMs - 1000);
  EXPECT_LE(retry, qmsTDeliveryHeader::NowMs() + 7 * qmsTDeliveryHeader::kMinuteMs);
  EXPECT_EQ(Stamp("5311CBC00003", "HEADER", "NextTryAfter"), retry);
  // More than LookupRetries div 2 earlier failures: the domain's own address is asked for.
  EXPECT_EQ(Value("5311CBC00004", "@nowhere.test", "LookupErrors"), "4");
  const std::string fourth = Value("5311CBC00004", "@nowhere.test", "LookupError[4]");
  EXPECT_EQ(fourth.substr(fourth.find(' ') + 1), "Unable to lookup MX/A record(s) for \"nowhere.test\"");
  EXPECT_TRUE(Logged("Unable to lookup/connect to any server for delivery to \"nowhere.test\""));
  // No reverse path: no report.
  EXPECT_EQ(Others({"5311CBC00003", "5311CBC00004"}), Strings{});
}

TEST_F(DeliveryPass, ExpiredMessagesAreReportedOnceAndRemoved) {
  Start("ForwardToServer=127.0.0.1\r\nMessageAgeMax=60\r\n");
  remote_.refuse = {"a@far.test"};
  const std::string old = qmsTDeliveryHeader::FormatStamp(qmsTDeliveryHeader::NowMs() -
                                                          61 * qmsTDeliveryHeader::kMinuteMs);
  const std::string rest = "Domains=@far.test\r\n[@far.test]\r\nIdents=a\r\n";
  Queue("5311CBC00005", "Bob@example.test", rest + "[ERROR]\r\nIntermediateReport=" + old + "\r\n", old);
  Queue("5311CBC00006", "", rest, old);
  Pass();
  EXPECT_FALSE(jvb::PathExists("queue/5311CBC00005.hdr"));
  EXPECT_FALSE(jvb::PathExists("queue/5311CBC00006.hdr"));
  EXPECT_TRUE(Logged("Queued final delivery report"));
  EXPECT_TRUE(Logged("Unable to send delivery report, clearing message"));
  Strings reports = Others({});
  ASSERT_EQ(reports.size(), 1u);
  const std::string report = ReadFile("queue/" + reports[0] + ".msg");
  EXPECT_NE(report.find("Subject: Undeliverable: \r\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\ta@far.test\tRCPT returned"), std::string::npos);
  for (const char* name : {"5311CBC00005", "5311CBC00006"})
    for (const char* ext : {".msg", ".lck"})
      EXPECT_FALSE(jvb::PathExists(std::string("queue/") + name + ext)) << name << ext;
}

TEST_F(DeliveryPass, HeldMessagesAreSkippedAndTwoPassesDeliverOnce) {
  Start("ForwardToServer=127.0.0.1\r\n");
  Queue("5311CBC00007", "", "Domains=@far.test\r\n[@far.test]\r\nIdents=a\r\n");
  {
    jvb::LockFile lock;
    ASSERT_TRUE(lock.Acquire("queue/5311CBC00007.lck", 0));
    Pass();
    EXPECT_FALSE(Logged("Processing message file"));
  }
  // The lock went with its holder; two passes now race for the message.
  remote_.dataDelayMs = 300;
  std::thread other([&] { Pass(); });
  Pass();
  other.join();
  EXPECT_EQ(remote_.messages.size(), 1u);
  EXPECT_EQ(Files("queue"), Strings{});
}

TEST_F(DeliveryPass, AServedMessageLeftByADeadPassIsRemovedBeforeItsNextTry) {
  Start();
  const std::string later =
      "NextTryAfter=" + qmsTDeliveryHeader::FormatStamp(qmsTDeliveryHeader::NowMs() + 3600 * 1000) +
      "\r\n";
  // Served in full (written by a pass that died before removing it) / still pending.
  Queue("5311CBC00020", "a@b.test",
        later +
            "Success=bob\r\nDomains=@far.test\r\n[LOCAL]\r\nIdents=\r\n[@far.test]\r\nIdents=\r\n");
  Queue("5311CBC00021", "a@b.test", later + "[LOCAL]\r\nIdents=Bob\r\n");
  Pass();
  EXPECT_EQ(Files("queue"), (Strings{"5311CBC00021.hdr", "5311CBC00021.msg"}));
  EXPECT_TRUE(Logged("Removing message file \"5311CBC00020\", every recipient served"));
  EXPECT_EQ(Value("5311CBC00021", "LOCAL", "Idents"), "Bob");
  EXPECT_FALSE(Logged("Processing message file"));
}

TEST_F(DeliveryPass, MonitorWakesAPassBlockedOnTheRemoteServer) {
  Start("ForwardToServer=127.0.0.1\r\n");
  remote_.holdAfterData = true;
  Queue("5311CBC00008", "", "Domains=@far.test\r\n[@far.test]\r\nIdents=a\r\n");
  auto session = Session();
  std::thread pass([&] { qmsDeliveryPass(*session); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(remote_.lock);
    return !remote_.commands.empty() && remote_.commands.back() == "DATA";
  }));
  smtptest::Sleep(100);
  // As Monitor does on an idle time-out.
  session->terminate = true;
  session->MonitorHook();
  pass.join();
  EXPECT_EQ(Value("5311CBC00008", "@far.test", "Idents"), "a");
  EXPECT_EQ(Value("5311CBC00008", "ERROR", "@far.test"), "DATA2 returned \"(connection closed)\"");
  EXPECT_FALSE(jvb::PathExists("queue/5311CBC00008.lck"));
}

TEST_F(DeliveryPass, CrashLeftoversAreRemovedOnceAnHourOld) {
  Start();
  // An unfinished transaction, a lone body and the private file of a server killed while
  // it wrote it, all two hours old; a fresh header; an old header a session still holds; a
  // queued message another pass holds.
  for (const char* name : {"5311CBC00010.inc", "5311CBC00010.msg", "5311CBC00011.msg",
                           "5311CBC00012.inc", "5311CBC00013.inc", ".5311CBC00015.77.new"})
    WriteFile(std::string("queue/") + name, "x");
  Queue("5311CBC00014", "", "[LOCAL]\r\nIdents=Bob\r\n");
  const time_t old = time(nullptr) - 2 * 3600;
  const utimbuf times{old, old};
  for (const char* name :
       {"5311CBC00010.inc", "5311CBC00010.msg", "5311CBC00011.msg", "5311CBC00013.inc",
        "5311CBC00014.hdr", "5311CBC00014.msg", ".5311CBC00015.77.new"})
    ASSERT_EQ(utime((std::string("queue/") + name).c_str(), &times), 0) << name;
  const int held = jvb::OpenShared("queue/5311CBC00013.inc", jvb::fmWriteExclusive, 0, nullptr);
  ASSERT_GE(held, 0);
  jvb::LockFile lock;
  ASSERT_TRUE(lock.Acquire("queue/5311CBC00014.lck", 0));
  Pass();
  close(held);
  EXPECT_EQ(Files("queue"), (Strings{"5311CBC00012.inc", "5311CBC00013.inc", "5311CBC00014.hdr",
                                     "5311CBC00014.lck", "5311CBC00014.msg"}));
  for (const char* name :
       {"5311CBC00010.inc", "5311CBC00010.msg", "5311CBC00011.msg", ".5311CBC00015.77.new"})
    EXPECT_TRUE(Logged(std::string("Removed incomplete queue file \"") + name + "\"")) << name;
  EXPECT_FALSE(Logged("5311CBC00012")) << Log();
}

TEST_F(DeliveryPass, PassesOfOneQueueAreBoundedAndNeverShareAMessage) {
  Start();
  auto session = Session();
  qmsTQueuePasses& passes = qmsTQueuePasses::For(session->QueueDirectory);
  Queue("5311CBC00030", "a@b.test", "[LOCAL]\r\nIdents=Bob\r\n");
  Queue("5311CBC00031", "a@b.test", "[LOCAL]\r\nIdents=Bob\r\n");
  // Every place taken: the pass asked for delivers only what its session queued itself ...
  for (int i = 0; i < qmsTQueuePasses::kRunningMax; ++i) ASSERT_TRUE(passes.Enter());
  session->Queued = {"5311CBC00031"};
  qmsDeliveryPass(*session);
  EXPECT_EQ(Files("queue"), (Strings{"5311CBC00030.hdr", "5311CBC00030.msg"}));
  EXPECT_TRUE(session->Queued.empty());
  // ... and the first of them to finish its listing lists the queue again, once.
  EXPECT_TRUE(passes.Again(false));
  for (int i = 0; i < qmsTQueuePasses::kRunningMax; ++i) EXPECT_FALSE(passes.Again(false));
  EXPECT_EQ(passes.Running(), 0);
  // A message another pass of this process works on is skipped without a lock file.
  ASSERT_TRUE(passes.Claim("5311CBC00030"));
  EXPECT_FALSE(passes.Claim("5311CBC00030"));
  Pass();
  EXPECT_EQ(Files("queue"), (Strings{"5311CBC00030.hdr", "5311CBC00030.msg"}));
  passes.Unclaim("5311CBC00030");
  // The last copy is not recorded before the message goes: a pass that ended between the
  // two left the copy in place, and the next one adds none beside it.
  const std::string copy = std::string("Return-Path: <a@b.test>\r\n") + kBody;
  std::filesystem::create_directories("home/Bob/.mailbox/Inbox");
  WriteFile("home/Bob/.mailbox/Inbox/5311CBC00030.msg", copy);
  Pass();
  EXPECT_EQ(Files("queue"), Strings{});
  EXPECT_EQ(Files("home/Bob/.mailbox/Inbox"), (Strings{"5311CBC00030.msg", "5311CBC00031.msg"}));
  EXPECT_EQ(ReadFile("home/Bob/.mailbox/Inbox/5311CBC00030.msg"), copy);
  EXPECT_EQ(passes.Running(), 0);
}

}  // namespace
