// The mailbox store: where a user's mail lives (through the VFS), local delivery of a
// message file, unique identifiers, and the ".locked" lock-and-index file.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "server/mail/mailbox.h"
#include "server/mail/mailboxlock.h"
#include "tests/mail/test_mailbox_site.h"
#include "toolbox/filesys.h"
#include "toolbox/md5.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

namespace {

using mailtest::Exists;
using mailtest::Names;
using mailtest::ReadFile;
using mailtest::WriteFile;

class MailboxStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    UseVfs("/=ftp\r\n/home=spool/home\r\n");
  }
  void UseVfs(const std::string& keys) {
    WriteFile("group.cfg", "[VFS]\r\n" + keys);
    config_ = std::make_unique<jvbTTextConfig>("group.cfg");
    fs_ = std::make_unique<jvbTFileSys>(config_.get());
  }
  // A queue body file opened as delivery holds it (readers share, writers denied).
  bool OpenBody(jvbTTextFile& f, const std::string& bytes) {
    WriteFile("queue/body.msg", bytes);
    f.Init("queue/body.msg", jvb::fmReadDenyWrite);
    return f.Open();
  }

  TempDir dir_;
  std::unique_ptr<jvbTTextConfig> config_;
  std::unique_ptr<jvbTFileSys> fs_;
};

TEST_F(MailboxStore, MapsTheUserFoldersThroughTheVfs) {
  qmsTMailbox box(*fs_, "/home", "Bob");
  ASSERT_TRUE(box.Mapped());
  EXPECT_EQ(box.VirtualUserFolder(), "/home/Bob/.mailbox");
  EXPECT_EQ(box.VirtualInbox(), "/home/Bob/.mailbox/Inbox");
  EXPECT_EQ(box.UserFolder(), "spool/home/Bob/.mailbox/");
  EXPECT_EQ(box.Inbox(), "spool/home/Bob/.mailbox/Inbox/");
  EXPECT_FALSE(Exists("spool/home/Bob"));  // nothing is created by looking
  ASSERT_TRUE(box.CreateInbox());
  EXPECT_TRUE(std::filesystem::is_directory("spool/home/Bob/.mailbox/Inbox"));

  // Backslashes and a trailing separator in the setting change nothing.
  EXPECT_EQ(qmsTMailbox(*fs_, "\\home\\", "Bob").Inbox(), box.Inbox());
}

TEST_F(MailboxStore, NothingIsStoredWithoutAMappingOrAValidName) {
  UseVfs("/www=www\r\n");  // no root and nothing for /home
  jvbTTextFile body;
  ASSERT_TRUE(OpenBody(body, "Subject: x\r\n\r\nhi\r\n"));
  qmsTMailbox unmapped(*fs_, "/home", "bob");
  EXPECT_FALSE(unmapped.Mapped());
  EXPECT_FALSE(unmapped.CreateInbox());
  EXPECT_EQ(unmapped.StoreMessage("0123456789AB", "a@b", body), qmsTMailbox::stNoMailbox);

  UseVfs("/=ftp\r\n/home=spool/home\r\n");
  // An empty HomeDirectory would put mail at the top of the VFS (the FTP tree).
  EXPECT_FALSE(qmsTMailbox(*fs_, "", "bob").Mapped());
  EXPECT_FALSE(qmsTMailbox(*fs_, "/", "bob").Mapped());
  for (const char* bad : {"", "..", "../bob", "a/b", ".hidden", "x\ny"})
    EXPECT_FALSE(qmsTMailbox(*fs_, "/home", bad).Mapped()) << bad;
  // A HomeDirectory climbing above the VFS root maps nowhere either.
  EXPECT_FALSE(qmsTMailbox(*fs_, "/../../etc", "bob").Mapped());
  EXPECT_EQ(Names("."), (std::vector<std::string>{"group.cfg", "queue"}));
}

TEST_F(MailboxStore, StoresTheReturnPathAndTheBodyByteForByte) {
  std::string bodyBytes = "Received: from x\r\nSubject: t\r\n\r\n.line\r\n";
  bodyBytes += std::string("\0\xff bytes", 8) + std::string(70000, 'z') + "\r\nend";
  jvbTTextFile body;
  ASSERT_TRUE(OpenBody(body, bodyBytes));
  qmsTMailbox box(*fs_, "/home", "bob");
  int blocks = 0;
  ASSERT_EQ(
      box.StoreMessage("00AA11BB22CC", "alice@example.test", body, [&] { return ++blocks > 0; }),
      qmsTMailbox::stStored);
  EXPECT_GT(blocks, 1);
  const std::string path = "spool/home/bob/.mailbox/Inbox/00AA11BB22CC.msg";
  EXPECT_EQ(ReadFile(path), "Return-Path: <alice@example.test>\r\n" + bodyBytes);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A reverse path cannot add lines.
  jvbTTextFile second;
  ASSERT_TRUE(OpenBody(second, "short\r\n"));
  ASSERT_EQ(box.StoreMessage("0123456789AB", "x>\r\nX-Evil: 1\r\n<", second),
            qmsTMailbox::stStored);
  EXPECT_EQ(ReadFile("spool/home/bob/.mailbox/Inbox/0123456789AB.msg"),
            "Return-Path: <x>  X-Evil: 1  <>\r\nshort\r\n");
}

TEST_F(MailboxStore, AMessageFileIsNeverReplaced) {
  const std::string inbox = "spool/home/bob/.mailbox/Inbox/";
  WriteFile(inbox + "00AA11BB22CC.msg", "unread\r\n");
  WriteFile(inbox + "00AA11BB22CC-1.msg", "unread too\r\n");
  qmsTMailbox box(*fs_, "/home", "bob");
  jvbTTextFile body;
  ASSERT_TRUE(OpenBody(body, "new\r\n"));
  ASSERT_EQ(box.StoreMessage("00AA11BB22CC", "a@b", body), qmsTMailbox::stStored);
  EXPECT_EQ(ReadFile(inbox + "00AA11BB22CC.msg"), "unread\r\n");
  EXPECT_EQ(ReadFile(inbox + "00AA11BB22CC-1.msg"), "unread too\r\n");
  EXPECT_EQ(ReadFile(inbox + "00AA11BB22CC-2.msg"), "Return-Path: <a@b>\r\nnew\r\n");
  // The same copy again (a pass that could not record it) is not stored twice.
  ASSERT_EQ(box.StoreMessage("00AA11BB22CC", "a@b", body), qmsTMailbox::stStored);
  EXPECT_EQ(Names(inbox), (std::vector<std::string>{"00AA11BB22CC-1.msg", "00AA11BB22CC-2.msg",
                                                    "00AA11BB22CC.msg"}));
}

TEST_F(MailboxStore, AStoppedOrRefusedDeliveryLeavesNoFile) {
  jvbTTextFile body;
  ASSERT_TRUE(OpenBody(body, std::string(100000, 'a')));
  qmsTMailbox box(*fs_, "/home", "bob");
  int calls = 0;
  EXPECT_EQ(box.StoreMessage("0123456789AB", "a@b", body, [&] { return ++calls < 3; }),
            qmsTMailbox::stInterrupted);
  EXPECT_TRUE(Names(box.Inbox()).empty());
  for (const char* bad : {"", "../x", "a.b", "x/y", "..", "name with blank"})
    EXPECT_EQ(box.StoreMessage(bad, "a@b", body), qmsTMailbox::stBadName) << bad;
  EXPECT_TRUE(Names(box.Inbox()).empty());
}

TEST_F(MailboxStore, FlagFilesFollowTheirMessagesAndRemovalTakesTheMessage) {
  WriteFile("box/a.msg", "A");
  WriteFile("box/b.msg", "B");
  WriteFile("box/b.qms", "[IMAP]\r\nRecent=0\r\n");
  WriteFile("box/gone.qms", "x");
  WriteFile("box/gone.bak", "x");
  WriteFile("box/lone.bak", "x");
  jvb::RootDir box("box");
  const qmsTMailbox::FolderCounts first = qmsTMailbox::MarkRecent(box, 7);
  EXPECT_EQ(first.messages, 2);
  EXPECT_EQ(first.recent, 1);
  EXPECT_EQ(ReadFile("box/a.qms"), "[IMAP]\r\nRecent=1\r\n");
  EXPECT_FALSE(Exists("box/gone.qms") || Exists("box/gone.bak") || Exists("box/lone.bak"));
  EXPECT_EQ(qmsTMailbox::MarkRecent(box, 7).recent, 0);  // recent for one session only

  EXPECT_TRUE(qmsTMailbox::RemoveMessage(box, "a.msg"));
  EXPECT_TRUE(qmsTMailbox::RemoveMessage(box, "a.msg"));  // gone already
  qmsTMailbox::SweepStaleFlags(box);
  EXPECT_FALSE(Exists("box/a.msg") || Exists("box/a.qms"));
  EXPECT_TRUE(Exists("box/b.qms"));
}

TEST(MailboxUniqueId, KeepsTheMessageNameWholeAndUnique) {
  EXPECT_EQ(qmsTMailbox::UniqueId("bob", "0123456789AB.msg"), "626F620123456789AB");
  // A user name of 40 characters: its hexadecimal form is cut, the message name is not,
  // so two messages never share an identifier.
  const std::string user(40, 'u');
  std::string a = qmsTMailbox::UniqueId(user, "0123456789AB.msg");
  std::string b = qmsTMailbox::UniqueId(user, "0123456789AC.msg");
  EXPECT_EQ(a.size(), qmsTMailbox::kMaxUniqueId);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(a.size() - 12), "0123456789AB");
  // Names that could not stand in a UIDL line, or would not fit, become their digest.
  EXPECT_EQ(qmsTMailbox::UniqueId("bob", "a b.msg"), "626F62" + qmsMD5Hex("a b"));
  const std::string longName(80, 'n');
  EXPECT_EQ(qmsTMailbox::UniqueId("bob", longName + ".msg"), "626F62" + qmsMD5Hex(longName));
  for (unsigned c = 0; c < 256; ++c) {
    std::string id = qmsTMailbox::UniqueId(std::string(1, static_cast<char>(c)),
                                           std::string(1, static_cast<char>(c)) + ".msg");
    ASSERT_LE(id.size(), qmsTMailbox::kMaxUniqueId);
    for (unsigned char x : id) ASSERT_TRUE(x >= 0x21 && x <= 0x7E) << c;
  }
}

class MailboxLock : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Enter();
    std::filesystem::create_directories("in");
  }
  TempDir dir_;
};

TEST_F(MailboxLock, IndexRecordsFollowTheLayout) {
  WriteFile("in/000000000001.msg", "12345");
  WriteFile("in/000000000002.msg", std::string(300, 'x'));
  WriteFile("in/000000000002.qms", "[IMAP]\r\nRecent=1\r\n");  // not a message
  std::filesystem::create_directories("in/folder.msg");        // not a message either
  ASSERT_EQ(mkfifo("in/pipe.msg", 0600), 0);                   // never opened or listed
  qmsTMailboxLock lock;
  ASSERT_EQ(lock.Lock("in/", "bob"), qmsTMailboxLock::lkLocked);
  ASSERT_EQ(lock.Count(), 2);
  EXPECT_EQ(lock.TotalSize(), 305);
  EXPECT_EQ(lock.Entry(0), nullptr);
  EXPECT_EQ(lock.Entry(3), nullptr);
  EXPECT_EQ(lock.Entry(2)->path, "in/000000000002.msg");

  std::string raw = ReadFile("in/.locked");
  ASSERT_EQ(raw.size(), 2u * qmsTMailboxLock::kRecordSize);
  const unsigned char* r = reinterpret_cast<const unsigned char*>(raw.data()) + 335;
  EXPECT_EQ(r[0], 19);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 1, 19), "in/000000000002.msg");
  EXPECT_EQ(r[256] | r[257] << 8 | r[258] << 16 | r[259] << 24, 300);
  EXPECT_EQ(r[260], 0);
  EXPECT_EQ(r[264], 18);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 265, 18), "626F62000000000002");

  ASSERT_TRUE(lock.SetDeleted(2, true));
  raw = ReadFile("in/.locked");
  EXPECT_EQ(raw[335 + 260], 1);
  EXPECT_TRUE(
      qmsTMailboxLock::DecodeRecord(reinterpret_cast<const unsigned char*>(raw.data()) + 335)
          .deleted);
  EXPECT_FALSE(lock.SetDeleted(3, true));
  ASSERT_TRUE(lock.ClearMarks());
  EXPECT_EQ(ReadFile("in/.locked")[335 + 260], 0);
  lock.Release();
  EXPECT_FALSE(Exists("in/.locked"));
}

TEST_F(MailboxLock, OneHolderAtATimeAndNoLockOutlivesItsHolder) {
  WriteFile("in/000000000001.msg", "x");
  qmsTMailboxLock first, second;
  ASSERT_EQ(first.Lock("in/", "bob"), qmsTMailboxLock::lkLocked);
  // Another session (another object, here the same process) is refused after its wait.
  EXPECT_EQ(second.Lock("in/", "bob", 120), qmsTMailboxLock::lkBusy);
  EXPECT_EQ(ReadFile("in/.locked").size(), 335u);  // the holder's index stays whole
  first.Release();
  EXPECT_EQ(second.Lock("in/", "bob", 120), qmsTMailboxLock::lkLocked);
  second.Release();

  // A ".locked" left behind by a crashed process holds nobody up.
  WriteFile("in/.locked", std::string(1000, 'j'));
  ASSERT_EQ(first.Lock("in/", "bob", 0), qmsTMailboxLock::lkLocked);
  EXPECT_EQ(ReadFile("in/.locked").size(), 335u);
}

TEST_F(MailboxLock, APathThatDoesNotFitIsNeverCut) {
  std::string deep = "in/" + std::string(200, 'd') + "/" + std::string(60, 'e') + "/";
  std::filesystem::create_directories(deep);
  WriteFile(deep + "000000000001.msg", "x");
  qmsTMailboxLock lock;
  EXPECT_EQ(lock.Lock(deep, "bob"), qmsTMailboxLock::lkPathTooLong);
  EXPECT_FALSE(lock.Held());
  EXPECT_FALSE(Exists(deep + ".locked"));

  qmsTMailboxEntry e;
  e.path = std::string(256, 'p');
  unsigned char record[qmsTMailboxLock::kRecordSize];
  EXPECT_FALSE(qmsTMailboxLock::EncodeRecord(e, record));
  e.path = std::string(255, 'p');
  e.uniqueId = std::string(71, 'u');
  EXPECT_FALSE(qmsTMailboxLock::EncodeRecord(e, record));
  e.uniqueId = std::string(70, 'u');
  e.size = int64_t(1) << 40;  // shown as the largest 32-bit size
  ASSERT_TRUE(qmsTMailboxLock::EncodeRecord(e, record));
  qmsTMailboxEntry back = qmsTMailboxLock::DecodeRecord(record);
  EXPECT_EQ(back.path, e.path);
  EXPECT_EQ(back.uniqueId, e.uniqueId);
  EXPECT_EQ(back.size, 2147483647);
}

}  // namespace
