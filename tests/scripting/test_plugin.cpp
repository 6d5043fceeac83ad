// Plug-in hooks: loading, the records, the callbacks and their guards.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstddef>
#include <set>

#include "scripttest.h"
#include "server/scripting/plugin.h"
#include "server/scripting/qmsplugin.h"
#include "toolbox/socket.h"

using namespace scripttest;

namespace {

// The records keep the interface's field order with pointers in their natural size.
static_assert(offsetof(qmsHookInfo, product) == 0);
static_assert(offsetof(qmsHookInfo, build) == sizeof(void*));
static_assert(offsetof(qmsHookInfo, reserved) == 2 * sizeof(void*));
static_assert(offsetof(qmsHookInfo, session) == 3 * sizeof(void*));
static_assert(offsetof(qmsHookInfo, callbacks) == 4 * sizeof(void*));
static_assert(offsetof(qmsHookInfo, calldata) == 5 * sizeof(void*));
static_assert(sizeof(qmsHookInfo) == 6 * sizeof(void*));
static_assert(offsetof(qmsCallbacks, qmsGetValue) == 0);
static_assert(offsetof(qmsCallbacks, qmsSetValue) == sizeof(void*));
static_assert(offsetof(qmsCallbacks, qmsSend) == 2 * sizeof(void*));
static_assert(offsetof(qmsCallbacks, reserved3) == 3 * sizeof(void*));
static_assert(offsetof(qmsCallbacks, qmsLog) == 4 * sizeof(void*));
static_assert(offsetof(qmsCallData, output) == sizeof(void*));

class Plugin : public ScriptSite {
 protected:
  void SetUp() override {
    ScriptSite::SetUp();
    lib_ = TestPlugin();
    ASSERT_TRUE(jvb::FileExists(lib_)) << lib_;
  }
  std::string Hook(Client& c, const std::string& entryAndArgs) {
    return c.Ask("HOOK " + lib_ + " " + entryAndArgs);
  }
  std::string lib_;
};

std::string Greeting(Client& c) {
  std::string g = c.Line();
  return g.rfind("+OK ", 0) == 0 ? g.substr(4) : std::string();
}

TEST_F(Plugin, ResultOutputAndRecord) {
  Start();
  Client c(port_);
  const std::string key = Greeting(c);
  ASSERT_FALSE(key.empty());
  EXPECT_EQ(Hook(c, "Whoami"),
            "= 1 " + key + "|Quillmar/32 v0.9.5|Build ID: Jan 02 2003 20:00 (Beta)|0|null");
  // The entry's value is the result; without an output of its own the output stays.
  EXPECT_EQ(Hook(c, "Answer 0"), "= 0 0");
  EXPECT_EQ(Hook(c, "Answer 5 five"), "= 5 five");
  EXPECT_EQ(Hook(c, "Answer -3 \"quoted\" & %(vers)"), "= -3 \"quoted\" & %(vers)");
  // Output set twice: the second text counts (and the record showed the first meanwhile).
  EXPECT_EQ(Hook(c, "SetTwice"), "= 1 second after first");
  // Names ending ".dll" load shared libraries too; bare names are found in the site.
  jvb::ForceDirectories("plugins");
  ASSERT_TRUE(jvb::CopyFileAtomic(lib_, "plugins/copy.dll"));
  EXPECT_EQ(c.Ask("HOOK plugins/copy.dll Answer 3 dll"), "= 3 dll");
  ASSERT_TRUE(jvb::CopyFileAtomic(lib_, "bare.so"));
  EXPECT_EQ(c.Ask("HOOK bare.so Answer 2 bare"), "= 2 bare");
}

TEST_F(Plugin, SessionVariables) {
  Put("messages/pop3/pop3.res", "[SEC]\r\ntmpl=250 %(session.colour) %(session.shape)\r\n");
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  // "session.colour" and "SESSION.Shape" accepted; "colour" and kind 7 refused.
  EXPECT_EQ(Hook(c, "SessionVars"), "= 1 1010");
  EXPECT_EQ(c.Ask("VAR session.colour"), "+OK blue");
  EXPECT_EQ(c.Ask("VAR colour"), "-ERR unknown");
  EXPECT_EQ(c.Ask("TXT tmpl SEC"), "250 blue round");
  // qmsGetValue finds them too, before the built-in names.
  EXPECT_EQ(Hook(c, "GetSized 100 session.colour"), "= 1 1|blue|guard");
}

TEST_F(Plugin, GetValueNeverWritesPastItsSize) {
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  // At most size characters and the null byte after them (a buffer of size + 1 bytes).
  EXPECT_EQ(Hook(c, "GetSized 4 localhost"), "= 1 1|test|guard");
  EXPECT_EQ(Hook(c, "GetSized 10 localhost"), "= 1 1|test.local|guard");
  EXPECT_EQ(Hook(c, "GetSized 200 localhost"), "= 1 1|test.local|guard");
  EXPECT_EQ(Hook(c, "GetSized 0 localhost"), "= 1 1||guard");
  // A negative size or an unknown name leaves the buffer alone.
  EXPECT_EQ(Hook(c, "GetSized -1 localhost"), "= 1 0|(unchanged)|guard");
  EXPECT_EQ(Hook(c, "GetSized 50 no.such.variable"), "= 1 0|(unchanged)|guard");
}

TEST_F(Plugin, MissingLibrariesAndEntries) {
  Put("plugins/bad.so", "this is not a shared library\n");
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  // A file that cannot be loaded: one line per call, and the hook counts as "go on".
  EXPECT_EQ(c.Ask("HOOK plugins/bad.so Entry"), "= 0 0");
  EXPECT_EQ(c.Ask("HOOK plugins/bad.so Entry"), "= 0 0");
  EXPECT_EQ(Count(SystemLog(), "Plug-in load failed - plugins/bad.so"), 2u) << SystemLog();
  // No such file: nothing runs at all.
  EXPECT_EQ(c.Ask("HOOK plugins/none.so Entry"), "= 0 0");
  EXPECT_EQ(SystemLog().find("plugins/none.so"), std::string::npos);
  EXPECT_EQ(Hook(c, "NoSuchEntry 1 2"), "= 0 0");
  EXPECT_EQ(Hook(c, ""), "= 0 0");
  EXPECT_EQ(Count(SystemLog(), "Plug-in procedure not found - NoSuchEntry"), 1u);
  EXPECT_EQ(Count(SystemLog(), "Plug-in procedure not found - \r\n"), 1u);
  EXPECT_EQ(c.Ask("VAR vers"), "+OK 0.9.5");
}

TEST_F(Plugin, ExceptionsAreReportedAndTheSessionGoesOn) {
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  EXPECT_EQ(Hook(c, "Throw"), "= 0 0");
  EXPECT_NE(SystemLog().find("Plug-in call exception - Throw@" + lib_), std::string::npos);
  EXPECT_EQ(c.Ask("VAR vers"), "+OK 0.9.5");
}

TEST_F(Plugin, CallbacksRefuseBadPointersAndSayWhy) {
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  EXPECT_EQ(Hook(c, "BadPointers"), "= 1 0000000001");
  const std::string log = SystemLog();
  const std::string p = "Plug-in call back exception - ";
  EXPECT_EQ(Count(log, p + "qmsGetValue(, 1, '',, 8)"), 1u) << log;
  EXPECT_EQ(Count(log, p + "qmsGetValue(, 1, 'remoteip',, 8)"), 2u) << log;
  EXPECT_EQ(Count(log, p + "qmsSetValue(, 0, '', '')"), 1u) << log;
  EXPECT_EQ(Count(log, p + "qmsSetValue(, 1, 'session.a', '')"), 1u) << log;
  EXPECT_EQ(Count(log, p + "qmsSend(, 0x10, 10)"), 1u) << log;
  EXPECT_EQ(Count(log, p + "qmsLog(, 0, 0, )"), 1u) << log;
  EXPECT_EQ(Count(log, p + "qmsLog(, 0, 0, " + std::string(96, 'a') + ")"), 1u) << log;
  EXPECT_EQ(Count(log, p), 8u) << log;  // a negative length is refused, not a fault
  EXPECT_NE(ServiceLog().find("] aaok"), std::string::npos);
  // The callbacks belong to the call's thread and its record.
  EXPECT_EQ(Hook(c, "ForeignThread"), "= 1 00");
  EXPECT_EQ(ServiceLog().find("from a"), std::string::npos);
  EXPECT_EQ(c.Ask("VAR vers"), "+OK 0.9.5");
}

TEST_F(Plugin, SendAndLog) {
  Start();
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  EXPECT_EQ(Hook(c, "Send raw \"data\" & more"), "raw \"data\" & more");
  EXPECT_EQ(c.Line(), "= 0 0");
  EXPECT_EQ(Hook(c, "Log 0 written by the plug-in"), "= 0 1");
  EXPECT_EQ(Hook(c, "Log 1 a user event"), "= 0 1");
  EXPECT_NE(ServiceLog().find("] written by the plug-in"), std::string::npos);
  EXPECT_NE(ServiceLog().find("] a user event"), std::string::npos);
}

TEST_F(Plugin, SameEntryFromManySessionsAtOnce) {
  Start();
  constexpr int kClients = 12;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::string> keys;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port_));
    keys.push_back(Greeting(*clients.back()));
    ASSERT_FALSE(keys.back().empty());
  }
  for (int round = 0; round < 3; ++round) {
    for (auto& c : clients) c->Send("HOOK " + lib_ + " Whoami");
    for (int i = 0; i < kClients; ++i)
      EXPECT_EQ(clients[i]->Line().rfind("= 1 " + keys[i] + "|Quillmar/32", 0), 0u);
  }
}

TEST_F(Plugin, ExamplePlugin) {
  const std::string example = ExamplePlugin();
  ASSERT_TRUE(jvb::FileExists(example)) << example;
  // At connection its filter lets this client in; the process-level tests see it reject.
  Start("hookOnConnect=" + example + " RejectClients 10.* 127.0.0.1?\r\n");
  Client c(port_);
  ASSERT_FALSE(Greeting(c).empty());
  EXPECT_EQ(c.Ask("HOOK " + example + " CommandAlias RSET=NOOP rset"), "= 1 NOOP");
  EXPECT_EQ(c.Ask("HOOK " + example + " CommandAlias RSET=NOOP RETR 1"), "= 0 0");
  EXPECT_EQ(c.Ask("HOOK " + example + " Tag colour deep green"), "= 0 0");
  EXPECT_EQ(c.Ask("VAR session.colour"), "+OK deep green");
}

// --- Calls without a service ------------------------------------------------------------

class PluginCall : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    jvb::ForceDirectories("log");
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_), 0);
    session_.HandOver(std::make_unique<jvbTSocket>(sv_[0]));
  }
  void TearDown() override { close(sv_[1]); }
  std::string Received() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }

  TempDir dir_;
  int sv_[2] = {-1, -1};
  qmsTSession session_{nullptr};
};

TEST_F(PluginCall, HttpRequests) {
  EXPECT_TRUE(qmsHook::CallHttpRequest(session_, TestPlugin()));
  EXPECT_EQ(Received(), "HTTP/1.0 200 OK\r\n\r\nfrom plug-in\r\n");
  EXPECT_TRUE(qmsHook::CallHttpRequest(session_, ExamplePlugin()));
  EXPECT_NE(Received().find("this is Quillmar/32 v0.9.5."), std::string::npos);
  // A library found by the loader's search that has no such entry, and no library at all.
  EXPECT_FALSE(qmsHook::CallHttpRequest(session_, "libz.so.1"));
  EXPECT_FALSE(qmsHook::CallHttpRequest(session_, "nosuch-plugin.so"));
  const std::string log = Get("log/qms32.log");
  EXPECT_NE(log.find("Plug-in procedure not found - qmsHttpRequest"), std::string::npos);
  EXPECT_NE(log.find("Plug-in load failed - nosuch-plugin.so"), std::string::npos);
}

TEST_F(PluginCall, CallbacksOutsideACallRefuse) {
  qmsHookInfo info;
  qmsCallData data{"", nullptr};
  qmsHook::SetHookInfo(&session_, info, &data);
  char buf[8] = "xyz";
  EXPECT_EQ(info.callbacks->qmsGetValue(&info, 1, "vers", buf, 4), 0);
  EXPECT_STREQ(buf, "xyz");
  EXPECT_EQ(info.callbacks->qmsSetValue(&info, 0, nullptr, "out"), 0);
  EXPECT_EQ(data.output, nullptr);
  EXPECT_EQ(info.callbacks->qmsSend(&info, "x", 1), 0);
  EXPECT_EQ(info.callbacks->qmsLog(&info, 0, 0, "x"), 0);
  EXPECT_EQ(Received(), "");
}

}  // namespace
