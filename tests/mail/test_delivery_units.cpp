// Pieces of the delivery pass without a service: the held header and its atomic saves,
// time stamps and retry arithmetic, reading replies from a remote server (continuation
// lines, hostile lines, the stop flag), dot-stuffing, and the failure lists and recipients
// of delivery reports.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/mail/delivery.h"
#include "server/mail/deliveryheader.h"
#include "server/mail/deliveryreport.h"
#include "server/mail/smtpclient.h"
#include "tests/mail/smtptest.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/textfile.h"

namespace {

using smtptest::ReadFile;
using smtptest::WriteFile;
using Strings = std::vector<std::string>;
constexpr int64_t kMin = qmsTDeliveryHeader::kMinuteMs;

TEST(DeliveryHeader, HeldWhileOpenAndReplacedWholeOnSave) {
  TempDir dir;
  const std::string path = dir / "ABC.hdr";
  WriteFile(path,
            "[HEADER]\r\nReversePath=a@b.test\r\nDomains=@x.test @y.test\r\n"
            "[LOCAL]\r\nIdents=bob  \"odd name\"\r\n[@x.test]\r\nIdents=p q\r\nLookupErrors=2\r\n");
  qmsTDeliveryHeader h;
  ASSERT_TRUE(h.Open(path));
  EXPECT_EQ(h.ReadList("LOCAL", "Idents"), (Strings{"bob", "odd name"}));
  EXPECT_EQ(h.ReadList("@X.TEST", "Idents"), (Strings{"p", "q"}));  // sections ignore case
  EXPECT_EQ(h.ReadInteger("@x.test", "LookupErrors"), 2);
  EXPECT_EQ(h.ReadInteger("@x.test", "ConnectErrors", -1), -1);

  // Another owner cannot take it, before or after a save.
  auto probe = [&] {
    jvbTTextFile other;
    other.Init(path, jvb::fmReadWriteExclusive, 1, 0, 100);
    return other.Open();
  };
  EXPECT_FALSE(probe());
  h.WriteList("LOCAL", "Idents", {"odd name"});
  h.Write("ERROR", "p@x.test", "RCPT returned \"550 no\r\nInjected=1\"");
  ASSERT_TRUE(h.Save());
  EXPECT_FALSE(probe());
  EXPECT_FALSE(jvb::PathExists(h.TempPath()));
  EXPECT_FALSE(jvb::PathExists(dir / "ABC.bak"));
  h.Close();
  EXPECT_TRUE(probe());

  qmsTDeliveryHeader again;
  ASSERT_TRUE(again.Open(path));
  EXPECT_EQ(again.ReadList("LOCAL", "Idents"), (Strings{"odd name"}));
  EXPECT_EQ(again.ReadString("ERROR", "p@x.test"), "RCPT returned \"550 no  Injected=1\"");
  EXPECT_EQ(again.ReadString("HEADER", "ReversePath"), "a@b.test");
  EXPECT_FALSE(again.HasKey("ERROR", "Injected"));
}

TEST(DeliveryHeader, MissingFileIsNeverCreated) {
  TempDir dir;
  qmsTDeliveryHeader h;
  EXPECT_FALSE(h.Open(dir / "GONE.hdr"));
  EXPECT_FALSE(jvb::PathExists(dir / "GONE.hdr"));
}

TEST(DeliveryTime, StampsAndRetryArithmetic) {
  int64_t t = 0;
  ASSERT_TRUE(qmsTDeliveryHeader::ParseStamp("20240229235959.7", t));
  EXPECT_EQ(qmsTDeliveryHeader::FormatStamp(t), "20240229235959.7");
  EXPECT_EQ(qmsTDeliveryHeader::FormatStamp(t + 993), "20240301000000.0");  // ".7" is 7 ms
  for (const char* bad : {"", "2024022923595", "20240230120000.0", "20241301000000.0",
                          "20240101000000.12345", "2024010100000x.1"})
    EXPECT_FALSE(qmsTDeliveryHeader::ParseStamp(bad, t)) << bad;

  const int64_t now = 1'700'000'000'000;
  EXPECT_EQ(qmsTDelivery::FailedDomainRetry(now, true, true, 30, 5), now + 30 * kMin);
  EXPECT_EQ(qmsTDelivery::FailedDomainRetry(now, false, true, 30, 5), now + 5 * kMin);
  EXPECT_EQ(qmsTDelivery::FailedDomainRetry(now, false, false, 30, 5), now);  // bad greeting
  EXPECT_EQ(qmsTDelivery::EarlierOf(now + qmsTDelivery::kNextTryMs, now + 5 * kMin), now + 5 * kMin);
  EXPECT_EQ(qmsTDelivery::AgeMinutes(now - 7201 * kMin + 1, now), 7200);
  EXPECT_EQ(qmsTDelivery::AgeMinutes(now + kMin, now), 0);

  // The name's first eight digits are local seconds since 1980.
  ASSERT_TRUE(qmsTDeliveryHeader::ParseStamp("20240229120000.0", t));
  int64_t fromName = 0;
  ASSERT_TRUE(qmsTDelivery::NameTime("5311CBC01234", fromName));
  EXPECT_EQ(fromName, t) << qmsTDeliveryHeader::FormatStamp(fromName);
  EXPECT_FALSE(qmsTDelivery::NameTime("ZZZZZZZZ0000", fromName));
}

// --- Replies of a remote server ----------------------------------------------------------

// A one-connection server on 127.0.0.1 that runs a script on the accepted socket.
class Peer {
 public:
  explicit Peer(std::function<void(jvbTSocket&)> script) {
    port = smtptest::FreePort();
    EXPECT_EQ(listener_.Bind(smtptest::kLoopback, port), 0);
    EXPECT_EQ(listener_.Listen(1), 0);
    thread_ = std::thread([this, script] {
      jvbTSocket c;
      if (listener_.WaitReadable(10000) == 1 && listener_.Accept(c) == 0) script(c);
    });
  }
  ~Peer() { thread_.join(); }
  uint16_t port = 0;

 private:
  jvbTSocket listener_;
  std::thread thread_;
};

qmsTSMTPClient::Callbacks NoCallbacks() { return {}; }

TEST(DeliveryClient, MultiLineRepliesAndHostileServers) {
  std::atomic<bool> stop{false};
  std::string got;
  {
    Peer peer([&](jvbTSocket& c) {
      c.Send("220-first\r\n220-second\r\n220 last\r\n");
      std::string line;
      c.ReadLine(line, 100, 5000);
      got = line;
      c.Send(std::string(5000, 'x') + "\r\n");
      c.ReadLine(line, 100, 5000);
      for (int i = 0; i <= qmsTSMTPClient::kReplyLinesMax; ++i) c.Send("250-again\r\n");
      c.ReadLine(line, 100, 5000);
      c.ReadLine(line, 100, 10000);  // silent until the client gives up
    });
    qmsTSMTPClient client(NoCallbacks(), &stop, 60000);
    ASSERT_EQ(client.Connect(smtptest::kLoopback, peer.port), 0);
    std::string reply;
    EXPECT_EQ(client.RecvRes(reply), 220);
    EXPECT_EQ(reply, "220 last");
    EXPECT_EQ(client.SendCom(reply, "HELO me"), 0);  // one line too long
    EXPECT_NE(reply.find("longer than"), std::string::npos);
    EXPECT_EQ(client.SendCom(reply, "NOOP"), 0);  // a reply that never ends
    EXPECT_NE(reply.find("lines"), std::string::npos);
    // A server that stops answering: the session's stop flag ends the wait.
    std::thread stopper([&] {
      smtptest::Sleep(100);
      stop = true;
    });
    EXPECT_EQ(client.SendCom(reply, "NOOP"), 0);
    stopper.join();
    client.Close();
  }
  EXPECT_EQ(got, "HELO me");
}

TEST(DeliveryClient, ShutdownWakesABlockedReadAndBodiesAreStuffed) {
  TempDir dir;
  WriteFile(dir / "B.msg", ".lead\r\nmid.dle\r\n.\r\nno line end");
  std::string received;
  {
    Peer peer([&](jvbTSocket& c) {
      std::string line;
      while (c.ReadLine(line, 1000, 5000) == 1 && line != "END") received += line + "\n";
      // Then nothing: the client waits until it is shut down.
      c.ReadLine(line, 1000, 10000);
    });
    qmsTSMTPClient client(NoCallbacks(), nullptr, 60000);
    ASSERT_EQ(client.Connect(smtptest::kLoopback, peer.port), 0);
    jvbTTextFile body;
    body.Init(dir / "B.msg", jvb::fmReadDenyWrite);
    ASSERT_TRUE(body.Open());
    ASSERT_TRUE(client.SendBody(body));
    std::string reply;
    std::thread waker([&] {
      smtptest::Sleep(100);
      client.Shutdown();
    });
    EXPECT_EQ(client.SendCom(reply, "END"), 0);
    waker.join();
  }
  EXPECT_EQ(received, "..lead\nmid.dle\n..\nno line end\n");
}

TEST(DeliveryClient, ReplyCodesAndDotStuffing) {
  EXPECT_EQ(qmsTSMTPClient::ReplyCode("250 ok"), 250);
  EXPECT_EQ(qmsTSMTPClient::ReplyCode("250"), 250);
  EXPECT_EQ(qmsTSMTPClient::ReplyCode("250-more"), -1);
  EXPECT_EQ(qmsTSMTPClient::ReplyCode(" 250 x"), -1);
  EXPECT_EQ(qmsTSMTPClient::ReplyCode("9999999999 x"), -1);
  EXPECT_EQ(qmsTSMTPClient::Printable(std::string("a\0b\x1b", 4)), "a?b?");

  bool start = true;
  EXPECT_EQ(qmsTSMTPClient::DotStuff(".a\r\n.b\r", 7, start), "..a\r\n..b\r");
  EXPECT_TRUE(start);
  // A line start carried across blocks, and one that is not.
  EXPECT_EQ(qmsTSMTPClient::DotStuff("\n.c.", 4, start), "\n..c.");
  EXPECT_FALSE(start);
  EXPECT_EQ(qmsTSMTPClient::DotStuff(".", 1, start), ".");
}

// --- Reports ---------------------------------------------------------------------------

TEST(DeliveryReport, FailureListsFromTheHeader) {
  TempDir dir;
  WriteFile(dir / "R.hdr",
            "[HEADER]\r\nDomains=@dns.test @net.test @rcpt.test @mail.test @quiet.test\r\n"
            "Success=bob ok@served.test\r\n"
            "[@dns.test]\r\nIdents=a\r\nLookupErrors=2\r\n"
            "LookupError[1]=20240101000000.0 first\r\n"
            "LookupError[2]=20240101000500.0 Unable to lookup MX record(s) for \"dns.test\"\r\n"
            "[@net.test]\r\nIdents=b\r\nLookupErrors=1\r\nConnectErrors=1\r\n"
            "ConnectError[1]=20240101000000.0 Connection refused there\r\n"
            "[@rcpt.test]\r\nIdents=good bad\r\n"
            "[@mail.test]\r\nIdents=m\r\n[@quiet.test]\r\nIdents=q\r\n"
            "[ERROR]\r\nbad@rcpt.test=RCPT returned \"550 no such user\"\r\n"
            "@mail.test=MAIL \"x@y\" returned \"553 sender refused\"\r\n");
  qmsTDeliveryHeader h;
  ASSERT_TRUE(h.Open(dir / "R.hdr"));
  const qmsTDeliveryReport::Lists lists = qmsTDeliveryReport::FailureLists(h);
  EXPECT_EQ(lists.lookup, "\t@dns.test\tUnable to lookup MX record(s) for \"dns.test\"\r\n");
  EXPECT_EQ(lists.connect, "\t@net.test\tConnection refused there\r\n");
  EXPECT_EQ(lists.mailbox,
            "\tbad@rcpt.test\tRCPT returned \"550 no such user\"\r\n"
            "\tm@mail.test\tMAIL \"x@y\" returned \"553 sender refused\"\r\n");
}

TEST(DeliveryReport, RecipientsDatesAndZones) {
  auto local = [](const std::string& d) { return jvb::EqualNoCase(d, "@here.test"); };
  auto r = qmsTDeliveryReport::ReportRecipients("ann@HERE.test", local);
  EXPECT_EQ(r.local, (Strings{"ann", "postmaster"}));
  EXPECT_EQ(r.domain, "");
  r = qmsTDeliveryReport::ReportRecipients("ann@far.test", local);
  EXPECT_EQ(r.local, (Strings{"postmaster"}));
  EXPECT_EQ(r.domain, "@far.test");
  EXPECT_EQ(r.ident, "ann");
  EXPECT_EQ(qmsTDeliveryReport::ReportRecipients("Postmaster@here.test", local).local,
            (Strings{"Postmaster"}));
  // Senders the queue could not record get nothing; the postmaster still hears of it.
  for (const char* odd : {"a b@far.test", "x@", "@far.test", "x@[1.2.3.4]"}) {
    r = qmsTDeliveryReport::ReportRecipients(odd, local);
    EXPECT_EQ(r.local, (Strings{"postmaster"})) << odd;
    EXPECT_EQ(r.domain, "") << odd;
  }

  jvb::DateTime t;
  t.year = 2024, t.month = 3, t.day = 5, t.hour = 7, t.minute = 8, t.second = 9, t.weekday = 2;
  EXPECT_EQ(qmsTDeliveryReport::DateText(t), "Tue, 5 Mar 2024 07:08:09");
  const std::string zone = qmsTDeliveryReport::ZoneText(1'700'000'000'000);
  ASSERT_EQ(zone.size(), 5u);
  EXPECT_TRUE(zone[0] == '+' || zone[0] == '-');
  time_t when = 1'700'000'000;
  struct tm tm{};
  localtime_r(&when, &tm);
  char expect[48];
  long off = tm.tm_gmtoff;
  snprintf(expect, sizeof expect, "%c%02ld%02ld", off < 0 ? '-' : '+', labs(off) / 3600, labs(off) / 60 % 60);
  EXPECT_EQ(zone, expect);
}

}  // namespace
