// Administration session: a real management service on 127.0.0.1 driven by a packet
// client written here - identity, challenge and digest, console streaming, periodic
// uptime/memory/keep-alive/status packets, operator commands, time-outs and hostile input.
#include "server/admin/adminsession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "tests/support/sitetest.h"
#include "toolbox/md5.h"
#include "toolbox/packet.h"
#include "toolbox/qmstools.h"
#include "toolbox/socket.h"
#include "toolbox/timeutil.h"

namespace {

using sitetest::FreePort;
using sitetest::kLoopback;
using sitetest::kWaitMs;
using sitetest::Sleep;
using sitetest::WaitFor;

std::string Text(const qmpTBuffer& b, int position) {
  std::string t;
  EXPECT_TRUE(qmpTSession::GetText(position, b, t));
  return t;
}

// The console side of the link.
class Client {
 public:
  explicit Client(uint16_t port) { connected = sock.Connect(kLoopback, port, 5000) == 0; }

  bool Send() { return qmpSend(sock, out); }
  // Next packet, or false when the link ended (or nothing came within the limit).
  bool Next(int ms = kWaitMs) {
    for (int waited = 0; waited < ms; waited += 50) {
      int ready = sock.WaitReadable(50);
      if (ready < 0) return false;
      if (ready > 0) return qmpReceive(sock, *in, kWaitMs) == qmpReceived;
    }
    return false;
  }
  // Skips packets until one of the code and kind arrives.
  bool NextOf(int code, int kind, int ms = kWaitMs) {
    while (Next(ms))
      if (in->Is(code, kind)) return true;
    return false;
  }
  // True when the server closed the link (no more packets, end of stream).
  bool Closed(int ms = kWaitMs) {
    for (int waited = 0; waited < ms; waited += 50) {
      int ready = sock.WaitReadable(50);
      if (ready < 0) return true;
      if (ready > 0 && qmpReceive(sock, *in, kWaitMs) == qmpBroken) return true;
    }
    return false;
  }
  void RequestIdentity() {
    state.Request(qmpIdentity, out);
    qmpTSession::SetText("Quillmar/32 Console", 0, out);
    qmpTSession::SetText("0.9.5", 4, out);
    qmpTSession::SetText("Build ID: Jan 02 2003 20:00 (Beta)", 8, out);
    ASSERT_TRUE(Send());
  }
  // Identity, then the challenge; returns it.
  std::string Challenge() {
    RequestIdentity();
    EXPECT_TRUE(NextOf(qmpIdentity, qmpResult));
    EXPECT_TRUE(NextOf(qmpAuthenticate, qmpRequest));
    EXPECT_EQ(in->GetByte(0), 4);
    return Text(*in, 1);
  }
  // The answer to the challenge: a result of code 2 (built by hand, so that it can also
  // be sent when no challenge came).
  void Answer(const std::string& digest) {
    qmpTSession::New(out, state.sequence, qmpResult, qmpAuthenticate);
    out.PutByte(0, 4);
    qmpTSession::SetText(digest, 1, out);
    ASSERT_TRUE(Send());
  }
  // Full login; returns the verdict byte (0 success, 1 failure), -1 when none came.
  int Login(const std::string& password) {
    std::string c = Challenge();
    Answer(qmsMD5Hex(c + password));
    if (!NextOf(qmpAuthenticate, qmpInformation)) return -1;
    return in->GetByte(0);
  }
  void Command(const std::string& word) {
    state.Request(qmpCommand, out);
    uint8_t stamp[8];
    jvb::PutStamp8(stamp, jvb::NowLocal());
    out.PutBytes(1, stamp, 8);
    qmpTSession::SetText(word, 9, out);
    ASSERT_TRUE(Send());
  }
  // A ping round trip: every packet before its answer has been handled by the server.
  // With only set, the answer must be the very next packet.
  bool Ping(uint32_t mark, bool only = false) {
    state.Request(qmpPing, out);
    out.PutLong(0, mark);
    out.PutLong(4, ~mark);
    if (!Send()) return false;
    while (Next()) {
      if (in->Is(qmpPing, qmpResult) && in->GetLong(0) == mark && in->GetLong(4) == ~mark)
        return true;
      if (only) return false;
    }
    return false;
  }

  jvbTSocket sock;
  bool connected = false;
  qmpTSession state;
  qmpTBuffer out;
  std::unique_ptr<qmpTBuffer> in = std::make_unique<qmpTBuffer>();
};

class AdminSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    for (const char* d : {"config", "log", "tmp"}) ::mkdir(d, 0755);
    port_ = FreePort();
    qmsRegisterAdmin();
  }

  void WriteConfig(const std::string& adminKeys) {
    std::ofstream("config/qms.cfg") << "[ADMIN]\r\nPort=" << port_ << "\r\n" << adminKeys;
  }

  // Starts the application's management group with its ADMIN service, as the server
  // does, plus a main-loop stand-in that runs Monitor.
  void StartServer(const std::string& adminKeys =
                       "ClientAddress=127.0.0.1\r\nPassword=secret\r\nHost=admin.test\r\n"
                       "DisableReverse=1\r\n") {
    WriteConfig(adminKeys);
    app_ = std::make_unique<qmsTApplication>(true);
    admin_ = app_->AddGroup("");
    ASSERT_TRUE(qmsServiceStart(admin_, "ADMIN"));
    ASSERT_TRUE(runner_.Wait({admin_}));
    service_ = admin_->Services()[0];
    runner_.Monitor(20);
  }

  void TearDown() override {
    if (!app_) return;
    runner_.Stop();
    for (auto* s : extra_) {
      for (qmsTGroup* g : app_->Groups()) g->RemoveService(s);
      s->FreeResources();
      delete s;
    }
    app_.reset();
  }

  // Site groups with services that only appear in the lists (no threads of their own).
  void AddSiteService(const std::string& group, const std::string& section) {
    ::mkdir(("config/" + group).c_str(), 0755);
    std::ofstream("config/" + group + "/" + group + ".cfg", std::ios::app)
        << "[" << section << "]\r\nProtocol=ftpd\r\n";
    qmsTGroup* g = nullptr;
    for (qmsTGroup* x : app_->Groups())
      if (x->Name() == group) g = x;
    if (!g) g = app_->AddGroup(group);
    auto* s = new qmsTService(g, section);
    s->AllocateResources();
    g->AddService(s);
    extra_.push_back(s);
  }

  // Waits until the main loop stand-in would see the posted word.
  qmsTApplication::Command Pending() {
    testing::internal::CaptureStdout();
    app_->ProcessCommands();
    testing::internal::GetCapturedStdout();
    return app_->PendingCommand();
  }

  std::string ServiceLog() {
    std::ifstream f("log/-admin.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<qmsTApplication> app_;
  qmsTGroup* admin_ = nullptr;
  qmsTService* service_ = nullptr;
  sitetest::ServiceRunner runner_;
  std::vector<qmsTService*> extra_;
};

TEST_F(AdminSession, IdentityChallengeAndLogin) {
  StartServer();
  Client c(port_);
  ASSERT_TRUE(c.connected);
  c.RequestIdentity();
  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.in->Is(qmpIdentity, qmpResult));
  EXPECT_EQ(c.in->Sequence(), 0);  // a result carries the server's current sequence
  EXPECT_EQ(Text(*c.in, 0), "Quillmar/32");
  EXPECT_EQ(Text(*c.in, 4), "0.9.5");
  EXPECT_EQ(Text(*c.in, 8), "Build ID: Jan 02 2003 20:00 (Beta)");
  EXPECT_EQ(Text(*c.in, 12), "qms.");

  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.in->Is(qmpAuthenticate, qmpRequest));
  EXPECT_EQ(c.in->Sequence(), 0);
  EXPECT_EQ(c.in->GetByte(0), 4);
  std::string challenge = Text(*c.in, 1);
  // Thread id, milliseconds since 1 January of year 1 in full digits, the Host setting.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(challenge, m, std::regex(R"(<(\d+)\.(\d{14})@admin\.test>)")))
      << challenge;

  c.Answer(qmsMD5Hex(challenge + "secret"));
  ASSERT_TRUE(c.NextOf(qmpAuthenticate, qmpInformation));
  EXPECT_EQ(c.in->GetByte(0), 0);
  EXPECT_GE(c.in->Sequence(), 1);  // after the challenge (and perhaps a keep-alive)
  EXPECT_TRUE(c.Ping(7));

  std::string log = ServiceLog();
  for (const char* line :
       {"- Connection from \"127.0.0.1\" accepted", "Replied to identity request",
        "Sent authenticate request", "Successful administrative authentication\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(AdminSession, WrongDigestIsRefusedAndTheLinkStaysQuiet) {
  StartServer();
  Client c(port_);
  ASSERT_TRUE(c.connected);
  std::string challenge = c.Challenge();
  c.Answer(qmsMD5Hex(challenge + "guess"));
  // Identity turned keep-alives on, so a ping request may come before the verdict.
  ASSERT_TRUE(c.NextOf(qmpAuthenticate, qmpInformation));
  EXPECT_EQ(c.in->GetByte(0), 1);
  // The verdict starts a period: for a refused link that is the keep-alive alone.
  ASSERT_TRUE(c.Next());
  EXPECT_TRUE(c.in->Is(qmpPing, qmpRequest));
  EXPECT_NE(ServiceLog().find("Unsuccessful administrative authentication"), std::string::npos);

  // A second answer on the same link is not taken, not even the right one; commands are
  // ignored, and no console line, uptime or status is sent.
  c.Answer(qmsMD5Hex(challenge + "secret"));
  c.Command("shutdown");
  qmsConMsg("a console line nobody may see");
  ASSERT_TRUE(c.Ping(1, true));
  ASSERT_TRUE(c.Ping(2, true));
  EXPECT_EQ(Pending(), qmsTApplication::cmdNone);
}

TEST_F(AdminSession, MissingPasswordRefusesEveryLogin) {
  StartServer("ClientAddress=127.0.0.1\r\nHost=h\r\nDisableReverse=1\r\n");
  std::ifstream f("log/qms32.log");
  std::string syslog((std::istreambuf_iterator<char>(f)), {});
  EXPECT_NE(syslog.find("ADMIN/Password not found in config/qms.cfg"), std::string::npos);
  Client c(port_);
  EXPECT_EQ(c.Login(""), 1) << "the digest of the challenge alone must not steer the server";
}

TEST_F(AdminSession, StreamsConsoleLinesAndPeriodicPackets) {
  StartServer();
  AddSiteService("alpha", "FTP1");
  AddSiteService("alpha", "FTP2");
  AddSiteService("beta", "FTP1");
  AddSiteService("beta", "WWW");
  // Everything the server printed so far, then 25 lines of ours: a new client sees the
  // last 20 records.
  for (int i = 1; i <= 25; ++i) qmsConMsg("line " + std::to_string(i));

  Client c(port_);
  ASSERT_TRUE(c.connected);
  ASSERT_EQ(c.Login("secret"), 0);

  // Replayed lines, then the authentication line the login itself wrote.
  std::vector<std::string> lines;
  for (int i = 0; i < 21; ++i) {
    ASSERT_TRUE(c.Next());
    ASSERT_TRUE(c.in->Is(qmpGetStr, qmpInformation)) << "packet " << i;
    EXPECT_EQ(c.in->GetWord(0), 13);
    EXPECT_EQ(Text(*c.in, 2), "qms.console.output");
    lines.push_back(Text(*c.in, 6));
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i + 6));
  EXPECT_EQ(lines[20], "Successful administrative authentication (127.0.0.1)");

  // The period right after the login: uptime, memory, keep-alive, one status per service.
  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.in->Is(qmpGetInt, qmpInformation));
  EXPECT_EQ(c.in->GetWord(0), 13);
  EXPECT_EQ(Text(*c.in, 2), "qms.uptime");
  EXPECT_LT(c.in->GetLong(6), 3600u);
  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.in->Is(qmpGetInt, qmpInformation));
  EXPECT_EQ(Text(*c.in, 2), "qms.memory.used");  // (the sanitizer's allocator reports 0)
  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.in->Is(qmpPing, qmpRequest));
  jvb::DateTime now = jvb::NowLocal();
  uint32_t day = c.in->GetLong(4);
  EXPECT_LE(c.in->GetLong(0), 86400000u);
  EXPECT_TRUE(day == static_cast<uint32_t>(jvb::DayNumber(now)) ||
              day + 1 == static_cast<uint32_t>(jvb::DayNumber(now)));

  std::vector<std::pair<std::string, std::string>> status;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(c.Next());
    ASSERT_TRUE(c.in->Is(qmpGetStr, qmpInformation));
    status.emplace_back(Text(*c.in, 2), Text(*c.in, 6));
  }
  ASSERT_EQ(status[0].first, "qms.server..ADMIN.status");
  // Group 0, service 0, protocol 0, running, pool (being refilled), this session active.
  EXPECT_TRUE(std::regex_match(status[0].second, std::regex(R"(0 0 0 2 [01] 1)")))
      << status[0].second;
  EXPECT_EQ(status[1].first, "qms.server.alpha.FTP1.status");
  EXPECT_EQ(status[1].second, "1 0 1 1 0 0");
  EXPECT_EQ(status[2].first, "qms.server.alpha.FTP2.status");
  EXPECT_EQ(status[2].second.substr(0, 4), "1 1 ");
  EXPECT_EQ(status[3].first, "qms.server.beta.FTP1.status");
  EXPECT_EQ(status[4].first, "qms.server.beta.WWW.status");
  EXPECT_EQ(status[4].second.substr(0, 6), "2 1 1 ");

  // New lines arrive as they are written.
  qmsConMsg("fresh line");
  ASSERT_TRUE(c.NextOf(qmpGetStr, qmpInformation));
  EXPECT_EQ(Text(*c.in, 6), "fresh line");

  // The writer empties the file at its cap: the reader starts again from the new start.
  { std::ofstream("tmp/console.tmp", std::ios::trunc); }
  qmsConMsg("after the cut 1");
  qmsConMsg("after the cut 2");
  std::vector<std::string> after;
  while (after.size() < 2 && c.NextOf(qmpGetStr, qmpInformation))
    if (Text(*c.in, 2) == "qms.console.output") after.push_back(Text(*c.in, 6));
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], "after the cut 1");
  EXPECT_EQ(after[1], "after the cut 2");

  // A second period comes about four seconds later, keep-alive included.
  ASSERT_TRUE(c.NextOf(qmpPing, qmpRequest));
}

TEST_F(AdminSession, ShortConsoleFileIsReplayedFromItsStart) {
  StartServer();
  ::unlink("tmp/console.tmp");  // what the server printed while starting
  qmsConMsg("only line");
  Client c(port_);
  ASSERT_EQ(c.Login("secret"), 0);
  ASSERT_TRUE(c.NextOf(qmpGetStr, qmpInformation));
  EXPECT_EQ(Text(*c.in, 6), "only line");
  ASSERT_TRUE(c.NextOf(qmpGetStr, qmpInformation));
  EXPECT_EQ(Text(*c.in, 6), "Successful administrative authentication (127.0.0.1)");
}

TEST_F(AdminSession, CommandsReachTheApplicationOnlyAfterLogin) {
  StartServer();
  Client c(port_);
  ASSERT_TRUE(c.connected);
  c.Command("shutdown");
  ASSERT_TRUE(c.Ping(1));
  EXPECT_EQ(Pending(), qmsTApplication::cmdNone);

  ASSERT_EQ(c.Login("secret"), 0);
  c.Command("restart");
  ASSERT_TRUE(c.Ping(2));
  EXPECT_EQ(Pending(), qmsTApplication::cmdRestartIdle);
  c.Command("instant");
  ASSERT_TRUE(c.Ping(3));
  EXPECT_EQ(Pending(), qmsTApplication::cmdRestart);
  app_->SetCommand(qmsTApplication::cmdNone);
}

TEST_F(AdminSession, WithoutIdentityOnlyPingsAreAnswered) {
  StartServer();
  Client c(port_);
  ASSERT_TRUE(c.connected);
  // A digest nobody asked for is not even looked at.
  c.Answer(qmsMD5Hex("anything"));
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(c.Ping(i, true));
  // Codes the server does not act on change nothing either.
  for (int code : {4, 5, 8, 9, 12, 13, 16, 17, 18, 99}) {
    c.state.Info(code, c.out);
    ASSERT_TRUE(c.Send());
  }
  qmsConMsg("not for this client");
  ASSERT_TRUE(c.Ping(99, true));
  EXPECT_EQ(ServiceLog().find("Sent authenticate request"), std::string::npos);
}

TEST_F(AdminSession, RejectedAddressEndsTheLink) {
  StartServer("ClientAddress=!127.0.0.1 *\r\nPassword=secret\r\nHost=h\r\nDisableReverse=1\r\n");
  Client c(port_);
  ASSERT_TRUE(c.connected);
  EXPECT_TRUE(c.Closed());
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Client session ended") != std::string::npos; }));
  std::string log = ServiceLog();
  EXPECT_NE(log.find("- Connection from \"127.0.0.1\" rejected"), std::string::npos);
  EXPECT_EQ(log.find("accepted"), std::string::npos);
}

// Hostile packets end the link; the service goes on serving the next client.
TEST_F(AdminSession, BrokenPacketsEndTheLink) {
  StartServer();
  struct Case {
    const char* what;
    std::string bytes;
    bool login;
  };
  auto header = [](int code, int flags, int length) {
    std::string h(8, '\0');
    h[1] = static_cast<char>(code);
    h[2] = static_cast<char>(flags);
    h[6] = static_cast<char>(length & 255);
    h[7] = static_cast<char>(length >> 8);
    return h;
  };
  // Digest result whose descriptor points past the payload.
  std::string badDigest = header(2, 2, 5) + std::string("\x04\x05\x00\x40\x00", 5);
  // Command whose text overlaps the fixed part.
  std::string badCommand = header(32, 1, 13) + std::string(9, '\0') + std::string("\x00\x00\x05\x00", 4);
  Case cases[] = {
      {"length above the buffer", header(17, 0, 65529) + std::string(100, 'x'), false},
      {"largest length announced", header(0, 1, 65535), false},
      {"digest text out of bounds", badDigest, false},
      {"command text inside the fixed part", badCommand, true},
      {"half a header, then the end", std::string("\x00\x01\x01", 3), false},
  };
  for (const auto& k : cases) {
    Client c(port_);
    ASSERT_TRUE(c.connected) << k.what;
    if (k.login) {
      ASSERT_EQ(c.Login("secret"), 0) << k.what;
    } else {
      c.Challenge();
    }
    ASSERT_TRUE(c.sock.Send(k.bytes)) << k.what;
    if (std::string(k.what).find("half") != std::string::npos) shutdown(c.sock.Handle(), SHUT_WR);
    EXPECT_TRUE(c.Closed()) << k.what;
  }
  Client last(port_);
  EXPECT_EQ(last.Login("secret"), 0);
}

// Until the login succeeds the service's Timeout applies; afterwards the link never idles.
TEST_F(AdminSession, TimeoutAppliesUntilAuthentication) {
  StartServer(
      "ClientAddress=127.0.0.1\r\nPassword=secret\r\nHost=h\r\nDisableReverse=1\r\nTimeout=1\r\n");
  Client idle(port_);
  ASSERT_TRUE(idle.connected);
  idle.Challenge();
  // Pings do not count as a login: the link is closed all the same.
  for (int i = 0; i < 3; ++i) idle.Ping(i);
  EXPECT_TRUE(idle.Closed());
  EXPECT_NE(ServiceLog().find("Idle timeout after"), std::string::npos);

  Client admin(port_);
  ASSERT_TRUE(admin.connected);
  ASSERT_EQ(admin.Login("secret"), 0);
  // Well past the Timeout with no traffic from the client: still served.
  Sleep(2500);
  EXPECT_TRUE(admin.Ping(42));
}

}  // namespace
