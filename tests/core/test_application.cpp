#include <sys/stat.h>

#include <gtest/gtest.h>

#include "server/core/application.h"
#include "server/core/servicecache.h"
#include "server/core/session.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/terminal.h"

namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    jvb_mkdir("config");
    app_ = std::make_unique<qmsTApplication>(true);
  }
  static void jvb_mkdir(const char* d) { ::mkdir(d, 0755); }
  std::string Run(std::initializer_list<const char*> words) {
    testing::internal::CaptureStdout();
    for (const char* w : words) app_->PostCommand(w);
    app_->ProcessCommands();
    return testing::internal::GetCapturedStdout();
  }
  TempDir dir_;
  std::unique_ptr<qmsTApplication> app_;
};

}  // namespace

TEST_F(ApplicationTest, RestartTogglesAndTurnsIntoShutdown) {
  std::string out = Run({"restart"});
  EXPECT_EQ(out,
            "RESTART (Alt+R)\r\n  QMS will restart when there are no active connections.\r\n"
            "  Press Alt+I for instant restart!\r\n\r\n");
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdRestartIdle);
  out = Run({"restart"});
  EXPECT_EQ(out, "RESTART (Alt+R)\r\n  QMS restart aborted.\r\n\r\n");
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdNone);
  Run({"restart", "shutdown"});
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdShutdownIdle);
  Run({"instant"});
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdShutdown);
}

TEST_F(ApplicationTest, IdleWordsFromCommandFilesNeverAbort) {
  Run({"shutdown.idle", "shutdown.idle", "shutdown.idle"});
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdShutdownIdle);
  Run({"restart.instant"});
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdRestart);
  app_->SetCommand(qmsTApplication::cmdNone);
  std::string out = Run({"shutdown.instant"});
  EXPECT_EQ(out, "");
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdShutdown);
}

TEST_F(ApplicationTest, HelpVersionDebugAndUnknownWords) {
  std::string out = Run({"help", "version", "debug", "nonsense", "debug"});
  EXPECT_EQ(out,
            "HELP (Alt+H)\r\n  Alt+D  Toggle debug mode\r\n  Alt+H  Display this help\r\n"
            "  Alt+R  Restart\r\n  Alt+V  Show version\r\n  Alt+X  Shutdown\r\n\r\n"
            "VERSION (Alt+V)\r\n  Quillmar/32 v0.9.5\r\n  Build ID: Jan 02 2003 20:00 (Beta)\r\n\r\n"
            "DEBUG (Alt+D)\r\n  Console debug: ON\r\n\r\n"
            "DEBUG (Alt+D)\r\n  Console debug: OFF\r\n\r\n");
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdNone);
}

TEST_F(ApplicationTest, PostedWordsAreCapped) {
  testing::internal::CaptureStdout();
  for (int i = 0; i < 500; ++i) app_->PostCommand("version");
  app_->ProcessCommands();
  std::string out = testing::internal::GetCapturedStdout();
  size_t n = 0;
  for (size_t p = out.find("VERSION"); p != std::string::npos; p = out.find("VERSION", p + 1)) ++n;
  EXPECT_EQ(n, kMaxPostedCommands);
}

TEST_F(ApplicationTest, StopIsKeptWhenTheQueueIsFull) {
  for (size_t i = 0; i < kMaxPostedCommands; ++i) app_->PostCommand("nonsense");
  app_->PostCommand("shutdown.instant");
  app_->TakeStopSignal();
  EXPECT_EQ(app_->PendingCommand(), qmsTApplication::cmdShutdown);
}

TEST(ServiceCache, EvictsNeverReadEntriesFirstThenTheLeastRead) {
  qmsTServiceCache cache;
  cache.SetMaxCount(4);
  for (int i = 0; i < 4; ++i) cache.AddDocument(1, std::string(10, 'a' + i), "k" + std::to_string(i));
  std::string c;
  // k1..k3 are read; k0 never is, so it scores 0 and goes first.
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(cache.FindDocument("k" + std::to_string(i), 1, c));
  cache.AddDocument(1, "new", "k4");
  EXPECT_EQ(cache.Count(), 4u);
  EXPECT_FALSE(cache.FindDocument("k0", 1, c));
  EXPECT_EQ(cache.Total(), 33);
  // A changed stamp misses; adding again replaces without growing the count.
  EXPECT_FALSE(cache.FindDocument("k1", 2, c));
  cache.AddDocument(2, "bbbb", "k1");
  EXPECT_TRUE(cache.FindDocument("k1", 2, c));
  EXPECT_EQ(c, "bbbb");
  EXPECT_EQ(cache.Total(), 27);
  cache.SetMaxSize(10);
  EXPECT_LE(cache.Total(), 10);
}

TEST(ClientAddress, FirstMatchingPatternDecides) {
  EXPECT_TRUE(qmsTSession::AcceptClient("*", "host.example", "10.1.2.3"));
  EXPECT_FALSE(qmsTSession::AcceptClient("!*", "host.example", "10.1.2.3"));
  EXPECT_FALSE(qmsTSession::AcceptClient("", "host.example", "10.1.2.3"));
  EXPECT_TRUE(qmsTSession::AcceptClient("* !*", "h", "1.2.3.4"));
  EXPECT_FALSE(qmsTSession::AcceptClient("!10.1.*, *", "h", "10.1.9.9"));
  EXPECT_TRUE(qmsTSession::AcceptClient("!10.1.*; *", "h", "10.2.9.9"));
  EXPECT_TRUE(qmsTSession::AcceptClient("*.EXAMPLE.org", "mail.example.ORG", "1.2.3.4"));
  EXPECT_FALSE(qmsTSession::AcceptClient("127.0.0.?", "x", "127.0.0.10"));
}

TEST(OperatorKeys, AltLettersInEveryEncoding) {
  jvbTKeyDecoder d;
  auto feed = [&d](const std::string& bytes) {
    std::string out;
    for (unsigned char b : bytes)
      if (char c = d.Feed(b)) out += c;
    return out;
  };
  EXPECT_EQ(feed("\x1bx"), "x");
  EXPECT_EQ(feed("\x1bX"), "x");
  EXPECT_EQ(feed("\xf8"), "x");            // letter | 0x80
  EXPECT_EQ(feed("\xc3\xb8"), "x");        // the same as UTF-8
  EXPECT_EQ(feed("\x1b[A\x1bOB"), "");     // arrow keys
  EXPECT_EQ(feed("x\x1b" "1"), "");        // plain keys and Alt+digit
  EXPECT_EQ(feed("\x1b\x1br"), "r");
}
