// IMAP4 session: a real IMAP4 service on 127.0.0.1 in this process - greeting, word
// splitting, login, folder management inside the user folder only, listing, subscriptions,
// SELECT with its flag files, and the commands it does not support.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "server/mail/imap4session.h"
#include "tests/mail/test_mailbox_site.h"
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

const std::string kGreeting = "* OK IMAP4d ready (QMS/32 v0.9.5 - https://quillmar.example/)";
const std::string kBye =
    "* BYE IMAP4d closing connection (QMS/32 v0.9.5 - https://quillmar.example/)";

class IMAP4Session : public mailtest::MailSite {
 protected:
  std::string Folder(const std::string& rel) { return "home/bob/.mailbox/" + rel; }
  // Sends a tagged command; returns every line up to and including the tagged reply.
  std::vector<std::string> Run(Client& c, const std::string& tag, const std::string& command) {
    c.Send(tag + " " + command);
    return Replies(c, tag);
  }
  // Every line up to and including the reply tagged with tag.
  std::vector<std::string> Replies(Client& c, const std::string& tag) {
    std::vector<std::string> out;
    for (;;) {
      std::string l = c.Line();
      out.push_back(l);
      if (l == "<closed>" || l.rfind(tag + " ", 0) == 0) break;
    }
    return out;
  }
  std::unique_ptr<Client> Login() {
    auto c = std::make_unique<Client>(imap4_port_);
    EXPECT_EQ(c->Line(), kGreeting);
    EXPECT_EQ(Run(*c, "l", "LOGIN bob secret").back(), "l OK LOGIN completed");
    return c;
  }
};

TEST(IMAP4Words, QuotesGroupBlanksAndEscapes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(qmsTIMAP4Session::SplitWords("a1 LIST \"\" *"), (V{"a1", "LIST", "", "*"}));
  EXPECT_EQ(qmsTIMAP4Session::SplitWords("  x   \"two words\"  "), (V{"x", "two words"}));
  EXPECT_EQ(qmsTIMAP4Session::SplitWords(R"(t LOGIN "bob" "a\"b\\c")"),
            (V{"t", "LOGIN", "bob", "a\"b\\c"}));
  EXPECT_EQ(qmsTIMAP4Session::SplitWords("\"unterminated quote"), (V{"unterminated quote"}));
  EXPECT_EQ(qmsTIMAP4Session::SplitWords("back\\slash"), (V{"back\\slash"}));
  EXPECT_EQ(qmsTIMAP4Session::SplitWords("\"\\"), (V{"\\"}));
  EXPECT_TRUE(qmsTIMAP4Session::SplitWords("").empty());
}

TEST(IMAP4Folders, NamesStayInsideTheUserFolder) {
  EXPECT_EQ(qmsTIMAP4Session::FolderName("INBOX"), "Inbox");
  EXPECT_EQ(qmsTIMAP4Session::FolderName("inbox/Sub"), "Inbox/Sub");
  EXPECT_EQ(qmsTIMAP4Session::FolderName("Work/inbox"), "Work/inbox");
  EXPECT_EQ(qmsTIMAP4Session::FolderName("Drafts/"), "Drafts");
  for (const char* bad :
       {"", "/", "..", "../x", "a/../b", "a//b", "/abs", ".hidden", "a/.b", "a\\b", "a\"b", "a*",
        "b%", "tab\there", "bell\x07", "\xe4rger", ".subscriptions.imap"})
    EXPECT_EQ(qmsTIMAP4Session::FolderName(bad), "") << bad;
  std::string deep;
  for (int i = 0; i < 33; ++i) deep += "d/";
  EXPECT_EQ(qmsTIMAP4Session::FolderName(deep), "");
  EXPECT_EQ(qmsTIMAP4Session::FolderName(std::string(1025, 'x')), "");
}

TEST(IMAP4Patterns, StarPercentAndQuestionMark) {
  EXPECT_TRUE(qmsTIMAP4Session::MatchPattern("*", "a/b/c"));
  EXPECT_TRUE(qmsTIMAP4Session::MatchPattern("%", "abc"));
  EXPECT_FALSE(qmsTIMAP4Session::MatchPattern("%", "a/b"));
  EXPECT_TRUE(qmsTIMAP4Session::MatchPattern("a/%", "A/B"));
  EXPECT_TRUE(qmsTIMAP4Session::MatchPattern("in?ox", "Inbox"));
  EXPECT_FALSE(qmsTIMAP4Session::MatchPattern("", "x"));
  EXPECT_FALSE(qmsTIMAP4Session::MatchPattern("x*y", "xay/"));
  EXPECT_TRUE(
      qmsTIMAP4Session::MatchPattern(std::string(500, '*') + "z", std::string(1000, 'a') + "z"));
}

TEST_F(IMAP4Session, GreetingCapabilityLoginAndLogout) {
  WriteConfig();
  StartServer();
  Client c(imap4_port_);
  ASSERT_TRUE(c.connected);
  EXPECT_EQ(c.Line(), kGreeting);
  EXPECT_EQ(Run(c, "a1", "capability"),
            (std::vector<std::string>{"* CAPABILITY IMAP4rev1", "a1 OK CAPABILITY completed"}));
  EXPECT_EQ(Run(c, "a2", "NOOP").back(), "a2 OK NOOP completed");
  // Before LOGIN every folder command is in the wrong state.
  EXPECT_EQ(Run(c, "a3", "LIST \"\" *").back(),
            "a3 BAD LIST needs a reference and a pattern, after LOGIN and before SELECT");
  EXPECT_EQ(Run(c, "a4", "SELECT INBOX").back().rfind("a4 BAD", 0), 0u);
  EXPECT_EQ(Run(c, "a5", "LOGIN nobody x").back(), "a5 NO LOGIN failed");
  EXPECT_EQ(Run(c, "a6", "LOGIN bob wrong").back(), "a6 NO LOGIN failed");
  EXPECT_EQ(Run(c, "a7", "LOGIN bob").back().rfind("a7 BAD", 0), 0u);
  EXPECT_EQ(Run(c, "a8", "LOGIN bob secret extra").back().rfind("a8 BAD", 0), 0u);
  EXPECT_EQ(Run(c, "a9", "LOGIN \"BOB\" \"secret\"").back(), "a9 OK LOGIN completed");
  EXPECT_EQ(Run(c, "b1", "LOGIN bob secret").back().rfind("b1 BAD", 0), 0u);
  EXPECT_EQ(Run(c, "b2", "XYZZY").back(), "b2 BAD Command not recognized");
  EXPECT_EQ(Run(c, "b3", "LOGOUT"), (std::vector<std::string>{kBye, "b3 OK LOGOUT completed"}));
  EXPECT_TRUE(c.Closed());
  ASSERT_TRUE(WaitFor([&] { return LogHas("IMAP4", "Client session ended"); }));
  EXPECT_TRUE(LogHas("IMAP4", "- Connection from \"127.0.0.1\" accepted"));
  EXPECT_TRUE(LogHas("IMAP4", "Unknown user \"nobody\", failed identification attempt"));
  // LOGIN made the user folder and its Inbox.
  EXPECT_TRUE(std::filesystem::is_directory(Folder("Inbox")));
}

TEST_F(IMAP4Session, LogoutWithAnArgumentIsBadAndStillEnds) {
  WriteConfig();
  StartServer();
  Client c(imap4_port_);
  c.Line();
  EXPECT_EQ(Run(c, "z", "LOGOUT now"),
            (std::vector<std::string>{"z BAD LOGOUT takes no arguments"}));
  EXPECT_TRUE(c.Closed());
}

TEST_F(IMAP4Session, UnsupportedCommandsAreBadInEveryState) {
  WriteConfig();
  PutMessage("bob", "000000000001", "Subject: x\r\n\r\nx\r\n");
  StartServer();
  Client c(imap4_port_);
  c.Line();
  const char* const kCommands[] = {"AUTHENTICATE PLAIN",
                                   "EXAMINE INBOX",
                                   "STATUS INBOX (MESSAGES)",
                                   "APPEND INBOX {3}",
                                   "CHECK",
                                   "CLOSE",
                                   "EXPUNGE",
                                   "SEARCH ALL",
                                   "FETCH 1 BODY[]",
                                   "STORE 1 +FLAGS (\\Seen)",
                                   "COPY 1 x",
                                   "UID FETCH 1 BODY[]"};
  for (int state = 0; state < 3; ++state) {
    for (const char* cmd : kCommands) {
      std::string verb = std::string(cmd).substr(0, std::string(cmd).find(' '));
      c.Send(std::string("u ") + cmd);
      if (verb == "APPEND") {  // its literal follows the go-ahead
        EXPECT_EQ(c.Line(), "+ Ready for literal data");
        c.Send("abc");
      }
      EXPECT_EQ(Replies(c, "u").back(), "u BAD " + verb + " not supported") << state << cmd;
    }
    if (state == 0) {
      EXPECT_EQ(Run(c, "l", "LOGIN bob secret").back(), "l OK LOGIN completed");
    }
    if (state == 1) {
      EXPECT_EQ(Run(c, "s", "SELECT INBOX").back(), "s OK [READ-WRITE] SELECT completed");
    }
  }
  // An overlong line and a line without a tag are answered untagged.
  EXPECT_EQ(Run(c, "*", std::string(20000, 'x')).back(), "* BAD Command not recognized");
  c.Send("");
  EXPECT_EQ(c.Line(), "* BAD Command not recognized");
}

TEST_F(IMAP4Session, CreateRenameDeleteAndList) {
  WriteConfig();
  StartServer();
  auto c = Login();
  EXPECT_EQ(Run(*c, "c1", "CREATE Work").back(), "c1 OK CREATE completed");
  EXPECT_EQ(Run(*c, "c2", "CREATE \"Work/2024 Q1\"").back(), "c2 OK CREATE completed");
  EXPECT_EQ(Run(*c, "c3", "CREATE Archive/Old/").back(), "c3 OK CREATE completed");
  EXPECT_EQ(Run(*c, "c4", "CREATE work").back(),
            "c4 OK CREATE completed");  // names keep their case
  EXPECT_EQ(Run(*c, "c5", "CREATE Work").back(), "c5 NO Unable to create the mailbox");
  EXPECT_EQ(Run(*c, "c6", "CREATE inbox").back(), "c6 NO Unable to create the mailbox");
  EXPECT_EQ(Run(*c, "c7", "CREATE Inbox/Sub").back(), "c7 OK CREATE completed");
  // Things that are not folders stay out of the listing.
  WriteFile(Folder("notes.txt"), "x");
  std::filesystem::create_directories(Folder(".hidden"));
  PutMessage("bob", "000000000001", "Subject: x\r\n\r\nx\r\n");
  symlink(".", Folder("Work/loop").c_str());
  symlink("/etc", Folder("etc").c_str());

  EXPECT_EQ(
      Run(*c, "l1", "LIST \"\" *"),
      (std::vector<std::string>{"* LIST () \"/\" \"Archive\"", "* LIST () \"/\" \"Archive/Old\"",
                                "* LIST () \"/\" \"Inbox\"", "* LIST () \"/\" \"Inbox/Sub\"",
                                "* LIST () \"/\" \"Work\"", "* LIST () \"/\" \"Work/2024 Q1\"",
                                "* LIST () \"/\" \"work\"", "l1 OK LIST completed"}));
  EXPECT_EQ(Run(*c, "l2", "LIST \"\" %"),
            (std::vector<std::string>{"* LIST () \"/\" \"Archive\"", "* LIST () \"/\" \"Inbox\"",
                                      "* LIST () \"/\" \"Work\"", "* LIST () \"/\" \"work\"",
                                      "l2 OK LIST completed"}));
  EXPECT_EQ(Run(*c, "l3", "LIST \"\" INBOX/*"),
            (std::vector<std::string>{"* LIST () \"/\" \"Inbox/Sub\"", "l3 OK LIST completed"}));
  EXPECT_EQ(Run(*c, "l4", "LIST \"\" ../*"), (std::vector<std::string>{"l4 OK LIST completed"}));
  // An empty pattern: the hierarchy delimiter.
  EXPECT_EQ(Run(*c, "l5", "LIST \"\" \"\""),
            (std::vector<std::string>{"* LIST (\\Noselect) \"/\" \"\"", "l5 OK LIST completed"}));
  EXPECT_EQ(Run(*c, "l6", "LIST \"\"").back().rfind("l6 BAD", 0), 0u);

  EXPECT_EQ(Run(*c, "r1", "RENAME Work Projects").back(), "r1 OK RENAME completed");
  EXPECT_TRUE(std::filesystem::is_directory(Folder("Projects/2024 Q1")));
  EXPECT_EQ(Run(*c, "r2", "RENAME Projects Archive").back(), "r2 NO Unable to rename the mailbox");
  EXPECT_EQ(Run(*c, "r3", "RENAME Missing Other").back(), "r3 NO Unable to rename the mailbox");
  EXPECT_EQ(Run(*c, "r4", "RENAME Projects Projects/Inside").back().rfind("r4 NO", 0), 0u);
  EXPECT_EQ(Run(*c, "r5", "RENAME Archive/Old New/Deeper").back(), "r5 OK RENAME completed");
  EXPECT_TRUE(std::filesystem::is_directory(Folder("New/Deeper")));
  // Renaming INBOX moves its messages; an empty Inbox takes its place.
  EXPECT_EQ(Run(*c, "r6", "RENAME INBOX Saved").back(), "r6 OK RENAME completed");
  EXPECT_TRUE(Exists(Folder("Saved/000000000001.msg")));
  EXPECT_TRUE(Names(Folder("Inbox")).empty());

  EXPECT_EQ(Run(*c, "d1", "DELETE Projects").back().rfind("d1 NO", 0), 0u);  // not empty
  EXPECT_EQ(Run(*c, "d2", "DELETE \"Projects/2024 Q1\"").back(), "d2 OK DELETE completed");
  EXPECT_EQ(Run(*c, "d3", "DELETE Projects").back().rfind("d3 NO", 0), 0u);  // the link is in it
  std::filesystem::remove(Folder("Projects/loop"));
  EXPECT_EQ(Run(*c, "d4", "DELETE Projects").back(), "d4 OK DELETE completed");
  EXPECT_EQ(Run(*c, "d5", "DELETE INBOX").back().rfind("d5 NO", 0), 0u);
  EXPECT_EQ(Run(*c, "d6", "DELETE etc").back().rfind("d6 NO", 0), 0u);
  EXPECT_TRUE(Exists(Folder("etc")));
  EXPECT_EQ(Run(*c, "d7", "DELETE Projects").back().rfind("d7 NO", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(Folder("Inbox")));
}

TEST_F(IMAP4Session, FolderNamesNeverLeaveTheUserFolder) {
  WriteConfig();
  StartServer();
  WriteUser("eve", "Username=eve\r\nPassword=-pw\r\n");
  std::filesystem::create_directories("home/eve/.mailbox/Secret");
  auto c = Login();
  for (const char* name : {"../x", "../../eve/.mailbox/Secret", "/etc", "a/../../x", ".x", "\"..\"",
                           "Inbox/../../../x", "\"a\\\\..\\\\b\""}) {
    EXPECT_EQ(Run(*c, "c", std::string("CREATE ") + name).back().rfind("c NO", 0), 0u) << name;
    EXPECT_EQ(Run(*c, "s", std::string("SELECT ") + name).back().rfind("s NO", 0), 0u) << name;
    EXPECT_EQ(Run(*c, "d", std::string("DELETE ") + name).back().rfind("d NO", 0), 0u) << name;
    EXPECT_EQ(Run(*c, "r", std::string("RENAME ") + name + " y").back().rfind("r NO", 0), 0u);
    EXPECT_EQ(Run(*c, "b", std::string("SUBSCRIBE ") + name).back().rfind("b BAD", 0), 0u);
  }
  EXPECT_EQ(Names("home"), (std::vector<std::string>{"bob", "eve"}));
  EXPECT_EQ(Names("home/bob/.mailbox"), (std::vector<std::string>{"Inbox"}));
  EXPECT_TRUE(std::filesystem::is_directory("home/eve/.mailbox/Secret"));
}

TEST_F(IMAP4Session, SubscriptionsAndLsub) {
  WriteConfig();
  StartServer();
  auto c = Login();
  EXPECT_EQ(Run(*c, "s1", "SUBSCRIBE INBOX").back(), "s1 OK SUBSCRIBE completed");
  EXPECT_EQ(Run(*c, "s2", "SUBSCRIBE \"Lists/qms users\"").back(), "s2 OK SUBSCRIBE completed");
  EXPECT_EQ(Run(*c, "s3", "SUBSCRIBE Archive").back(), "s3 OK SUBSCRIBE completed");
  EXPECT_EQ(Run(*c, "s4", "SUBSCRIBE Archive").back(), "s4 OK SUBSCRIBE completed");
  EXPECT_EQ(ReadFile(Folder(".subscriptions.imap")), "Archive\r\nInbox\r\nLists/qms users\r\n");
  EXPECT_EQ(
      Run(*c, "l1", "LSUB \"\" *"),
      (std::vector<std::string>{"* LSUB () \"/\" \"Archive\"", "* LSUB () \"/\" \"Inbox\"",
                                "* LSUB () \"/\" \"Lists/qms users\"", "l1 OK LSUB completed"}));
  EXPECT_EQ(Run(*c, "l2", "LSUB \"\" %"),
            (std::vector<std::string>{"* LSUB () \"/\" \"Archive\"", "* LSUB () \"/\" \"Inbox\"",
                                      "l2 OK LSUB completed"}));
  EXPECT_EQ(Run(*c, "l3", "LSUB \"\" in?OX"),
            (std::vector<std::string>{"* LSUB () \"/\" \"Inbox\"", "l3 OK LSUB completed"}));
  EXPECT_EQ(Run(*c, "u1", "UNSUBSCRIBE Archive").back(), "u1 OK UNSUBSCRIBE completed");
  EXPECT_EQ(Run(*c, "u2", "UNSUBSCRIBE Never").back(), "u2 OK UNSUBSCRIBE completed");
  EXPECT_EQ(ReadFile(Folder(".subscriptions.imap")), "Inbox\r\nLists/qms users\r\n");

  // While another session holds the list, changes are refused rather than lost.
  jvbTTextFile held;
  held.Init(Folder(".subscriptions.imap"), jvb::fmReadWriteExclusive);
  ASSERT_TRUE(held.Open());
  EXPECT_EQ(Run(*c, "b1", "SUBSCRIBE Other").back(),
            "b1 NO Unable to change the subscriptions now");
  EXPECT_EQ(Run(*c, "b2", "LSUB \"\" *").back(), "b2 NO Unable to read the subscriptions now");
  held.Close();
  EXPECT_EQ(Run(*c, "b3", "SUBSCRIBE Other").back(), "b3 OK SUBSCRIBE completed");
}

TEST_F(IMAP4Session, SelectCountsNewMessagesAsRecentOnce) {
  WriteConfig();
  PutMessage("bob", "000000000001", "Subject: 1\r\n\r\none\r\n");
  PutMessage("bob", "000000000002", "Subject: 2\r\n\r\ntwo\r\n");
  // A flag file whose message POP3 has deleted, with the backup a configuration writer
  // leaves beside it; and a FIFO that must never be opened.
  WriteFile(Folder("Inbox/00000000DEAD.qms"), "[IMAP]\r\nRecent=1\r\n");
  WriteFile(Folder("Inbox/00000000DEAD.bak"), "");
  WriteFile(Folder("Inbox/00000000BEEF.bak"), "");
  ASSERT_EQ(mkfifo(Folder("Inbox/000000000000.msg").c_str(), 0600), 0);
  StartServer();
  {
    auto c = Login();
    EXPECT_EQ(Run(*c, "s1", "SELECT inbox"),
              (std::vector<std::string>{"* 2 EXISTS", "* 2 RECENT",
                                        "s1 OK [READ-WRITE] SELECT completed"}));
    // One folder per session: a second SELECT, and folder commands, are in the wrong state.
    EXPECT_EQ(Run(*c, "s2", "SELECT INBOX").back().rfind("s2 BAD SELECT", 0), 0u);
    EXPECT_EQ(Run(*c, "s3", "CREATE x").back().rfind("s3 BAD", 0), 0u);
    EXPECT_EQ(Run(*c, "s4", "LIST \"\" *").back().rfind("s4 BAD", 0), 0u);
  }
  EXPECT_EQ(Names(Folder("Inbox")),
            (std::vector<std::string>{"000000000000.msg", "000000000001.msg", "000000000001.qms",
                                      "000000000002.msg", "000000000002.qms"}));
  EXPECT_EQ(ReadFile(Folder("Inbox/000000000001.qms")), "[IMAP]\r\nRecent=1\r\n");

  // POP3 deletes a message and leaves its flag file; the next SELECT sweeps it away.
  std::filesystem::remove(Folder("Inbox/000000000001.msg"));
  PutMessage("bob", "000000000003", "Subject: 3\r\n\r\nthree\r\n");
  auto d = Login();
  EXPECT_EQ(Run(*d, "t1", "SELECT INBOX"),
            (std::vector<std::string>{"* 2 EXISTS", "* 1 RECENT",
                                      "t1 OK [READ-WRITE] SELECT completed"}));
  EXPECT_FALSE(Exists(Folder("Inbox/000000000001.qms")));
  auto e = Login();
  EXPECT_EQ(Run(*e, "t2", "SELECT INBOX"),
            (std::vector<std::string>{"* 2 EXISTS", "* 0 RECENT",
                                      "t2 OK [READ-WRITE] SELECT completed"}));
  EXPECT_EQ(Run(*e, "t3", "SELECT Missing").back(),
            "t3 BAD SELECT needs one mailbox name, after LOGIN and before any other SELECT");
  auto f = Login();
  EXPECT_EQ(Run(*f, "t4", "SELECT Missing").back(), "t4 NO No such mailbox");
}

TEST_F(IMAP4Session, PasswordsWithQuotesAndTheAnonymousAccount) {
  WriteConfig();
  StartServer();
  WriteUser("dave", "Username=dave\r\nPassword=-a\"b\\c d\r\n");
  Client c(imap4_port_);
  c.Line();
  EXPECT_EQ(Run(c, "a", R"(LOGIN dave "a\"b\\c d")").back(), "a OK LOGIN completed");
  Client d(imap4_port_);
  d.Line();
  EXPECT_EQ(Run(d, "b", "LOGIN anon anything").back(), "b NO LOGIN failed");
  EXPECT_FALSE(Exists("home/anon"));
}

TEST(IMAP4Words, ALiteralIsTheLastWordOutsideQuotes) {
  for (const auto& [line, rest, size] : std::vector<std::tuple<std::string, std::string, size_t>>{
           {"a LOGIN {5}", "a LOGIN ", 5}, {" {0}", " ", 0}, {"{12}", "", 12}}) {
    std::string l = line;
    size_t n = 99;
    EXPECT_TRUE(qmsTIMAP4Session::LiteralAtEnd(l, n)) << line;
    EXPECT_EQ(l, rest);
    EXPECT_EQ(n, size);
  }
  for (const std::string line : {"a LOGIN x{5}", "a LOGIN \"x {5}", "a {5+}", "a {}", "a {x}",
                                 "a {12345678901}", "a {5} b"}) {
    std::string l = line;
    size_t n = 0;
    EXPECT_FALSE(qmsTIMAP4Session::LiteralAtEnd(l, n)) << line;
    EXPECT_EQ(l, line);
  }
}

TEST_F(IMAP4Session, LiteralsStandForAnyArgument) {
  WriteConfig();
  StartServer();
  WriteUser("dave", "Username=dave\r\nPassword=-a\"b\\c d\r\n");
  Client c(imap4_port_);
  c.Line();
  // Each "{n}" gets the go-ahead; its bytes are the argument, whatever they hold.
  c.Send("a LOGIN {4}");
  EXPECT_EQ(c.Line(), "+ Ready for literal data");
  c.Send("dave {7}");
  EXPECT_EQ(c.Line(), "+ Ready for literal data");
  c.Send("a\"b\\c d");
  EXPECT_EQ(Replies(c, "a").back(), "a OK LOGIN completed");
  c.Send("b CREATE {7}");
  EXPECT_EQ(c.Line(), "+ Ready for literal data");
  c.Send("My Work");
  EXPECT_EQ(Replies(c, "b").back(), "b OK CREATE completed");
  EXPECT_TRUE(std::filesystem::is_directory("home/dave/.mailbox/My Work"));
  // Too large: refused in place of the go-ahead, and the next command is understood.
  EXPECT_EQ(Run(c, "t", "CREATE {65537}").back(), "t BAD Literal too large");
  EXPECT_EQ(Run(c, "n", "NOOP").back(), "n OK NOOP completed");
  EXPECT_EQ(Names("home/dave/.mailbox"), (std::vector<std::string>{"Inbox", "My Work"}));
}

TEST_F(IMAP4Session, WithoutAVfsMappingLoginFails) {
  WriteConfig("HomeDirectory=/home\r\n", "", "/www=ftp\r\n");
  StartServer();
  Client c(imap4_port_);
  c.Line();
  EXPECT_EQ(Run(c, "a", "LOGIN bob secret").back(), "a NO LOGIN failed");
  EXPECT_EQ(Run(c, "b", "LIST \"\" *").back().rfind("b BAD", 0), 0u);
  EXPECT_TRUE(Names("ftp").empty());
  EXPECT_TRUE(Names("home").empty());
  ASSERT_TRUE(WaitFor([&] { return LogHas("IMAP4", "Unable to create mailbox"); }));
}

TEST_F(IMAP4Session, RefusedClientsGetTheByeLine) {
  client_address_ = "!127.0.0.1";
  WriteConfig();
  StartServer();
  Client c(imap4_port_);
  EXPECT_EQ(c.Line(), kBye);
  EXPECT_TRUE(c.Closed());
  ASSERT_TRUE(WaitFor([&] { return LogHas("IMAP4", "Client session ended"); }));
  EXPECT_TRUE(LogHas("IMAP4", "- Connection from \"127.0.0.1\" rejected"));
}

}  // namespace

namespace {

// Every key the session sends is in the shipped message file with the tag or "* " first.
TEST(IMAP4Replies, TheShippedFileHasEveryKey) {
  jvbTTextConfig res(mailtest::SourceDir() + "/documentation/messages/imap4/imap4.res");
  const std::vector<std::pair<std::string, std::vector<std::string>>> keys = {
      {"GLOBAL", {"BADz", "BADl"}},
      {"CAPABILITY", {"a", "b", "c", "OKa"}},
      {"NOOP", {"OKa"}},
      {"LOGOUT", {"OKa", "BADa"}},
      {"LOGIN", {"OKa", "NOa", "NOb", "BADa"}},
      {"STARTTLS", {"OKa", "BADa"}},
      {"SELECT", {"a", "b", "OKa", "NOa", "BADa"}},
      {"CREATE", {"OKa", "NOa", "BADa"}},
      {"DELETE", {"OKa", "NOa", "BADa"}},
      {"RENAME", {"OKa", "NOa", "BADa"}},
      {"SUBSCRIBE", {"OKa", "NOa", "BADa"}},
      {"UNSUBSCRIBE", {"OKa", "NOa", "BADa"}},
      {"LIST", {"OKa", "BADa"}},
      {"LSUB", {"OKa", "NOa", "BADa"}},
  };
  auto expectStart = [&](const std::string& section, const std::string& key) {
    std::string value, twin;
    ASSERT_TRUE(res.ReadValue(section, key, value)) << section << "/" << key;
    std::string start =
        key.size() == 1 ? "* " : "%(imap.identifier) " + key.substr(0, key.size() - 1) + " ";
    EXPECT_EQ(value.rfind(start, 0), 0u) << section << "/" << key << ": " << value;
    if (jvb::AsciiUpper(key) != key) {
      EXPECT_FALSE(res.ReadValue(section, jvb::AsciiUpper(key), twin)) << section << "/" << key;
    }
  };
  for (const auto& [section, list] : keys)
    for (const std::string& key : list) expectStart(section, key);
  for (const char* section : {"AUTHENTICATE", "EXAMINE", "STATUS", "APPEND", "CHECK", "CLOSE",
                              "EXPUNGE", "SEARCH", "FETCH", "STORE", "COPY", "UID"})
    expectStart(section, "BADz");
  std::string v;
  res.ReadValue("CAPABILITY", "a", v);
  EXPECT_EQ(v, "* CAPABILITY IMAP4rev1");
  res.ReadValue("SELECT", "a", v);
  EXPECT_EQ(v, "* %(imap.messages) EXISTS");
  res.ReadValue("SELECT", "b", v);
  EXPECT_EQ(v, "* %(imap.messagesrecent) RECENT");
}

}  // namespace
