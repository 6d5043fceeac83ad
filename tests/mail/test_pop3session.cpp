// POP3 session: a real POP3 service on 127.0.0.1 in this process, driven line by line -
// greeting and APOP, USER/PASS, the transaction commands, QUIT applying the marks, the
// lock against a second session, lost connections, hooks and hostile input.
#include <sys/stat.h>
#include <sys/types.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "server/core/hooks.h"
#include "server/core/session.h"
#include "server/mail/pop3session.h"
#include "tests/mail/test_mailbox_site.h"
#include "toolbox/md5.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

namespace {

using mailtest::Client;
using mailtest::Exists;
using mailtest::Names;
using mailtest::ReadFile;
using mailtest::WaitFor;
using mailtest::WriteFile;

const char* const kMsg1 =
    "Received: from client.test by mail.test\r\nSubject: first\r\n\r\nHello Bob\r\n";
// Lines beginning with dots in header and body, and no line end at the very end.
const char* const kMsg2 =
    "Received: from client.test by mail.test\r\n.Odd: header\r\nSubject: second\r\n\r\n"
    ".\r\n..two\r\nthree\r\nfour";

class POP3Session : public mailtest::MailSite {
 protected:
  void SetUp() override {
    MailSite::SetUp();
    PutMessage("bob", "000000000001", kMsg1);
    PutMessage("bob", "000000000002", kMsg2);
  }
  void TearDown() override {
    MailSite::TearDown();
    qmsHookRunners().rexx = nullptr;
  }

  // Reads the greeting and returns its APOP time stamp.
  std::string Greeting(Client& c) {
    std::string g = c.Line();
    std::smatch m;
    EXPECT_TRUE(std::regex_match(
        g, m, std::regex(R"(\+OK (<\d+\.\d+@mail\.test>) POP3d ready \(QMS/32 v0\.9\.5 - .+\))")))
        << g;
    return m.size() > 1 ? m[1].str() : std::string();
  }
  // A connected, authenticated client of bob.
  std::unique_ptr<Client> Login(const std::string& user = "bob",
                                const std::string& password = "secret") {
    auto c = std::make_unique<Client>(pop3_port_);
    EXPECT_TRUE(c->connected);
    Greeting(*c);
    c->Command("USER " + user);
    std::string r = c->Command("PASS " + password);
    EXPECT_EQ(r.rfind("+OK ", 0), 0u) << r;
    return c;
  }
  std::string Message(const char* body) {
    return "Return-Path: <sender@example.test>\r\n" + std::string(body);
  }
};

TEST_F(POP3Session, ApopLogsInWithTheDigestOfTheGreeting) {
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  ASSERT_TRUE(c.connected);
  std::string stamp = Greeting(c);
  EXPECT_EQ(c.Command("APOP bob " + qmsMD5Hex(stamp + "wrong")), "-ERR Authentication failed");
  // Digits are compared exactly: an upper-case digest is a different digest.
  std::string digest = qmsMD5Hex(stamp + "apopsecret");
  std::string upper = digest;
  for (char& ch : upper) ch = static_cast<char>(toupper(ch));
  if (upper != digest) {
    EXPECT_EQ(c.Command("APOP bob " + upper), "-ERR Authentication failed");
  }
  size_t size = Message(kMsg1).size() + Message(kMsg2).size();
  EXPECT_EQ(c.Command("APOP BOB " + digest),
            "+OK bob has 2 message(s) (" + std::to_string(size) + " octets)");
  EXPECT_EQ(c.Command("STAT"), "+OK 2 " + std::to_string(size));
  EXPECT_EQ(c.Command("APOP bob " + digest), "-ERR Already authenticated");
  EXPECT_EQ(c.Command("QUIT"), "+OK mail.test POP3 server signing off");
  EXPECT_TRUE(c.Closed());
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  for (const char* line :
       {"- Connection from \"127.0.0.1\" accepted", "Not authenticated; APOP secret mismatch",
        "Authenticated; APOP", "STAT Ok", "Logout"})
    EXPECT_TRUE(LogHas("POP3", line)) << line;
}

TEST_F(POP3Session, ApopRefusals) {
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  std::string stamp = Greeting(c);
  EXPECT_EQ(c.Command("APOP nobody " + qmsMD5Hex(stamp + "x")), "-ERR Authentication failed");
  EXPECT_EQ(c.Command("APOP carol " + qmsMD5Hex(stamp)), "-ERR Authentication failed");
  // The right digest of an account denied the service is refused all the same.
  EXPECT_EQ(c.Command("APOP mallory " + qmsMD5Hex(stamp + "m")), "-ERR Authentication failed");
  EXPECT_EQ(c.Command("USER bob"), "+OK Password required for bob");
  EXPECT_EQ(c.Command("APOP bob " + qmsMD5Hex(stamp + "apopsecret")), "-ERR Already authenticated");
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_TRUE(LogHas("POP3", "Unknown user \"nobody\", failed identification attempt"));
  EXPECT_TRUE(LogHas("POP3", "Not authenticated; No APOP secret available"));
  EXPECT_TRUE(LogHas("POP3", "Not authenticated; APOP secret mismatch"));
  EXPECT_FALSE(Exists("home/mallory"));
}

// Every refused login of the group - unknown account or wrong secret, POP3 or IMAP4 - waits
// the same base delay; the address's sixth failure doubles it and holds the address back,
// so that even the right password is then refused unchecked.
TEST_F(POP3Session, FailedLoginsWaitAlikeAndAreCountedPerAddressAcrossServices) {
  WriteConfig();
  StartServer();
  std::mutex lock;
  std::vector<int> delays;
  group_->Users()->SetFailDelay(20000);
  group_->Users()->SetFailDelayProc([&](int ms) {
    std::lock_guard<std::mutex> g(lock);
    delays.push_back(ms);
  });
  Client pop(pop3_port_);
  std::string stamp = Greeting(pop);
  const char* const kRefused = "-ERR Authentication failed";
  EXPECT_EQ(pop.Command("USER nobody"), "+OK Password required for nobody");
  EXPECT_EQ(pop.Command("PASS secret"), kRefused);
  EXPECT_EQ(pop.Command("USER bob"), "+OK Password required for bob");
  EXPECT_EQ(pop.Command("PASS wrong"), kRefused);
  EXPECT_EQ(pop.Command("APOP nobody " + qmsMD5Hex(stamp + "apopsecret")), kRefused);
  EXPECT_EQ(pop.Command("APOP bob " + qmsMD5Hex(stamp + "wrong")), kRefused);
  Client imap(imap4_port_);
  imap.Line();
  EXPECT_EQ(imap.Command("a1 LOGIN nobody secret"), "a1 NO LOGIN failed");
  EXPECT_EQ(imap.Command("a2 LOGIN bob wrong"), "a2 NO LOGIN failed");
  EXPECT_EQ(imap.Command("a3 LOGIN bob secret"), "a3 NO LOGIN failed");
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(delays, (std::vector<int>{20000, 20000, 20000, 20000, 20000, 40000, 60000}));
  }
  pop.Command("QUIT");
  imap.Command("a4 LOGOUT");
  for (const char* section : {"POP3", "IMAP4"}) {
    ASSERT_TRUE(WaitFor([&] { return LogHas(section, "Client session ended"); })) << section;
    EXPECT_TRUE(LogHas(section, "Not authenticated; Unknown user")) << section;
  }
  EXPECT_TRUE(LogHas("POP3", "Failed login 1 from 127.0.0.1, answer delayed 20000 ms"));
  EXPECT_TRUE(LogHas("IMAP4", "Address 127.0.0.1 held back after 6 failed logins"));
  EXPECT_TRUE(LogHas("IMAP4", "Not authenticated; Address held back after repeated failures"));
  EXPECT_EQ(group_->LoginThrottle().Failures("127.0.0.1"), 7);
}

TEST_F(POP3Session, UserAndPassAndTheirStates) {
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  Greeting(c);
  EXPECT_EQ(c.Command("STAT"), "-ERR Not authenticated");
  EXPECT_EQ(c.Command("LIST"), "-ERR Not authenticated");
  EXPECT_EQ(c.Command("RETR 1"), "-ERR Not authenticated");
  EXPECT_EQ(c.Command("PASS secret"), "-ERR Send USER first");
  // Unknown names get the same answer as known ones; the password then fails.
  EXPECT_EQ(c.Command("USER Nobody"), "+OK Password required for nobody");
  EXPECT_EQ(c.Command("USER bob"), "-ERR Already identified, send PASS or start over");
  EXPECT_EQ(c.Command("PASS secret"), "-ERR Authentication failed");
  EXPECT_EQ(c.Command("USER bob"), "+OK Password required for bob");
  EXPECT_EQ(c.Command("PASS wrong"), "-ERR Authentication failed");
  EXPECT_EQ(c.Command("PASS secret"), "-ERR Send USER first");
  EXPECT_EQ(c.Command("USER bob"), "+OK Password required for bob");
  EXPECT_EQ(c.Command("PASS secret").rfind("+OK bob has 2 message(s) (", 0), 0u);
  EXPECT_EQ(c.Command("USER bob"), "-ERR Already identified, send PASS or start over");
  EXPECT_EQ(c.Command("NOOP"), "+OK");
  EXPECT_EQ(c.Command("CAPA"), "-ERR Unknown command");
  // Leading blanks and control bytes and trailing blanks are not part of the command.
  EXPECT_EQ(c.Command(std::string("\x01 \x7f noop  \t")), "+OK");
  EXPECT_EQ(c.Command(std::string(5000, 'X')), "-ERR Unknown command");
  EXPECT_EQ(c.Command("NOOP"), "+OK");
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_TRUE(LogHas("POP3", "Not authenticated; Password mismatch (0)"));
  EXPECT_TRUE(LogHas("POP3", "Authenticated; Internal"));
}

TEST_F(POP3Session, ListUidlRetrAndTopStuffHeaderLinesToo) {
  WriteConfig();
  StartServer();
  auto c = Login();
  const std::string m1 = Message(kMsg1), m2 = Message(kMsg2);
  EXPECT_EQ(c->Command("LIST").rfind("+OK 2 message(s)", 0), 0u);
  EXPECT_EQ(c->Block(), (std::vector<std::string>{"1 " + std::to_string(m1.size()),
                                                  "2 " + std::to_string(m2.size())}));
  EXPECT_EQ(c->Command("LIST 2"), "+OK 2 " + std::to_string(m2.size()));
  for (const char* bad :
       {"LIST 3", "LIST 0", "LIST -1", "LIST x", "LIST 1x", "LIST 99999999999999999999"})
    EXPECT_EQ(c->Command(bad), "-ERR No such message") << bad;
  EXPECT_EQ(c->Command("UIDL"), "+OK Unique-ID listing follows");
  EXPECT_EQ(c->Block(), (std::vector<std::string>{"1 626F62000000000001", "2 626F62000000000002"}));
  EXPECT_EQ(c->Command("UIDL 1"), "+OK 1 626F62000000000001");
  EXPECT_EQ(c->Command("UIDL 3"), "-ERR No such message");

  // RETR: header lines and body with every leading dot doubled, a line end added to a
  // message that lacks one, then ".".
  EXPECT_EQ(c->Command("RETR 2"), "+OK " + std::to_string(m2.size()) + " octets");
  EXPECT_EQ(c->RawBlock(),
            "Return-Path: <sender@example.test>\r\nReceived: from client.test by mail.test\r\n"
            "..Odd: header\r\nSubject: second\r\n\r\n..\r\n...two\r\nthree\r\nfour\r\n.\r\n");
  EXPECT_EQ(c->Command("RETR 1"), "+OK " + std::to_string(m1.size()) + " octets");
  EXPECT_EQ(c->RawBlock(), m1 + ".\r\n");
  // TOP n 0: the header and its empty line; TOP n k: k body lines.
  EXPECT_EQ(c->Command("TOP 2 0"), "+OK Top of message 2 follows");
  EXPECT_EQ(c->RawBlock(),
            "Return-Path: <sender@example.test>\r\nReceived: from client.test by mail.test\r\n"
            "..Odd: header\r\nSubject: second\r\n\r\n.\r\n");
  EXPECT_EQ(c->Command("TOP 2 2"), "+OK Top of message 2 follows");
  EXPECT_EQ(c->Block(),
            (std::vector<std::string>{"Return-Path: <sender@example.test>",
                                      "Received: from client.test by mail.test", ".Odd: header",
                                      "Subject: second", "", ".", "..two"}));
  EXPECT_EQ(c->Command("TOP 2 100").rfind("+OK", 0), 0u);
  EXPECT_EQ(c->Block().back(), "four");
  EXPECT_EQ(c->Command("TOP 3 1"), "-ERR No such message");
  EXPECT_EQ(c->Command("RETR"), "-ERR No such message");
  c->Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  for (const char* line :
       {"LIST Ok", "UIDL Ok", "LIST \"2\", ok", "LIST \"3\", not found", "UIDL \"1\", ok",
        "RETR \"2\", ok", "TOP \"2\", ok", "TOP \"3\", not found", "RETR \"0\", not found"})
    EXPECT_TRUE(LogHas("POP3", line)) << line;
}

TEST_F(POP3Session, QuitAppliesTheMarksAndRsetClearsThem) {
  WriteConfig();
  StartServer();
  WriteFile(Inbox("bob") + "000000000001.qms", "[IMAP]\r\nRecent=1\r\n");
  auto c = Login();
  EXPECT_EQ(c->Command("DELE 1"), "+OK Message 1 marked as deleted (" +
                                      std::to_string(Message(kMsg1).size()) + " octets)");
  EXPECT_EQ(c->Command("DELE 1"), "-ERR Message already marked as deleted");
  EXPECT_EQ(c->Command("DELE 9"), "-ERR No such message");
  EXPECT_EQ(c->Command("RETR 1"), "-ERR Message is marked as deleted");
  EXPECT_EQ(c->Command("TOP 1 0"), "-ERR Message is marked as deleted");
  EXPECT_EQ(c->Command("LIST").rfind("+OK", 0), 0u);
  EXPECT_EQ(c->Block().size(), 1u);
  EXPECT_EQ(c->Command("LIST 1").rfind("+OK 1 ", 0), 0u);  // a single listing still answers
  EXPECT_EQ(c->Command("STAT").rfind("+OK 2 ", 0), 0u);    // counts as when locked
  EXPECT_EQ(c->Command("RSET").rfind("+OK Maildrop has 2 message(s)", 0), 0u);
  EXPECT_EQ(c->Command("LIST").rfind("+OK", 0), 0u);
  EXPECT_EQ(c->Block().size(), 2u);
  EXPECT_EQ(c->Command("DELE 1").rfind("+OK", 0), 0u);
  EXPECT_EQ(c->Command("QUIT"), "+OK mail.test POP3 server signing off");
  EXPECT_TRUE(c->Closed());
  ASSERT_TRUE(WaitFor([&] { return !Exists(Inbox("bob") + ".locked"); }));
  // The message went; its IMAP flag file stays for IMAP's own sweep.
  EXPECT_EQ(Names(Inbox("bob")),
            (std::vector<std::string>{"000000000001.qms", "000000000002.msg"}));
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  for (const char* line : {"DELE \"1\", ok", "DELE \"1\", already deleted", "DELE \"9\", not found",
                           "RETR \"1\", deleted", "RSET Ok", "Logout"})
    EXPECT_TRUE(LogHas("POP3", line)) << line;
}

TEST_F(POP3Session, ALostConnectionKeepsEveryMessage) {
  WriteConfig();
  StartServer();
  {
    auto c = Login();
    EXPECT_EQ(c->Command("DELE 1").rfind("+OK", 0), 0u);
    EXPECT_EQ(c->Command("DELE 2").rfind("+OK", 0), 0u);
  }  // closed without QUIT
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_EQ(Names(Inbox("bob")),
            (std::vector<std::string>{"000000000001.msg", "000000000002.msg"}));
  EXPECT_FALSE(LogHas("POP3", "Logout"));
  auto again = Login();  // the lock went with the connection
  EXPECT_EQ(again->Command("STAT").rfind("+OK 2 ", 0), 0u);
}

TEST_F(POP3Session, ASecondSessionIsRefusedWhileTheFirstHoldsTheMailbox) {
  WriteConfig();
  StartServer();
  auto first = Login();
  PutMessage("bob", "000000000003", kMsg1);  // delivered meanwhile: not seen by the holder
  Client second(pop3_port_);
  std::string stamp = Greeting(second);
  EXPECT_EQ(second.Command("USER bob"), "+OK Password required for bob");
  EXPECT_EQ(second.Command("PASS secret"), "-ERR Unable to open the mailbox now, try again later");
  EXPECT_EQ(second.Command("APOP bob " + qmsMD5Hex(stamp + "apopsecret")),
            "-ERR [IN-USE] Mailbox is locked by another session, try again later");
  EXPECT_EQ(second.Command("STAT"), "-ERR Not authenticated");
  EXPECT_EQ(first->Command("STAT").rfind("+OK 2 ", 0), 0u);
  EXPECT_EQ(first->Command("QUIT").rfind("+OK", 0), 0u);
  ASSERT_TRUE(WaitFor([&] { return !Exists(Inbox("bob") + ".locked"); }));
  EXPECT_EQ(second.Command("APOP bob " + qmsMD5Hex(stamp + "apopsecret")).rfind("+OK bob has 3", 0),
            0u);
  EXPECT_TRUE(LogHas("POP3", "Unable to lock mailbox"));
}

TEST_F(POP3Session, QuitSaysSoWhenAMarkedMessageCannotBeDeleted) {
  WriteConfig();
  StartServer();
  auto c = Login();
  EXPECT_EQ(c->Command("DELE 1").rfind("+OK", 0), 0u);
  // The file is replaced by something unlink cannot remove.
  std::filesystem::remove(Inbox("bob") + "000000000001.msg");
  std::filesystem::create_directories(Inbox("bob") + "000000000001.msg/sub");
  EXPECT_EQ(c->Command("QUIT"), "-ERR Some messages marked as deleted could not be removed");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_TRUE(LogHas("POP3", "Unable to delete message file"));
  EXPECT_FALSE(Exists(Inbox("bob") + ".locked"));

  // A marked message that is already gone is no failure.
  auto d = Login();
  EXPECT_EQ(d->Command("DELE 1").rfind("+OK", 0), 0u);
  std::filesystem::remove(Inbox("bob") + "000000000002.msg");
  EXPECT_EQ(d->Command("QUIT"), "+OK mail.test POP3 server signing off");
}

TEST_F(POP3Session, StrangeEntriesInTheInbox) {
  WriteConfig();
  StartServer();
  // A FIFO named like a message is never listed or opened (a read would block for ever),
  // and a message that vanished under a session is "unable to read".
  ASSERT_EQ(mkfifo((Inbox("bob") + "000000000000.msg").c_str(), 0600), 0);
  auto c = Login();
  EXPECT_EQ(c->Command("STAT").rfind("+OK 2 ", 0), 0u);
  std::filesystem::remove(Inbox("bob") + "000000000002.msg");
  EXPECT_EQ(c->Command("RETR 2"), "-ERR Unable to read the message");
  EXPECT_EQ(c->Command("RETR 1").rfind("+OK", 0), 0u);
  EXPECT_EQ(c->RawBlock(), Message(kMsg1) + ".\r\n");
  c->Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "RETR \"2\", unable to read"); }));
}

TEST_F(POP3Session, ClientTextIsNeverATemplate) {
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  Greeting(c);
  EXPECT_EQ(c.Command("USER %(configfile)"), "+OK Password required for %(configfile)");
  EXPECT_EQ(c.Command("PASS x"), "-ERR Authentication failed");
  EXPECT_EQ(c.Command("USER ((%(((((((((%(cat(\"a\""),
            "+OK Password required for ((%(((((((((%(cat(\"a\"");
}

TEST_F(POP3Session, AnonymousAndDeniedAccountsGetNoMailbox) {
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  Greeting(c);
  c.Command("USER anon");
  EXPECT_EQ(c.Command("PASS anything"), "-ERR Authentication failed");
  c.Command("USER mallory");
  EXPECT_EQ(c.Command("PASS pw"), "-ERR Authentication failed");
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_TRUE(LogHas("POP3", "Not authenticated; Service access denied"));
  EXPECT_FALSE(Exists("home/anon"));
  EXPECT_FALSE(Exists("home/mallory"));
}

TEST_F(POP3Session, UsesTheAccountNameAsTheDatabaseHoldsIt) {
  WriteConfig();
  StartServer();
  PutMessage("Carol", "0000000000C1", kMsg1);
  auto c = Login("CAROL", "pw");
  EXPECT_EQ(c->Command("UIDL 1"), "+OK 1 4361726F6C0000000000C1");
}

TEST_F(POP3Session, WithoutAVfsMappingNothingIsStored) {
  WriteConfig("HomeDirectory=/home\r\n", "", "/www=ftp\r\n");
  StartServer();
  Client c(pop3_port_);
  Greeting(c);
  c.Command("USER bob");
  EXPECT_EQ(c.Command("PASS secret"), "-ERR Unable to open the mailbox now, try again later");
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Unable to lock mailbox"); }));
  EXPECT_TRUE(LogHas("POP3", "Unable to create mailbox"));
  EXPECT_TRUE(Names("ftp").empty());
  EXPECT_EQ(Names("home"), (std::vector<std::string>{"bob"}));  // only what the test placed
}

TEST_F(POP3Session, AMissingHomeDirectoryIsLoggedAndStoresNothing) {
  WriteConfig("");
  StartServer();
  Client c(pop3_port_);
  Greeting(c);
  c.Command("USER bob");
  EXPECT_EQ(c.Command("PASS secret").rfind("-ERR", 0), 0u);
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_NE(SystemLog().find("GLOBAL/HomeDirectory not found in config/mail/mail.cfg"),
            std::string::npos);
  EXPECT_TRUE(Names("ftp").empty());
}

TEST_F(POP3Session, AMailboxPathTooLongForTheIndexIsNotLocked) {
  const std::string deep = "home/" + std::string(120, 'd') + "/" + std::string(120, 'e');
  WriteConfig("HomeDirectory=/deep\r\n", "", "/deep=" + deep + "\r\n");
  StartServer();
  WriteFile(deep + "/bob/.mailbox/Inbox/000000000001.msg", "x\r\n");
  Client c(pop3_port_);
  Greeting(c);
  c.Command("USER bob");
  EXPECT_EQ(c.Command("PASS secret"), "-ERR Unable to open the mailbox now, try again later");
  c.Command("QUIT");
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Unable to lock mailbox"); }));
  EXPECT_TRUE(LogHas("POP3", "Message path too long for the mailbox index"));
  EXPECT_FALSE(Exists(deep + "/bob/.mailbox/Inbox/.locked"));
}

TEST_F(POP3Session, RefusedClientsGetTheConnectReplyAndTheSignOff) {
  client_address_ = "!127.0.0.1 *";
  WriteConfig();
  StartServer();
  Client c(pop3_port_);
  EXPECT_EQ(c.Line(), "-ERR Access denied, closing connection");
  EXPECT_EQ(c.Line(), "+OK mail.test POP3 server signing off");
  EXPECT_TRUE(c.Closed());
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  EXPECT_TRUE(LogHas("POP3", "- Connection from \"127.0.0.1\" rejected"));
}

TEST_F(POP3Session, HooksOnConnectAndOnCommand) {
  WriteFile("hooks/cmd.rexx", "/* test */");
  WriteFile("hooks/connect.rexx", "/* test */");
  std::vector<std::string> seen;
  std::mutex seenLock;
  qmsHookRunners().rexx = [&](qmsTSession&, const std::string& script, const std::string& argument,
                              std::string& output) {
    std::lock_guard<std::mutex> g(seenLock);
    seen.push_back(script + "|" + argument);
    if (script == "hooks/connect.rexx") {
      output = "0";
      return 0;
    }
    // The command hook turns XYZZY into NOOP and lets everything else pass.
    if (argument.find(" XYZZY") != std::string::npos) {
      output = "NOOP";
      return 1;
    }
    output = "0";
    return 0;
  };
  WriteConfig("HomeDirectory=/home\r\n",
              "hookOnConnect=hooks/connect.rexx\r\nhookOnCommand=hooks/cmd.rexx\r\n");
  StartServer();
  {
    Client c(pop3_port_);
    Greeting(c);
    EXPECT_EQ(c.Command("XYZZY %(configfile)"), "+OK");  // turned into NOOP by the hook
    EXPECT_EQ(c.Command("USER bob"), "+OK Password required for bob");
    EXPECT_EQ(c.Command("PASS secret").rfind("+OK", 0), 0u);
    c.Command("QUIT");
  }
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "Client session ended"); }));
  {
    std::lock_guard<std::mutex> g(seenLock);
    std::string all;
    for (const auto& s : seen) all += s + "\n";
    EXPECT_NE(all.find("hooks/connect.rexx|"), std::string::npos) << all;
    // The client's words reach the hook as typed, never expanded; PASS never reaches it.
    EXPECT_NE(all.find("hooks/cmd.rexx|"), std::string::npos) << all;
    EXPECT_NE(all.find("XYZZY %(configfile)"), std::string::npos) << all;
    EXPECT_EQ(all.find("config/mail/mail.cfg"), std::string::npos) << all;
    EXPECT_NE(all.find("USER bob"), std::string::npos) << all;
    EXPECT_EQ(all.find("secret"), std::string::npos) << all;
  }

  // A connect hook that answers rejects the client with its own line.
  qmsHookRunners().rexx = [](qmsTSession&, const std::string&, const std::string&,
                             std::string& output) {
    output = "-ERR Go away";
    return 0;
  };
  Client r(pop3_port_);
  EXPECT_EQ(r.Line(), "-ERR Go away");
  EXPECT_EQ(r.Line(), "+OK mail.test POP3 server signing off");
  EXPECT_TRUE(r.Closed());
  ASSERT_TRUE(WaitFor([&] { return LogHas("POP3", "rejected by script"); }));
}

TEST(POP3MessageNumber, OnlyWholeDecimalNumbers) {
  EXPECT_EQ(qmsTPOP3Session::MessageNumber("12"), 12);
  EXPECT_EQ(qmsTPOP3Session::MessageNumber("+3"), 3);
  EXPECT_EQ(qmsTPOP3Session::MessageNumber("-3"), -3);
  for (const char* bad : {"", "x", "1x", " 1", "1 ", "-", "99999999999999999999999"})
    EXPECT_EQ(qmsTPOP3Session::MessageNumber(bad), 0) << bad;
}

}  // namespace

namespace {

// Every key the session sends is in the shipped message file and starts the way POP3
// clients need; no upper-case twin would put a leading block before a reply.
TEST(POP3Replies, TheShippedFileHasEveryKey) {
  jvbTTextConfig res(mailtest::SourceDir() + "/documentation/messages/pop3/pop3.res");
  const std::vector<std::pair<std::string, std::vector<std::string>>> keys = {
      {"CONNECT", {"ERRb"}},
      {"GLOB", {"ERRa"}},
      {"QUIT", {"OKa", "ERRa"}},
      {"CAPA", {"OKa"}},
      {"STLS", {"OKa", "ERRa", "ERRb"}},
      {"USER", {"OKa", "ERRa"}},
      {"PASS", {"OKa", "ERRa", "ERRb", "ERRc"}},
      {"APOP", {"OKa", "ERRa", "ERRb", "ERRc"}},
      {"STAT", {"OKa", "ERRa"}},
      {"LIST", {"OKa", "OKb", "ERRa", "ERRb"}},
      {"UIDL", {"OKa", "OKb", "ERRa", "ERRb"}},
      {"RETR", {"OKa", "ERRa", "ERRb", "ERRc", "ERRd"}},
      {"TOP", {"OKa", "ERRa", "ERRb", "ERRc", "ERRd"}},
      {"DELE", {"OKa", "ERRa", "ERRb", "ERRc"}},
      {"RSET", {"OKa", "ERRa"}},
      {"NOOP", {"OKa"}},
  };
  for (const auto& [section, list] : keys) {
    for (const std::string& key : list) {
      std::string value, twin;
      ASSERT_TRUE(res.ReadValue(section, key, value)) << section << "/" << key;
      const std::string start = key.rfind("OK", 0) == 0 ? "+OK" : "-ERR ";
      EXPECT_EQ(value.rfind(start, 0), 0u) << section << "/" << key << ": " << value;
      EXPECT_FALSE(res.ReadValue(section, jvb::AsciiUpper(key), twin)) << section << "/" << key;
    }
  }
  std::string v;
  res.ReadValue("STAT", "OKa", v);
  EXPECT_EQ(v, "+OK %(messages) %(messagessize)");
  res.ReadValue("LIST", "OKa", v);
  EXPECT_EQ(v, "+OK %(message) %(messagesize)");
  res.ReadValue("UIDL", "OKa", v);
  EXPECT_EQ(v, "+OK %(message) %(messageid)");
}

}  // namespace
