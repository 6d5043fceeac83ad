// The queue message writer of the SMTP receiving side: names, exclusive creation, the
// header file as the key-file reader sees it, the body, commit and clean-up.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/mail/queuefile.h"
#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

jvb::DateTime At(int y, int mo, int d, int h, int mi, int s) {
  jvb::DateTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  return t;
}

std::vector<std::string> Files(const std::string& dir) {
  std::vector<jvb::DirEntry> entries;
  jvb::FindFiles(dir, "*", 0, entries);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  return names;
}

TEST(QueueFileName, SecondsSince1980AndThreadId) {
  EXPECT_EQ(qmsTQueueFile::FormName(At(1980, 1, 1, 0, 0, 0), 0x12345), "000000002345");
  // 2000-01-01 00:00:00 is 7305 days later; 2024-02-29 12:34:56 crosses leap days.
  EXPECT_EQ(qmsTQueueFile::FormName(At(2000, 1, 1, 0, 0, 0), 0xABCD), "259E9D80ABCD");
  EXPECT_EQ(qmsTQueueFile::FormName(At(2024, 2, 29, 12, 34, 56), 7), "5311D3F00007");
  EXPECT_EQ(qmsTQueueFile::FormName(At(2024, 2, 29, 12, 34, 56), 7, 2), "5311D3F20007");
}

TEST(QueueFileName, AnInstanceTagTakesTheFirstDigitOfTheThreadTag) {
  const jvb::DateTime t = At(2000, 1, 1, 0, 0, 0);
  const struct {
    const char* setting;
    int tag;
    const char* name;
  } cases[] = {
      {"", -1, "259E9D80ABCD"},   {"1", 1, "259E9D801BCD"},   {"f", 15, "259E9D80FBCD"},
      {"A", 10, "259E9D80ABCD"},  {"10", -1, "259E9D80ABCD"}, {"g", -1, "259E9D80ABCD"},
      {" 1", -1, "259E9D80ABCD"},
  };
  for (const auto& c : cases) {
    const int tag = qmsTQueueFile::ParseInstanceTag(c.setting);
    EXPECT_EQ(tag, c.tag) << c.setting;
    EXPECT_EQ(qmsTQueueFile::FormName(t, qmsTQueueFile::TaggedThreadId(0x1ABCD, tag)), c.name)
        << c.setting;
  }
}

TEST(QueueFileRules, FieldNamesThatReadBackAsTheSameKey) {
  for (const char* ok : {"SUBJECT", "X-MAILER", "MESSAGE-ID", "X_A.B!~", "A[B]"})
    EXPECT_TRUE(qmsTQueueFile::ValidFieldName(ok)) << ok;
  for (const std::string& bad :
       {std::string(), std::string("[LOCAL]"), std::string("#X"), std::string(";X"),
        std::string("A=B"), std::string("SUB JECT"), std::string("A\tB"), std::string("A:B"),
        std::string("\xC4RGER"), std::string("A\0B", 3), std::string(999, 'A')})
    EXPECT_FALSE(qmsTQueueFile::ValidFieldName(bad)) << bad;
}

TEST(QueueFileRules, AddressPartsThatStayOneWord) {
  for (const char* ok : {"bob", "@example.org", "first.last+tag", "o'neil", "\xC3\xA9t\xC3\xA9"})
    EXPECT_TRUE(qmsTQueueFile::ValidAddressPart(ok)) << ok;
  for (const std::string& bad : {std::string(), std::string("a b"), std::string("a]b"),
                                 std::string("[1.2.3.4]"), std::string("a=b"), std::string("\"q\""),
                                 std::string("a\tb"), std::string("a\x7f"), std::string("a\0b", 3)})
    EXPECT_FALSE(qmsTQueueFile::ValidAddressPart(bad)) << bad;
}

TEST(QueueFileRules, ListsQuoteWordsWithBlanks) {
  std::vector<std::string> list{"bob", "john doe", "x"};
  std::vector<std::string> back;
  jvbTTextConfig::CutWords(qmsTQueueFile::JoinList(list), back);
  EXPECT_EQ(back, list);
}

class QueueFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_.Enter(); }
  TempDir dir_;
};

TEST_F(QueueFile, HeaderReadsBackThroughTheKeyFileReader) {
  qmsTQueueFile q;
  q.Set("HEADER", "ReceivedAt", "20240229123456.7");
  q.Set("HEADER", "ReversePath", "a@b.example");
  ASSERT_TRUE(q.Create("queue/sub", 0x4242));
  EXPECT_EQ(q.Path(), "queue/sub/" + q.Name());
  EXPECT_EQ(q.Name().substr(8), "4242");
  EXPECT_TRUE(jvb::FileExists(q.Path() + ".inc"));
  q.SetList("LOCAL", "Idents", {"bob", "alice"});
  // Values from clients: line breaks and NUL must not split or end the file.
  q.Set("MESSAGE.HEADER", "SUBJECT", std::string("one\r\n[LOCAL]\r\nIdents=eve\0tail", 29));
  q.Set("@example.org", "Idents", "x");
  q.Set("@EXAMPLE.org", "PrimaryOnly", "1");  // sections match without regard to case
  ASSERT_TRUE(q.Flush());

  jvbTTextConfig cfg(q.Path() + ".inc");
  std::string v;
  cfg.ReadString(v, "HEADER", "ReceivedAt");
  EXPECT_EQ(v, "20240229123456.7");
  std::vector<std::string> idents;
  cfg.ReadList(idents, "LOCAL", "Idents");
  EXPECT_EQ(idents, (std::vector<std::string>{"bob", "alice"}));
  cfg.ReadString(v, "MESSAGE.HEADER", "SUBJECT");
  EXPECT_EQ(v, std::string("one  [LOCAL]  Idents=eve tail"));
  cfg.ReadString(v, "@example.org", "PrimaryOnly");
  EXPECT_EQ(v, "1");
  EXPECT_EQ(q.ReadString("@Example.Org", "Idents"), "x");
  EXPECT_EQ(q.Header().size(), 4u);
  EXPECT_FALSE(jvb::PathExists(q.Path() + ".bak"));
}

TEST_F(QueueFile, TakenNamesAreSkipped) {
  // Every name this second and the next few seconds of thread 7 is taken by some file.
  jvb::DateTime now = jvb::NowLocal();
  ASSERT_TRUE(jvb::ForceDirectories("queue"));
  const char* ext[] = {".hdr", ".msg", ".inc"};
  std::set<std::string> taken;
  for (uint32_t bump = 0; bump < 6; ++bump) {
    std::string n = qmsTQueueFile::FormName(now, 7, bump);
    Touch("queue/" + n + ext[bump % 3]);
    taken.insert(n);
  }
  qmsTQueueFile q;
  ASSERT_TRUE(q.Create("queue", 7));
  EXPECT_EQ(taken.count(q.Name()), 0u) << q.Name();
  EXPECT_EQ(q.Name().substr(8), "0007");
}

TEST_F(QueueFile, ANameIsNeverHandedOutTwice) {
  // Each message is gone (delivered) before the next is made, within the same second.
  std::set<std::string> names;
  for (int i = 0; i < 5; ++i) {
    qmsTQueueFile q;
    ASSERT_TRUE(q.Create("queue", 0x7A11));
    names.insert(q.Name());
    q.Discard();
  }
  EXPECT_EQ(names.size(), 5u);
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(QueueFile, ConcurrentCreatorsWithOneThreadIdNeverShareAName) {
  constexpr int kThreads = 8, kEach = 12;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  std::vector<std::unique_ptr<qmsTQueueFile>> keep[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto q = std::make_unique<qmsTQueueFile>();
        if (q->Create("queue", 0x1234)) names[t].push_back(q->Name());
        keep[t].push_back(std::move(q));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& v : names) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(Files("queue").size(), static_cast<size_t>(kThreads * kEach));
}

TEST_F(QueueFile, APrivateNameAnotherHostHoldsIsNeverWrittenTo) {
  // Another server sharing the queue, whose thread happens to have this thread's id, is
  // writing the private files of the next names of tag 0x0BAD.
  ASSERT_TRUE(jvb::ForceDirectories("queue"));
  const jvb::DateTime now = jvb::NowLocal();
  const std::string tid = std::to_string(jvb::CurrentThreadId());
  std::vector<std::string> foreign;
  for (uint32_t bump = 0; bump < 4; ++bump) {
    foreign.push_back("queue/." + qmsTQueueFile::FormName(now, 0xBAD, bump) + "." + tid + ".new");
    std::ofstream(foreign.back()) << "theirs";
  }
  qmsTQueueFile q;
  ASSERT_TRUE(q.Create("queue", 0xBAD));
  for (const std::string& f : foreign) EXPECT_EQ(ReadAll(f), "theirs") << f;
}

TEST_F(QueueFile, TwoProcessesSharingTheQueueNeverShareAMessage) {
  // Two servers on one queue directory, with one thread tag (the clash is settled by the
  // exclusive creates) or with instance tags of their own (their names never meet).
  constexpr int kEach = 40;
  for (int tags : {0, 1}) {
    SCOPED_TRACE(tags);
    const std::string dir = "queue" + std::to_string(tags);
    pid_t pids[2];
    for (int c = 0; c < 2; ++c) {
      pids[c] = ::fork();
      ASSERT_GE(pids[c], 0);
      if (pids[c] != 0) continue;
      const long tid = qmsTQueueFile::TaggedThreadId(0x4321, tags ? c + 1 : -1);
      int made = 0;
      for (int i = 0; i < kEach; ++i) {
        qmsTQueueFile q;
        q.Set("HEADER", "Writer", std::to_string(c));
        if (q.Create(dir, tid) && q.CreateBody() && q.WriteBody(std::to_string(c)) &&
            q.CloseBody() && q.Commit())
          ++made;
      }
      _exit(made == kEach ? 0 : 1);
    }
    for (pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<std::string> names = Files(dir);
    ASSERT_EQ(names.size(), 4u * kEach);  // .hdr and .msg of every message, nothing else
    int byWriter[2] = {0, 0};
    for (const std::string& n : names) {
      if (n.substr(12) != ".hdr") continue;
      jvbTTextConfig header(dir + "/" + n);
      std::string writer;
      ASSERT_TRUE(header.ReadValue("HEADER", "Writer", writer)) << n;
      EXPECT_EQ(ReadAll(dir + "/" + n.substr(0, 12) + ".msg"), writer) << n;
      const int c = writer == "1" ? 1 : 0;
      ++byWriter[c];
      if (tags) {
        EXPECT_EQ(n.substr(8, 4), c ? "2321" : "1321") << n;
      }
    }
    EXPECT_EQ(byWriter[0], kEach);
    EXPECT_EQ(byWriter[1], kEach);
  }
}

TEST_F(QueueFile, CommitMovesTheHeaderAndKeepsTheBody) {
  auto q = std::make_unique<qmsTQueueFile>();
  ASSERT_TRUE(q->Create("queue", 1));
  const std::string path = q->Path();
  ASSERT_TRUE(q->CreateBody());
  std::string big(200 * 1024, 'x');
  big[5] = '\0';
  ASSERT_TRUE(q->WriteBody("line\r\n"));
  ASSERT_TRUE(q->WriteBody(big));
  EXPECT_EQ(q->BodySize(), static_cast<int64_t>(6 + big.size()));
  ASSERT_TRUE(q->CloseBody());
  Touch(path + ".bak");  // as a key-file writer would leave it
  ASSERT_TRUE(q->Commit());
  EXPECT_TRUE(q->Committed());
  q.reset();
  EXPECT_EQ(Files("queue"),
            (std::vector<std::string>{path.substr(6) + ".hdr", path.substr(6) + ".msg"}));
  EXPECT_EQ(ReadAll(path + ".msg"), "line\r\n" + big);
}

TEST_F(QueueFile, CommitNeverReplacesAQueuedMessage) {
  qmsTQueueFile q;
  ASSERT_TRUE(q.Create("queue", 1));
  ASSERT_TRUE(q.CreateBody());
  ASSERT_TRUE(q.CloseBody());
  std::ofstream(q.Path() + ".hdr") << "[HEADER]\r\nReversePath=other\r\n";
  EXPECT_FALSE(q.Commit());
  EXPECT_EQ(ReadAll(q.Path() + ".hdr"), "[HEADER]\r\nReversePath=other\r\n");
  q.Discard();
  EXPECT_EQ(Files("queue"), (std::vector<std::string>{q.Name() + ".hdr"}));
}

TEST_F(QueueFile, BodyNeverReplacesAnExistingFile) {
  qmsTQueueFile q;
  ASSERT_TRUE(q.Create("queue", 1));
  std::ofstream(q.Path() + ".msg") << "someone else's";
  EXPECT_FALSE(q.CreateBody());
  q.Discard();
  EXPECT_EQ(ReadAll(q.Path() + ".msg"), "someone else's");
  EXPECT_FALSE(jvb::PathExists(q.Path() + ".inc"));
}

TEST_F(QueueFile, DiscardAndDestructionRemoveEverythingMade) {
  std::string path;
  {
    qmsTQueueFile q;
    ASSERT_TRUE(q.Create("queue", 1));
    path = q.Path();
    ASSERT_TRUE(q.CreateBody());
    ASSERT_TRUE(q.WriteBody("partial"));
    Touch(path + ".bak");
  }  // never committed: a lost connection or an ended session
  EXPECT_TRUE(Files("queue").empty());
  qmsTQueueFile q;
  ASSERT_TRUE(q.Create("queue", 1));
  ASSERT_TRUE(q.CreateBody());
  q.DiscardBody();
  EXPECT_EQ(Files("queue"), (std::vector<std::string>{q.Name() + ".inc"}));
  q.Discard();
  EXPECT_TRUE(Files("queue").empty());
}

TEST_F(QueueFile, UnusableDirectoryFailsCleanly) {
  Touch("plainfile");
  qmsTQueueFile q;
  int err = 0;
  EXPECT_FALSE(q.Create("plainfile/queue", 1, &err));
  EXPECT_NE(err, 0);
  EXPECT_FALSE(q.Create("", 1, &err));
  EXPECT_FALSE(q.Flush());
  EXPECT_FALSE(q.CreateBody());
}

}  // namespace
