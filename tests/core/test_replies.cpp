#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/core/builtinreplies.h"
#include "server/core/group.h"
#include "server/core/hooks.h"
#include "server/core/service.h"
#include "server/core/session.h"
#include "server/core/template.h"
#include "tests/support/sitetest.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"

namespace {

void Put(const std::string& path, const std::string& text) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) jvb::ForceDirectories(path.substr(0, slash));
  std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
  std::string s;
  jvb::ReadWholeFile(path, s);
  return s;
}

class TestSession : public qmsTSession {
 public:
  using qmsTSession::qmsTSession;
  void UseMessages(const std::string& file) { messages_ = std::make_unique<jvbTTextConfig>(file); }
};

// What the fake REXX runner saw and answers.
struct RexxCall {
  std::string script, argument;
};

// A site in a temporary directory with one group and one FTP service that logs to
// log/ftp.log, a message file of the session's own, and recording hook runners.
class RepliesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    Put("config/test/test.cfg", "[FTP]\r\nProtocol=ftp\r\n");
    jvb::ForceDirectories("log");
    jvb::ForceDirectories("tmp");
    Put("messages/test.res",
        "[GREET]\r\n"
        "220a=220 %(vers) ready\r\n"
        "221a=221 Bye\r\n"
        "221A=messages/banner.txt\r\n"
        "500a=500 No file\r\n"
        "500A=messages/missing.txt\r\n"
        "221B=221 upper-case key\r\n"
        "hooka=230 Done\r\n"
        "HOOKA=scripts/lead.rexx %(vers)\r\n");
    Put("messages/banner.txt", "Welcome to %(vers)\r\nline two\nline three\rlast");
    Put("scripts/lead.rexx", "/* leading block */\r\n");
    Put("scripts/h.rexx", "/* hook */\r\n");
    group_ = std::make_unique<qmsTGroup>(nullptr, "test");
    service_ = std::make_unique<qmsTService>(group_.get(), "FTP");
    ASSERT_TRUE(service_->SetLogFile("log/ftp.log"));
    qmsHookRunners().rexx = [this](qmsTSession&, const std::string& script,
                                   const std::string& argument, std::string& output) {
      calls_.push_back({script, argument});
      output = rexx_output_;
      return rexx_rc_;
    };
  }
  void TearDown() override { qmsHookRunners() = qmsTHookRunners{}; }

  // Runs act on a fresh session whose client socket is one end of a socket pair, and
  // returns every byte that arrived at the other end.
  std::string Client(const std::function<void(TestSession&)>& act, bool withService = true,
                     int debugFlag = 0) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::string received;
    std::thread reader([&] {
      char buf[65536];
      ssize_t n;
      while ((n = read(sv[1], buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
    });
    {
      TestSession session(withService ? service_.get() : nullptr);
      session.UseMessages("messages/test.res");
      session.DebugFlag = debugFlag;
      session.HandOver(std::make_unique<jvbTSocket>(sv[0]));
      handle_ = sv[0];
      act(session);
    }
    reader.join();
    close(sv[1]);
    return received;
  }

  std::string Log() { return Get("log/ftp.log"); }

  TempDir dir_;
  std::unique_ptr<qmsTGroup> group_;
  std::unique_ptr<qmsTService> service_;
  std::vector<RexxCall> calls_;
  int rexx_rc_ = 0;
  std::string rexx_output_ = "0";
  int handle_ = -1;
};

TEST_F(RepliesTest, RepliesByKeyWithAndWithoutLeadingBlock) {
  // No upper-case companion: exactly one line, expanded.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("220a", "GREET"); }), "220 0.9.5 ready\r\n");
  // Section names ignore case; keys do not.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("220a", "greet"); }), "220 0.9.5 ready\r\n");
  // Missing entries send an empty line.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("nokey", "GREET"); }), "\r\n");
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("220a", "NOSECTION"); }), "\r\n");
  // The companion names a file: its lines first, each behind the reply's first three
  // characters and "-", lines ending in CR LF, LF or CR alike, each line expanded.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("221a", "GREET"); }),
            "221-Welcome to 0.9.5\r\n221-line two\r\n221-line three\r\n221-last\r\n221 Bye\r\n");
  // A companion naming a missing file: only the reply line.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("500a", "GREET"); }), "500 No file\r\n");
  // A key without lower-case letters is its own upper-case form and has no companion:
  // its text is a reply line, never a file name.
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("221A", "GREET"); }), "messages/banner.txt\r\n");
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("221B", "GREET"); }), "221 upper-case key\r\n");
}

TEST_F(RepliesTest, LeadingBlockFileLines) {
  using namespace std::string_literals;
  // A NUL byte ends the file; blank lines are lines; "%(" in a line is expanded.
  Put("messages/nul.txt", "a\r\n\r\nb %(nosuch)\0c\r\nd\r\n"s);
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("messages/nul.txt", "250 ok"); }),
            "250-a\r\n250-\r\n250-b [vErr:nosuch]\r\n250 ok\r\n");
  // Backslashes in the name, surrounding blanks, an empty file, a reply shorter than three.
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("  messages\\banner.txt ", "9"); }),
            "9-Welcome to 0.9.5\r\n9-line two\r\n9-line three\r\n9-last\r\n9\r\n");
  Put("messages/empty.txt", "");
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("messages/empty.txt", "250 ok"); }),
            "250 ok\r\n");
  // A directory is no file.
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("messages", "250 ok"); }), "250 ok\r\n");
  // The block itself is a template.
  Put("messages/0.9.5.txt", "versioned\r\n");
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("messages/%(vers).txt", "250 ok"); }),
            "250-versioned\r\n250 ok\r\n");
}

TEST_F(RepliesTest, BlockLinesAndReplyAreDebugLogged) {
  Client([](TestSession& s) { s.SendTxt("221a", "GREET"); }, true, 8 | 2);
  std::string log = Log();
  EXPECT_NE(log.find("\xAE   0\xAE 221-line two"), std::string::npos) << log;
  EXPECT_NE(log.find("<   0< 221 Bye"), std::string::npos) << log;
  // Block lines are kind 8 only, not kind 2.
  EXPECT_EQ(log.find("<   0< 221-line two"), std::string::npos) << log;

  Put("log/ftp.log", "");
  Client([](TestSession& s) { s.SendTxt("221a", "GREET"); }, true, 2);
  EXPECT_NE(Log().find("<   0< 221 Bye"), std::string::npos);
  EXPECT_EQ(Log().find("\xAE   0\xAE 221-last"), std::string::npos);
}

TEST_F(RepliesTest, DeleteOnlyUnderTmp) {
  Put("tmp/gen.txt", "generated\r\n");
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("tmp/gen.txt !delete", "250 ok"); }),
            "250-generated\r\n250 ok\r\n");
  EXPECT_FALSE(jvb::PathExists("tmp/gen.txt"));

  Put("tmp/sub/gen.txt", "deeper\r\n");
  Client([](TestSession& s) { s.SendCmd("tmp/sub/gen.txt!DELETE", "250 ok"); });
  EXPECT_FALSE(jvb::PathExists("tmp/sub/gen.txt"));

  // Another word after "!" is no delete request, and is not part of the name.
  Put("tmp/kept.txt", "kept\r\n");
  EXPECT_EQ(Client([](TestSession& s) { s.SendCmd("tmp/kept.txt!keep", "250 ok"); }),
            "250-kept\r\n250 ok\r\n");
  EXPECT_TRUE(jvb::PathExists("tmp/kept.txt"));

  // Outside tmp/ the file is sent and kept, and the refusal is logged; also when the
  // way there leads through tmp/ by ".." or a link.
  Put("messages/keep.txt", "precious\r\n");
  ASSERT_EQ(symlink("../messages", "tmp/link"), 0);
  for (const char* block : {"messages/keep.txt !delete", "tmp/../messages/keep.txt!delete",
                            "tmp/link/keep.txt !delete"}) {
    EXPECT_EQ(Client([&](TestSession& s) { s.SendCmd(block, "250 ok"); }),
              "250-precious\r\n250 ok\r\n")
        << block;
    EXPECT_TRUE(jvb::FileExists("messages/keep.txt")) << block;
  }
  EXPECT_NE(Log().find("\"messages/keep.txt\" kept"), std::string::npos) << Log();
  EXPECT_NE(Log().find("\"tmp/link/keep.txt\" kept"), std::string::npos) << Log();
}

TEST_F(RepliesTest, LeadingBlockThroughHook) {
  // The hook gets the expanded block and the reply; its output names the file to send.
  Put("tmp/hooked.txt", "from hook %(vers)\r\n");
  rexx_output_ = "tmp/hooked.txt !delete";
  EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("hooka", "GREET"); }),
            "230-from hook 0.9.5\r\n230 Done\r\n");
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].script, "scripts/lead.rexx");
  EXPECT_EQ(calls_[0].argument, std::to_string(handle_) + " 0.9.5 230 Done");
  EXPECT_FALSE(jvb::PathExists("tmp/hooked.txt"));

  // A hook with nothing to add ("0", empty, a missing file): only the reply.
  for (const char* out : {"0", "", "tmp/none.txt"}) {
    rexx_output_ = out;
    EXPECT_EQ(Client([](TestSession& s) { s.SendTxt("hooka", "GREET"); }), "230 Done\r\n") << out;
  }
  // Upper-case extension and backslashes reach the same runner.
  Put("scripts/UP.REXX", "");
  calls_.clear();
  rexx_output_ = "0";
  Client([](TestSession& s) { s.SendCmd("scripts\\UP.REXX a", "200 x"); });
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].script, "scripts/UP.REXX");
  EXPECT_EQ(calls_[0].argument, std::to_string(handle_) + " a 200 x");
}

TEST_F(RepliesTest, ValuesAndClientTextNeverComeAlive) {
  // A variable's value expanded into the block is not expanded again in the hook's
  // arguments, and client text put into a reply is sent as it came.
  const std::string client = qmsNeutralizeTemplate("%(configfile)");
  std::string got = Client([&](TestSession& s) {
    s.Variables().AddValue("session.evil", "%(vers)");
    s.SendCmd("scripts/lead.rexx %(session.evil)", "550 " + client + " %(vers)");
  });
  EXPECT_EQ(got, "550 %(configfile) 0.9.5\r\n");
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].argument, std::to_string(handle_) + " %(vers) 550 %(configfile) 0.9.5");

  // The same for block lines: a file line that pulls in a value with "%(".
  Put("messages/vals.txt", "v=%(session.evil)\r\n");
  got = Client([&](TestSession& s) {
    s.Variables().AddValue("session.evil", "%(vers)");
    s.SendCmd("messages/vals.txt", "250 ok");
  });
  EXPECT_EQ(got, "250-v=%(vers)\r\n250 ok\r\n");
}

TEST_F(RepliesTest, CallHookResultMapping) {
  struct Case {
    int rc;
    const char* output;
    int result;
  };
  for (Case c : {Case{0, "", 0}, Case{0, "0", 0}, Case{0, "550 No&", 1}, Case{2, "x", 2},
                 Case{2, "0", 2}, Case{-1, "", 0}}) {
    rexx_rc_ = c.rc;
    rexx_output_ = c.output;
    std::string output = "stale";
    int result = -99;
    Client([&](TestSession& s) { result = s.CallHook(output, "scripts/h.rexx a b"); });
    EXPECT_EQ(result, c.result) << c.rc << " " << c.output;
  }
  ASSERT_EQ(calls_.size(), 6u);
  EXPECT_EQ(calls_[0].script, "scripts/h.rexx");
  EXPECT_EQ(calls_[0].argument, std::to_string(handle_) + " a b");
}

TEST_F(RepliesTest, CallHookThatDoesNotRun) {
  std::string output;
  int result = -99;
  for (const char* command : {"scripts/none.rexx a", " scripts/h.rexx", "",
                              "config/test/test.cfg x", "scripts/h.txt", "missing.so entry"}) {
    output = "stale";
    Client([&](TestSession& s) { result = s.CallHook(output, command); });
    EXPECT_EQ(result, 0) << command;
    EXPECT_EQ(output, "0") << command;
  }
  EXPECT_TRUE(calls_.empty());

  // Without runners every hook lets the session go on.
  qmsHookRunners() = qmsTHookRunners{};
  Put("lib/plug.so", "");
  for (const char* command : {"scripts/h.rexx a", "lib/plug.so entry"}) {
    output = "stale";
    Client([&](TestSession& s) { result = s.CallHook(output, command); });
    EXPECT_EQ(result, 0) << command;
    EXPECT_EQ(output, "0") << command;
  }
}

TEST_F(RepliesTest, PluginHooks) {
  Put("lib/plug.so", "");
  Put("lib/old.DLL", "");
  struct PluginCall {
    std::string library, entry, arguments;
  };
  std::vector<PluginCall> seen;
  qmsHookRunners().plugin = [&](qmsTSession&, const std::string& library, const std::string& entry,
                                const std::string& arguments, std::string& output) {
    seen.push_back({library, entry, arguments});
    output = "plugged";
    return 7;
  };
  std::string output;
  int result = 0;
  const std::string client = qmsNeutralizeTemplate("%(x)");
  Client([&](TestSession& s) {
    result = s.CallHook(output, "lib/plug.so onUser a %(vers) " + client);
  });
  EXPECT_EQ(result, 7);  // a plug-in's result is the hook's result as it stands
  EXPECT_EQ(output, "plugged");
  Client([&](TestSession& s) { result = s.CallHook(output, "lib\\old.DLL onPass"); });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].library, "lib/plug.so");
  EXPECT_EQ(seen[0].entry, "onUser");
  EXPECT_EQ(seen[0].arguments, "a %(vers) %(x)");  // plug-in arguments are not expanded
  EXPECT_EQ(seen[1].library, "lib/old.DLL");
  EXPECT_EQ(seen[1].entry, "onPass");
  EXPECT_EQ(seen[1].arguments, "");
}

TEST_F(RepliesTest, RunRexxArgumentsOutputAndErrors) {
  std::string output;
  int result = 0;
  rexx_rc_ = 5;
  rexx_output_ = "abc";
  Client([&](TestSession& s) { result = s.RunREXX(output, "scripts/h.rexx %(vers) x  "); });
  EXPECT_EQ(result, 5);
  EXPECT_EQ(output, "abc");
  Client([&](TestSession& s) { result = s.RunREXX(output, "scripts/h.rexx"); });
  // Client text is handed to the script as it came, never expanded.
  const std::string client = qmsNeutralizeTemplate("%(configfile) 5%");
  Client([&](TestSession& s) { s.RunREXX(output, "scripts/h.rexx " + client); });
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(calls_[0].argument, std::to_string(handle_) + " 0.9.5 x");  // trailing blanks go
  EXPECT_EQ(calls_[1].argument, std::to_string(handle_));
  EXPECT_EQ(calls_[2].argument, std::to_string(handle_) + " %(configfile) 5%");

  // A script that does not exist does not run: result 0, output "0".
  calls_.clear();
  output = "stale";
  Client([&](TestSession& s) { result = s.RunREXX(output, "scripts/gone.rexx a"); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(output, "0");
  EXPECT_TRUE(calls_.empty());

  // An interpreter error is logged (category 1) and counts as "go on".
  rexx_rc_ = -4;
  rexx_output_ = "junk";
  Client([&](TestSession& s) { result = s.RunREXX(output, "scripts/h.rexx"); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(output, "0");
  EXPECT_NE(Log().find("[   0] RexxHook error -4 in \"scripts/h.rexx\""), std::string::npos)
      << Log();
  // ... unless category 1 is suppressed.
  rexx_rc_ = -6;
  Client([&](TestSession& s) {
    s.LogFlag = 1;
    s.RunREXX(output, "scripts/h.rexx");
  });
  EXPECT_EQ(Log().find("RexxHook error -6"), std::string::npos);
}

TEST_F(RepliesTest, SessionWithoutService) {
  // Replies come from the session's own message file; logging is silently skipped.
  rexx_rc_ = -1;
  std::string got = Client(
      [](TestSession& s) {
        EXPECT_NE(s.Messages(), nullptr);
        s.SendTxt("221a", "GREET");
        std::string output;
        EXPECT_EQ(s.CallHook(output, "scripts/h.rexx"), 0);
      },
      false);
  EXPECT_EQ(got,
            "221-Welcome to 0.9.5\r\n221-line two\r\n221-line three\r\n221-last\r\n221 Bye\r\n");
}

TEST_F(RepliesTest, OversizedBlockFileIsCut) {
  const std::string line(98, 'x');
  std::string big;
  while (big.size() < kTemplateMaxFileSize + (1u << 20)) big += line + "\r\n";
  Put("tmp/big.txt", big);
  std::string got = Client([](TestSession& s) { s.SendCmd("tmp/big.txt", "250 ok"); });
  const size_t whole = kTemplateMaxFileSize / 100;  // lines that fit the limit completely
  EXPECT_EQ(got.size(), whole * (4 + 98 + 2) + 8);
  EXPECT_EQ(got.substr(got.size() - 8), "250 ok\r\n");
  EXPECT_NE(Log().find("\"tmp/big.txt\" cut at 4194304 bytes"), std::string::npos);
}

TEST_F(RepliesTest, ClientGoneWhileSending) {
  Put("tmp/many.txt", std::string(200000, 'y') + "\r\nz\r\n");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  close(sv[1]);
  TestSession session(service_.get());
  session.HandOver(std::make_unique<jvbTSocket>(sv[0]));
  session.SendCmd("tmp/many.txt !delete", "250 ok");  // returns, and still cleans up
  EXPECT_FALSE(jvb::PathExists("tmp/many.txt"));
}

}  // namespace

namespace {

// What a reply of the key must start with: SMTP and FTP keys begin with their code, POP3
// keys with OK or ERR, IMAP4 keys with the status word before the letter (untagged when
// the key is a letter only).
std::string ExpectedStart(int protocol, const std::string& key) {
  switch (protocol) {
    case prPOP3:
      return key.rfind("OK", 0) == 0 ? "+OK " : "-ERR ";
    case prIMAP4:
      return key.size() == 1 ? "* CAPABILITY IMAP4rev1 STARTTLS"
                             : "%(imap.identifier) " + key.substr(0, key.size() - 1) + " ";
    default:
      return key.substr(0, 3);
  }
}

// Every TLS key has a built-in text with the right code, and the shipped message files
// (the FTP language file too) carry each key with a text of the same start.
TEST(BuiltInReplies, ShippedFilesCarryEveryTlsKey) {
  size_t count = 0;
  const qmsTBuiltInReply* replies = qmsBuiltInReplies(count);
  ASSERT_EQ(count, 25u);
  for (size_t i = 0; i < count; ++i) {
    const qmsTBuiltInReply& r = replies[i];
    std::vector<std::string> files = {qmsProtocolInfo(r.protocol).messages};
    if (r.protocol == prFTP) files.push_back("messages/ftp/ftpde.res");
    const std::string start = ExpectedStart(r.protocol, r.key);
    const std::string where = std::string(r.section) + "/" + r.key;
    EXPECT_EQ(std::string(r.text).rfind(start, 0), 0u) << where << ": " << r.text;
    // SMTP and FTP codes are followed by a blank, or a hyphen on a first line.
    if (r.protocol == prSMTP || r.protocol == prFTP) {
      EXPECT_NE(r.text[3], '\0') << where;
    }
    EXPECT_EQ(qmsBuiltInReply(r.protocol, jvb::AsciiLower(r.section), r.key), r.text);
    for (const std::string& file : files) {
      jvbTTextConfig res(sitetest::SourceDir() + "/documentation/" + file);
      std::string value, twin;
      ASSERT_TRUE(res.ReadValue(r.section, r.key, value)) << file << " " << where;
      EXPECT_EQ(value.rfind(start, 0), 0u) << file << " " << where << ": " << value;
      if (r.protocol == prPOP3 || r.protocol == prIMAP4) {
        EXPECT_FALSE(res.ReadValue(r.section, jvb::AsciiUpper(r.key), twin)) << where;
      }
    }
  }
  // Keys outside the TLS commands keep their old behaviour: no built-in text.
  EXPECT_EQ(qmsBuiltInReply(prSMTP, "HELO", "250b"), nullptr);
  EXPECT_EQ(qmsBuiltInReply(prIMAP4, "AUTH", "234a"), nullptr);
}

}  // namespace
