// REXX hooks through the real interpreter library, in sessions of real services.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "scripttest.h"
#include "server/scripting/rexxfunc.h"
#include "server/scripting/rexxhook.h"
#include "server/scripting/rexxlibrary.h"
#include "server/scripting/scriptsession.h"
#include "toolbox/socket.h"

using namespace scripttest;

namespace {

// The source tree, for the shipped example scripts.
std::string SourceDir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/scripting/"));
}

void InstallShipped(const std::string& name) {
  Put("scripts/" + name, Get(SourceDir() + "/documentation/scripts/" + name));
}

class Rexx : public ScriptSite {
 protected:
  void SetUp() override {
    if (!qmsTRexxLibrary::Instance().Available())
      GTEST_SKIP() << "REXX library " << qmsTRexxLibrary::LibraryName() << " not installed";
    ScriptSite::SetUp();
    Put("scripts/ret.rexx",
        "/* answers as its second word asks */\n"
        "parse arg s mode rest\n"
        "select\n"
        "  when mode = 'zero' then return '0'\n"
        "  when mode = 'empty' then return ''\n"
        "  when mode = 'none' then exit\n"
        "  when mode = 'code' then exit rest\n"
        "  when mode = 'arg' then return '['arg(1)']'\n"
        "  when mode = 'big' then return copies('x', rest)\n"
        "  otherwise return rest\n"
        "end\n");
  }
};

std::string Greeting(Client& c) {
  std::string g = c.Line();
  return g.rfind("+OK ", 0) == 0 ? g.substr(4) : std::string();
}

TEST_F(Rexx, OutputAndReturnCodeMakeTheHookResult) {
  Start();
  Client c(port_);
  const std::string key = Greeting(c);
  ASSERT_FALSE(key.empty());
  // "0" and empty output go on; any other output rejects; a return code is the result.
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx zero"), "= 0 0");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx empty"), "= 0 ");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx none"), "= 0 ");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx text Go away"), "= 1 Go away");
  // The interpreter takes the number a returned string begins with as the return code.
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx text 550 Go away"), "= 550 550 Go away");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx text -ERR no"), "= 1 -ERR no");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx code 7"), "= 7 7");
  // The return code is a signed 16-bit value as the interpreter gives it.
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx code 70000"), "= 4464 70000");
  // One argument: the socket handle, then the arguments with templates expanded and
  // trailing blanks removed; quotes, "&" and "%" reach the script unchanged.
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx arg %(vers)  "), "= 1 [" + key + " arg 0.9.5]");
  EXPECT_EQ(c.Ask("HOOK scripts/ret.rexx arg \"a b\" & 'c' 100% ;x"),
            "= 1 [" + key + " arg \"a b\" & 'c' 100% ;x]");
  // A missing script or no script name: nothing runs.
  EXPECT_EQ(c.Ask("HOOK scripts/missing.rexx zero"), "= 0 0");
  EXPECT_EQ(c.Ask("HOOK  scripts/ret.rexx text x"), "= 0 0");
  // Long results are kept whole.
  std::string big = c.Ask("HOOK scripts/ret.rexx big 300000");
  EXPECT_EQ(big.size(), 4 + 300000u);
  EXPECT_EQ(big.find_first_not_of('x', 4), std::string::npos);
  EXPECT_EQ(c.Ask("QUIT"), "+OK bye");
}

TEST_F(Rexx, InterpreterErrorsAreLoggedAndTheSessionGoesOn) {
  Put("scripts/syntax.rexx", "/* */\nx = (1 + \nreturn 'never'\n");
  Put("scripts/cfg3.rexx", "/* */\nparse arg s\nreturn qmsCFG(s, 'a', 'b')\n");
  Put("scripts/unknownfn.rexx", "/* */\nparse arg s\nreturn qmsFOO(s, 'a')\n");
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  EXPECT_EQ(c.Ask("HOOK scripts/syntax.rexx"), "= 0 0");
  // A server function that fails raises the interpreter's incorrect-call condition.
  EXPECT_EQ(c.Ask("HOOK scripts/cfg3.rexx"), "= 0 0");
  EXPECT_EQ(c.Ask("VAR vers"), "+OK 0.9.5");
  const std::string log = ServiceLog();
  EXPECT_NE(log.find("] RexxHook error -64 in \"scripts/syntax.rexx\""), std::string::npos) << log;
  EXPECT_NE(log.find("] RexxHook error -40 in \"scripts/cfg3.rexx\""), std::string::npos) << log;
}

TEST_F(Rexx, ServerFunctionsWorkOnTheirSessions) {
  Put("config/extra.cfg", "[Mail]\r\nPostmaster=pm@test.local\r\n");
  Put("scripts/cfg.rexx",
      "/* */\nparse arg s\n"
      "return qmsCFG(s, 'config/extra.cfg', 'MAIL', 'Postmaster')'|'"
      "qmsCFG('ignored', 'config/extra.cfg', 'mail', 'Nokey')'|'"
      "qmsCFG(s, 'config\\nofile.cfg', 'MAIL', 'Postmaster')'|'\n");
  Put("scripts/var.rexx", "/* */\nparse arg s\nreturn qmsVar(s, '%(usr.username)/%(localhost)')\n");
  Put("scripts/log.rexx", "/* */\nparse arg s text\ncall QMSLOG ' 's' ', text\nreturn 0\n");
  Put("scripts/say.rexx", "/* */\nparse arg s target text\ncall qmsSay target, text\nreturn 0\n");
  Put("scripts/longvar.rexx", "/* */\nparse arg s\nreturn qmsVAR(s, copies('ab', 700))\n");
  Start();
  Client a(port_);
  Client b(other_port_);  // a session of another group's service
  const std::string ka = Greeting(a);
  const std::string kb = Greeting(b);
  ASSERT_FALSE(ka.empty());
  ASSERT_FALSE(kb.empty());

  EXPECT_EQ(a.Ask("HOOK scripts/cfg.rexx"), "= 1 pm@test.local|||");
  EXPECT_FALSE(jvb::FileExists("config/nofile.cfg"));  // asking never creates a file

  EXPECT_EQ(a.Ask("HOOK scripts/var.rexx"), "= 1 /test.local");
  EXPECT_EQ(a.Ask("USER Bob"), "USER 1");
  EXPECT_EQ(a.Ask("HOOK scripts/var.rexx"), "= 1 bob/test.local");
  // Results longer than the interpreter's own buffer.
  std::string abab;
  for (int i = 0; i < 700; ++i) abab += "ab";
  EXPECT_EQ(a.Ask("HOOK scripts/longvar.rexx"), "= 1 " + abab);

  // The session word may carry blanks; the text goes to the service log.
  EXPECT_EQ(a.Ask("HOOK scripts/log.rexx logged by a script"), "= 0 0");
  EXPECT_NE(ServiceLog().find("] logged by a script"), std::string::npos) << ServiceLog();

  // qmsSAY reaches the session named, here one of another group.
  EXPECT_EQ(a.Ask("HOOK scripts/say.rexx " + ka + " to myself"), "to myself");
  EXPECT_EQ(a.Line(), "= 0 0");
  EXPECT_EQ(a.Ask("HOOK scripts/say.rexx " + kb + " hello \"b\" & co"), "= 0 0");
  EXPECT_EQ(b.Line(), "hello \"b\" & co");
  // A session that has ended cannot be reached: the call fails and so does the script.
  EXPECT_EQ(b.Ask("QUIT"), "+OK bye");
  ASSERT_TRUE(WaitFor([&] { return other_->Services()[0]->ActiveCount() == 0; }));
  EXPECT_EQ(a.Ask("HOOK scripts/say.rexx " + kb + " gone"), "= 0 0");
  EXPECT_NE(ServiceLog().find("RexxHook error -40 in \"scripts/say.rexx\""), std::string::npos);
}

TEST_F(Rexx, SameHookFromManySessionsAtOnce) {
  Put("scripts/who.rexx",
      "/* */\nparse arg s\n"
      "do i = 1 to 200; x = qmsVAR(s, '%(sock)'); end\n"
      "return 'k' || s || '|' || x || '|' || qmsVAR(s, '%(ctid)')\n");
  Start();
  constexpr int kClients = 16;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::string> keys;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port_));
    keys.push_back(Greeting(*clients.back()));
    ASSERT_FALSE(keys.back().empty());
  }
  for (int round = 0; round < 3; ++round) {
    for (auto& c : clients) c->Send("HOOK scripts/who.rexx");
    std::set<std::string> threads;
    for (int i = 0; i < kClients; ++i) {
      std::string answer = clients[i]->Line();
      const std::string own = "= 1 k" + keys[i] + "|" + keys[i] + "|";
      ASSERT_EQ(answer.rfind(own, 0), 0u) << answer;
      threads.insert(answer.substr(own.size()));
    }
    EXPECT_EQ(threads.size(), static_cast<size_t>(kClients));  // each on its own thread
  }
}

// The shipped greeting (the connect filter, the logger and motd.rexx run in the
// process-level tests): continuation lines sent with qmsSAY ahead of the reply.
TEST_F(Rexx, ShippedGreeting) {
  InstallShipped("greeting.rexx");
  Put("messages/pop3/pop3.res",
      "[GREET]\r\n220a=220 %(localhost) ready\r\n220A=scripts/greeting.rexx\r\n");
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  c.Send("TXT 220a GREET");
  EXPECT_EQ(c.Line().rfind("220-Hello ", 0), 0u);
  EXPECT_EQ(c.Line(), "220-this is Quillmar/32 v0.9.5 on test.local,");
  EXPECT_EQ(c.Line().rfind("220-local time ", 0), 0u);
  EXPECT_EQ(c.Line(), "220 test.local ready");
}

TEST_F(Rexx, AuthenticationScripts) {
  Put("scripts/auth.rexx",
      "/* */\nparse arg s account password\n"
      "if s \\= -1 then return 9\n"
      "if account = 'bob' & password = 'open sesame' then return 0\n"
      "if account = 'code' then exit 12\n"
      "return 'no'\n");
  Put("scripts/broken.rexx", "/* */\nreturn (\n");
  EXPECT_EQ(qmsRunRexxAuthentication("scripts/auth.rexx", "bob", "open sesame"), 0);
  EXPECT_EQ(qmsRunRexxAuthentication("scripts/auth.rexx", "bob", "wrong"), 1);
  EXPECT_EQ(qmsRunRexxAuthentication("scripts/auth.rexx", "code", "x"), 12);
  EXPECT_EQ(qmsRunRexxAuthentication("scripts/missing.rexx", "bob", "open sesame"), -1);
  EXPECT_EQ(qmsRunRexxAuthentication("scripts/broken.rexx", "bob", "open sesame"), -1);
  EXPECT_NE(SystemLog().find("RexxHook error -36 in \"scripts/broken.rexx\""), std::string::npos);
}

// --- qmsRexxFunc called directly, as the interpreter calls it -------------------------

struct Call {
  explicit Call(std::vector<std::string> a) : args(std::move(a)) {
    for (auto& s : args) argv.push_back(RXSTRING{s.size(), s.data()});
    result.strptr = buffer;
    result.strlength = sizeof buffer;
  }
  APIRET Run(const char* name) {
    return qmsRexxFunc(name, argv.size(), argv.data(), nullptr, &result);
  }
  std::string Result() const { return std::string(result.strptr, result.strlength); }
  std::vector<std::string> args;
  std::vector<RXSTRING> argv;
  char buffer[RXAUTOBUFLEN];
  RXSTRING result;
};

class RexxFunc : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_), 0);
    session_.HandOver(std::make_unique<jvbTSocket>(sv_[0]));
    key_ = session_.Key();
  }
  void TearDown() override { close(sv_[1]); }
  std::string Received() {
    char buf[256];
    ssize_t n = recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  TempDir dir_;
  int sv_[2] = {-1, -1};
  qmsTSession session_{nullptr};
  std::string key_;
};

TEST_F(RexxFunc, FailuresAnswerMinusOneAndNonZero) {
  qmsTScriptSession scope(&session_);
  Call cfg3({key_, "a.cfg", "S"});
  EXPECT_NE(cfg3.Run("QMSCFG"), 0u);
  EXPECT_EQ(cfg3.Result(), "-1");
  Call unknown({key_, "x"});
  EXPECT_NE(unknown.Run("QMSFOO"), 0u);
  EXPECT_EQ(unknown.Result(), "-1");
  Call shortSay({key_});
  EXPECT_NE(shortSay.Run("qmsSAY"), 0u);
  EXPECT_EQ(shortSay.Result(), "-1");
  // A key no session has (and "-1", which names only the calling session when it has it).
  for (const char* key : {"99999", "-1", "", "  "}) {
    Call say({key, "x"});
    EXPECT_NE(say.Run("QMSSAY"), 0u) << key;
    EXPECT_EQ(say.Result(), "-1");
  }
  EXPECT_EQ(Received(), "");
}

TEST_F(RexxFunc, SuccessesOnTheCallingSession) {
  qmsTScriptSession scope(&session_);
  Call say({" " + key_ + " ", "line one"});
  EXPECT_EQ(say.Run("QMSSAY"), 0u);
  EXPECT_EQ(say.Result(), "");
  EXPECT_EQ(Received(), "line one\r\n");
  Call var({key_, "%(vers)-%(nosuch)"});
  EXPECT_EQ(var.Run("qmsvar"), 0u);
  EXPECT_EQ(var.Result(), "0.9.5-[vErr:nosuch]");
  // Omitted arguments arrive without strings.
  Put("c.cfg", "[S]\r\nK=v\r\n");
  Call cfg({key_, "c.cfg", "s", "K"});
  cfg.argv[0].strptr = nullptr;
  cfg.argv[0].strlength = 0;
  EXPECT_EQ(cfg.Run("QMSCFG"), 0u);
  EXPECT_EQ(cfg.Result(), "v");
  // Without a hook running on this thread no session is found.
  {
    qmsTScriptSession none(nullptr);
    Call say2({key_, "x"});
    EXPECT_NE(say2.Run("QMSSAY"), 0u);
  }
}

// Without the interpreter library every script answers 0 and "0". The library is looked
// for once per process, so this runs in a fresh one.
TEST(RexxMissing, EveryScriptAnswersZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  dir.Enter();
  Put("scripts/ret.rexx", "/* */\nexit 5\n");
  setenv("QMS_REXX_LIBRARY", "libz.so.1", 1);
  EXPECT_EXIT(
      {
        qmsTSession session(nullptr);
        std::string out = "unset";
        int rc = qmsRunRexxHook(session, "scripts/ret.rexx", "-1 x", out);
        int auth = qmsRunRexxAuthentication("scripts/ret.rexx", "a", "b");
        bool ok = rc == 0 && out == "0" && auth == -1 && !qmsTRexxLibrary::Instance().Available();
        fprintf(stderr, "rc=%d out=%s auth=%d\n", rc, out.c_str(), auth);
        std::error_code ec;
        std::filesystem::remove_all(dir.path(), ec);  // exit() skips the destructor
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "rc=0 out=0 auth=-1");
  unsetenv("QMS_REXX_LIBRARY");
}

// The interpreter takes over the stop signals and resets SIGPIPE when a script runs a
// command; the server's own settings must be back after every script.
TEST(RexxSignals, ScriptsLeaveTheServersSignalHandlingAlone) {
  // As the server does before any script runs (the library notes it when it is loaded).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, SIG_DFL);
  if (!qmsTRexxLibrary::Instance().Available()) GTEST_SKIP() << "no REXX library";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  dir.Enter();
  Put("scripts/cmd.rexx", "/* */\n'true'\nreturn 'rc' rc\n");
  EXPECT_EXIT(
      {
        qmsTSession session(nullptr);
        std::string out;
        int rc = qmsRunRexxHook(session, "scripts/cmd.rexx", "-1", out);
        struct sigaction pipe {};
        struct sigaction term {};
        sigaction(SIGPIPE, nullptr, &pipe);
        sigaction(SIGTERM, nullptr, &term);
        fprintf(stderr, "rc=%d out=%s pipe=%s term=%s\n", rc, out.c_str(),
                pipe.sa_handler == SIG_IGN ? "ignored" : "other",
                term.sa_handler == SIG_DFL ? "default" : "other");
        std::error_code ec;
        std::filesystem::remove_all(dir.path(), ec);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "rc=0 out=rc 0 pipe=ignored term=default");
}

}  // namespace
