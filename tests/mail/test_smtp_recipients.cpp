// Recipient classification of the SMTP session, called directly on a session without a
// connection (client address 0.0.0.0): local domains, catch-all, aliases, relaying by
// client address and by domain, forwarding chains, and the recipient rule of RCPT.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/smtpsession.h"
#include "server/users/userdatabase.h"
#include "tests/mail/smtptest.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/textconfig.h"

namespace {

using smtptest::ReadFile;
using smtptest::WriteFile;
using smtptest::WriteUser;
using Strings = std::vector<std::string>;

class SmtpRecipients : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    for (const char* d : {"config/site", "users", "stat", "log"})
      std::filesystem::create_directories(d);
    Configure("");
    group_ = std::make_unique<qmsTGroup>(nullptr, "site");
    group_->SetUsers(std::make_unique<qmsTUserDatabase>("users", "stat"));
    service_ = std::make_unique<qmsTService>(group_.get(), "SMTP");
    service_->SetLogFile("log/smtp.log");
    WriteUser("Bob");
    WriteUser("alice");
    WriteUser("admin", "Aliases=postmaster\r\n");
  }

  void Configure(const std::string& extra) {
    WriteFile("config/site/site.cfg", smtptest::GroupConfig(2525, extra));
  }

  // A session with an open transaction.
  std::unique_ptr<qmsTSMTPSession> Open(const std::string& extra = "") {
    Configure(extra);
    auto s = std::make_unique<qmsTSMTPSession>(service_.get());
    s->ReadSettings();
    s->srvHELO("client.test", false);
    s->srvMAIL("FROM:<sender@remote.test>");
    EXPECT_TRUE(s->TransactionOpen());
    return s;
  }

  int Add(qmsTSMTPSession& s, const std::string& address) {
    qmsTSMTPSession::ForwardTrail trail;
    int r = s.AddRecipient(address, trail);
    followed_ = trail.followed;
    return r;
  }

  static Strings Local(qmsTSMTPSession& s) { return s.Header->ReadList("LOCAL", "Idents"); }

  std::string Log() { return ReadFile("log/smtp.log"); }

  TempDir dir_;
  std::unique_ptr<qmsTGroup> group_;
  std::unique_ptr<qmsTService> service_;
  Strings followed_;
};

TEST_F(SmtpRecipients, LocalUsersByDomainAliasOrBareName) {
  auto s = Open();
  EXPECT_EQ(Add(*s, "bob@example.test"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(s->Ident, "bob");
  EXPECT_EQ(s->Domain, "@example.test");
  EXPECT_EQ(Add(*s, "BOB@other.test"), qmsTSMTPSession::rcLocal);  // domains without case
  EXPECT_EQ(Add(*s, "alice"), qmsTSMTPSession::rcLocal);           // no domain: always local
  EXPECT_EQ(Add(*s, "postmaster@example.test"), qmsTSMTPSession::rcLocal);
  // Names as the user database holds them, each once.
  EXPECT_EQ(Local(*s), (Strings{"Bob", "alice", "admin"}));
  EXPECT_FALSE(s->Header->HasSection("@example.test"));
}

TEST_F(SmtpRecipients, UnknownLocalUsersAndTheCatchAllUser) {
  auto s = Open();
  EXPECT_EQ(Add(*s, "nobody@example.test"), qmsTSMTPSession::rcNotFound);
  EXPECT_EQ(Add(*s, "../users/bob@example.test"), qmsTSMTPSession::rcNotFound);
  EXPECT_TRUE(Local(*s).empty());
  s = Open("CatchAllIdent=alice\r\n");
  EXPECT_EQ(Add(*s, "nobody@example.test"), qmsTSMTPSession::rcCatchAll);
  EXPECT_EQ(Add(*s, "Bob@example.test"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(Local(*s), (Strings{"alice", "Bob"}));
  s = Open("CatchAllIdent=ghost\r\n");
  EXPECT_EQ(Add(*s, "nobody@example.test"), qmsTSMTPSession::rcNotFound);
}

TEST_F(SmtpRecipients, RelayingByClientAddressOrByDomain) {
  auto s = Open("ForwardAddress=10.*,0.0.0.0\r\n");
  EXPECT_EQ(Add(*s, "x@Remote.Test"), qmsTSMTPSession::rcRemote);
  EXPECT_EQ(Add(*s, "y@remote.test"), qmsTSMTPSession::rcRemote);
  EXPECT_EQ(Add(*s, "x@Remote.Test"), qmsTSMTPSession::rcRemote);  // once is enough
  EXPECT_EQ(Add(*s, "z@far.test"), qmsTSMTPSession::rcRemote);
  EXPECT_EQ(s->Header->ReadList("HEADER", "Domains"), (Strings{"@Remote.Test", "@far.test"}));
  EXPECT_EQ(s->Header->ReadList("@remote.test", "Idents"), (Strings{"x", "y"}));
  EXPECT_EQ(s->Header->ReadString("@remote.test", "PrimaryOnly"), "");

  s = Open("ForwardDomains=@partner.test;@Backup.Test\r\n");
  EXPECT_EQ(Add(*s, "p@PARTNER.test"), qmsTSMTPSession::rcRemote);
  EXPECT_EQ(Add(*s, "q@backup.test"), qmsTSMTPSession::rcRemote);
  EXPECT_EQ(s->Header->ReadString("@partner.test", "PrimaryOnly"), "1");
  EXPECT_EQ(s->Header->ReadString("@backup.test", "Idents"), "q");
  qmsTQueueFile::Model before = s->Header->Snapshot();
  EXPECT_EQ(Add(*s, "z@elsewhere.test"), qmsTSMTPSession::rcForwardNotAllowed);
  EXPECT_EQ(qmsTQueueFile::Serialize(s->Header->Snapshot()), qmsTQueueFile::Serialize(before));
}

TEST_F(SmtpRecipients, ForwardingChains) {
  WriteUser("carl", "[SMTP]\r\nForwardTo=alice far@remote.test\r\n");
  WriteUser("dave", "[SMTP]\r\nForwardTo=dave copy@remote.test\r\n");  // keeps a copy
  WriteUser("ping", "[SMTP]\r\nForwardTo=pong\r\n");
  WriteUser("pong", "[SMTP]\r\nForwardTo=ping\r\n");
  WriteUser("lost", "[SMTP]\r\nForwardTo=ghost x@[10.0.0.1] \"y z\"@remote.test\r\n");
  WriteUser("mute", "[SMTP]\r\nDenyService=1\r\n");
  WriteUser("other", "[POP3]\r\nForwardTo=alice\r\n");  // another service's setting
  auto s = Open();

  EXPECT_EQ(Add(*s, "carl@example.test"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(followed_, (Strings{"alice", "far@remote.test"}));
  EXPECT_EQ(Add(*s, "dave"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(Local(*s), (Strings{"alice", "dave"}));
  EXPECT_EQ(s->Header->ReadList("@remote.test", "Idents"), (Strings{"far", "copy"}));

  // Two users forwarding to each other: found on the second step, the mail stays there.
  EXPECT_EQ(Add(*s, "ping"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(Local(*s), (Strings{"alice", "dave", "pong"}));
  EXPECT_NE(Log().find("Circular mail forwarding detected from \"pong\" to \"ping\""),
            std::string::npos);

  // Targets that lead nowhere or could not be recorded safely.
  EXPECT_EQ(Add(*s, "lost"), qmsTSMTPSession::rcNotFound);
  EXPECT_NE(Log().find("Forward target \"x@[10.0.0.1]\" of \"lost\" not allowed"),
            std::string::npos);
  EXPECT_FALSE(s->Header->HasSection("@[10.0.0.1]"));

  // Denied the service: accepted, nothing recorded.
  EXPECT_EQ(Add(*s, "mute"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(Add(*s, "other"), qmsTSMTPSession::rcLocal);
  EXPECT_EQ(Local(*s), (Strings{"alice", "dave", "pong", "other"}));
}

TEST_F(SmtpRecipients, LongForwardingChainsEndSafely) {
  // A chain longer than any nesting the session follows, ending in a loop.
  for (int i = 0; i < 60; ++i)
    WriteUser("u" + std::to_string(i),
              "[SMTP]\r\nForwardTo=u" + std::to_string((i + 1) % 60) + "\r\n");
  auto s = Open();
  int r = Add(*s, "u0");
  EXPECT_TRUE(r == qmsTSMTPSession::rcLocal || r == qmsTSMTPSession::rcNotFound) << r;
  EXPECT_LE(Local(*s).size(), 1u);
}

TEST_F(SmtpRecipients, RcptWritesTheHeaderAndRefusesUnsafeAddresses) {
  auto s = Open("ForwardAddress=0.0.0.0\r\n");
  s->srvRCPT("TO:<@hop1.test,@hop2.test:Bob@example.test>");  // source route dropped
  EXPECT_TRUE(s->Phase() == qmsTSMTPSession::phRecipients);
  for (const std::string& bad :
       {std::string("TO:<a]b@example.test>"), std::string("TO:<x@[127.0.0.1]>"),
        std::string("TO:<a=b@remote.test>"), std::string("TO:<a b@remote.test>"),
        std::string("TO:<a\tb@remote.test>"),
        std::string("TO:<a\0b@remote.test>", sizeof "TO:<a\0b@remote.test>" - 1),
        std::string("TO:<x@>"), std::string("TO:<@remote.test>"), std::string("TO:<x@a@b>"),
        std::string("TO:<>"), std::string("TO:nobrackets@remote.test")})
    s->srvRCPT(bad);
  EXPECT_EQ(s->Recipients, 1);
  jvbTTextConfig onDisk(s->MessagePath + ".inc");
  Strings idents, domains;
  onDisk.ReadList(idents, "LOCAL", "Idents");
  onDisk.ReadList(domains, "HEADER", "Domains");
  EXPECT_EQ(idents, (Strings{"Bob"}));
  EXPECT_TRUE(domains.empty());
  EXPECT_EQ(onDisk.SectionNames(), (Strings{"HEADER", "LOCAL"}));
  std::string path;
  onDisk.ReadString(path, "HEADER", "ReversePath");
  EXPECT_EQ(path, "sender@remote.test");
}

TEST_F(SmtpRecipients, TooManyRecipients) {
  auto s = Open("ForwardAddress=0.0.0.0\r\n");
  for (int i = 0; i < qmsTSMTPSession::kRecipientsMax + 5; ++i)
    s->srvRCPT("TO:<r" + std::to_string(i) + "@remote.test>");
  EXPECT_EQ(s->Recipients, qmsTSMTPSession::kRecipientsMax);
  EXPECT_EQ(s->Header->ReadList("@remote.test", "Idents").size(),
            static_cast<size_t>(qmsTSMTPSession::kRecipientsMax));
  EXPECT_NE(Log().find("RCPT \"r1000@remote.test\", too many recipients"), std::string::npos);
}

TEST_F(SmtpRecipients, SenderAddressRuleAndMissingSettings) {
  auto s = Open();
  s->srvMAIL("FROM:<a]b@remote.test>");
  EXPECT_FALSE(s->TransactionOpen());
  s->srvMAIL("FROM:<>");  // the null sender of reports
  EXPECT_TRUE(s->TransactionOpen());
  EXPECT_EQ(s->Header->ReadString("HEADER", "ReversePath"), "");
  s->srvMAIL("FROM:no@brackets.test");
  EXPECT_EQ(s->Header->ReadString("HEADER", "ReversePath"), "");
  EXPECT_EQ(s->Header->ReadString("HEADER", "RemoteDomain"), "client.test");
  EXPECT_EQ(s->Header->ReadString("HEADER", "RemoteIP"), "0.0.0.0");
  // Only one transaction's header file at a time.
  EXPECT_EQ(smtptest::FilesWith("queue", ".inc").size(), 1u);

  // Without a queue directory nothing can be accepted, and nothing is written elsewhere.
  WriteFile("config/site/site.cfg",
            "[GLOBAL]\r\nUserDirectory=users\r\n[SMTP]\r\nProtocol=smtpd\r\n");
  auto bare = std::make_unique<qmsTSMTPSession>(service_.get());
  bare->ReadSettings();
  bare->srvHELO("", false);
  bare->srvMAIL("FROM:<a@b.test>");
  EXPECT_FALSE(bare->TransactionOpen());
  EXPECT_EQ(bare->QueueDirectory, "");
  EXPECT_EQ(bare->MessageAgeMax, 7200);
  EXPECT_EQ(bare->ConnectRetryDelay, 30);
}

TEST_F(SmtpRecipients, VariablesOfTheSession) {
  auto s = Open();
  Add(*s, "bob@example.test");
  std::string v;
  ASSERT_TRUE(s->GetVars("ident", v));
  EXPECT_EQ(v, "bob");
  ASSERT_TRUE(s->GetVars("domain", v));
  EXPECT_EQ(v, "@example.test");
  ASSERT_TRUE(s->GetVars("localdomain", v));
  EXPECT_EQ(v, "example.test");
  ASSERT_TRUE(s->GetVars("messagename", v));
  EXPECT_EQ(v, s->MessageName + ".msg");
  ASSERT_TRUE(s->GetVars("messagepath", v));
  EXPECT_EQ(v, "queue/" + s->MessageName + ".msg");
  s->Header->Set("MESSAGE.HEADER", "SUBJECT", "%(configfile)");
  ASSERT_TRUE(s->GetVars("smtp.!SUBJECT", v));
  EXPECT_EQ(v, "%(configfile)");
  ASSERT_TRUE(s->GetVars("smtp.!subject", v));
  EXPECT_EQ(v, "%(configfile)");
  EXPECT_EQ(s->ReturnFIB("%(smtp.!SUBJECT)|%(smtp.!X-NONE)|"), "%(configfile)||");
  EXPECT_FALSE(s->GetVars("smtp.nothing", v));
}

}  // namespace
