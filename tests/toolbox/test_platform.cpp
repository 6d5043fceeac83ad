#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/toolbox/tempdir.h"
#include "toolbox/platform.h"
#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"
#include "toolbox/timer.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Holds an exclusive lock on path in a child process for holdMs, signalling through a pipe
// once the lock is held.
pid_t HoldLockInChild(const std::string& path, int holdMs) {
  int p[2];
  if (pipe(p) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    flock(fd, LOCK_EX);
    char c = 'x';
    if (write(p[1], &c, 1) != 1) _exit(1);
    usleep(holdMs * 1000);
    _exit(0);
  }
  char c;
  close(p[1]);
  if (read(p[0], &c, 1) != 1) return -1;
  close(p[0]);
  return pid;
}

}  // namespace

TEST(Platform, SharingModesExcludeThreadsAndProcessesAlike) {
  TempDir dir;
  std::string f = dir / "shared.txt";
  WriteFile(f, "x");
  int err = 0;
  // Two deny-write readers may share; a writer is kept out while either holds it.
  int r1 = jvb::OpenShared(f, jvb::fmReadDenyWrite, 0, &err);
  int r2 = jvb::OpenShared(f, jvb::fmReadDenyWrite, 0, &err);
  ASSERT_GE(r1, 0);
  ASSERT_GE(r2, 0);
  EXPECT_EQ(jvb::OpenShared(f, jvb::fmReadWriteExclusive, 0, &err), -1);
  EXPECT_EQ(err, EWOULDBLOCK);
  close(r1);
  close(r2);
  // Within one process, a second exclusive open waits for the first one's close.
  int w1 = jvb::OpenShared(f, jvb::fmWriteExclusive, 0, &err);
  ASSERT_GE(w1, 0);
  std::thread closer([w1] {
    usleep(200 * 1000);
    close(w1);
  });
  int w2 = jvb::OpenShared(f, jvb::fmWriteExclusive, 1000, &err);
  closer.join();
  EXPECT_GE(w2, 0);
  close(w2);
}

TEST(Platform, OpenRetriesWhileAnotherProcessHoldsTheLock) {
  TempDir dir;
  std::string f = dir / "locked.txt";
  WriteFile(f, "x");
  pid_t pid = HoldLockInChild(f, 300);
  ASSERT_GT(pid, 0);
  jvbTTextFile file;
  file.Init(f, jvb::fmReadWriteExclusive, 1, 0, 1000);
  EXPECT_TRUE(file.Open()) << "released within the retry time";
  file.Close();
  waitpid(pid, nullptr, 0);

  pid = HoldLockInChild(f, 2500);
  ASSERT_GT(pid, 0);
  file.Init(f, jvb::fmReadDenyWrite, 1, 0, 1000);
  EXPECT_FALSE(file.Open()) << "held longer than the retry time";
  EXPECT_EQ(file.LastError(), EWOULDBLOCK);
  waitpid(pid, nullptr, 0);
}

TEST(Platform, OnlyRegularFilesAreOpened) {
  TempDir dir;
  std::string fifo = dir / "pipe.msg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int err = 0;
  // A FIFO would block the calling thread forever on a plain open.
  EXPECT_EQ(jvb::OpenShared(fifo, jvb::fmReadDenyWrite, 1000, &err), -1);
  EXPECT_EQ(jvb::OpenShared(dir.path(), jvb::fmReadDenyWrite, 1000, &err), -1);
  EXPECT_EQ(jvb::OpenShared(dir / "missing", jvb::fmReadDenyWrite, 1000, &err), -1);
  EXPECT_EQ(err, ENOENT);
  std::string content;
  EXPECT_FALSE(jvb::ReadWholeFile(fifo, content));
}

// The size of a file comes with its open, taken under the lock; it no longer counts once
// the record has written, and a reader without a lock gets none.
TEST(Platform, SizeTakenAtTheOpen) {
  TempDir dir;
  std::string f = dir / "message.msg";
  WriteFile(f, "0123456789");
  struct {
    int mode;
    int64_t size;
  } cases[] = {{jvb::fmReadExclusive, 10}, {jvb::fmReadDenyWrite, 10}, {jvb::fmReadDenyNone, -1}};
  for (const auto& c : cases) {
    jvbTTextFile file;
    file.Init(f, c.mode);
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(file.OpenedSize(), c.size) << c.mode;
    std::string all;
    EXPECT_TRUE(file.ReadAll(all));
    EXPECT_EQ(all, "0123456789");
  }
  jvbTTextFile file;
  file.Init(f, jvb::fmReadWriteExclusive);
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.OpenedSize(), 10);
  ASSERT_TRUE(file.SeekEnd() && file.Write("ab"));
  EXPECT_EQ(file.OpenedSize(), -1);
  std::string all;
  EXPECT_TRUE(file.ReadAll(all));
  EXPECT_EQ(all, "0123456789ab");
}

TEST(Platform, CreateNeverTruncatesBeforeTheLockIsHeld) {
  TempDir dir;
  std::string f = dir / "data.txt";
  WriteFile(f, "precious");
  int err = 0;
  int holder = jvb::OpenShared(f, jvb::fmReadDenyWrite, 0, &err);
  ASSERT_GE(holder, 0);
  EXPECT_EQ(jvb::CreateShared(f, jvb::fmWriteExclusive, 200, true, 0600, &err), -1);
  std::string content;
  ASSERT_TRUE(jvb::ReadWholeFile(f, content));
  EXPECT_EQ(content, "precious");
  close(holder);
  int fd = jvb::CreateShared(f, jvb::fmWriteExclusive, 200, true, 0600, &err);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(jvb::ReadWholeFile(f, content));
  EXPECT_EQ(content, "");
}

TEST(Platform, LockFilesAreGoneAfterReleaseAndNeverShared) {
  TempDir dir;
  std::string lck = dir / "A0000000FFFF.lck";
  jvb::LockFile a;
  ASSERT_TRUE(a.Acquire(lck, 0));
  struct stat st{};
  ASSERT_EQ(stat(lck.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  jvb::LockFile b;
  EXPECT_FALSE(b.Acquire(lck, 100));
  a.Release();
  EXPECT_FALSE(jvb::PathExists(lck));
  EXPECT_TRUE(b.Acquire(lck, 0));

  // A holder that dies leaves a file but no lock: the next locker takes it over.
  b.Release();
  pid_t pid = fork();
  if (pid == 0) {
    jvb::LockFile c;
    c.Acquire(lck, 0);
    _exit(0);  // no release: a crash
  }
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(jvb::PathExists(lck));
  jvb::LockFile d;
  EXPECT_TRUE(d.Acquire(lck, 0));
}

// Another host's holder ends its lock by unlinking just after our open and before our
// lock; on NFS the open file then keeps a hidden name. The writer must not take that file
// for the one under the name.
TEST(Platform, AWriterNeverHoldsAFileThatLostItsName) {
  TempDir dir;
  const std::string name = dir / ".locked";
  WriteFile(name, "old index");
  int moves = 0;
  jvb::FaultPlan plan;
  plan.beforeLock = [&](const std::string& path) {
    if (path == name && moves++ == 0) rename(name.c_str(), (dir / ".nfs0001").c_str());
  };
  jvb::ScopedFaultPlan faults(plan);
  int err = 0;
  int fd = jvb::CreateShared(name, jvb::fmReadWriteExclusive, 1000, false, 0600, &err);
  ASSERT_GE(fd, 0);
  struct stat held{}, named{};
  ASSERT_EQ(fstat(fd, &held), 0);
  ASSERT_EQ(stat(name.c_str(), &named), 0);
  EXPECT_EQ(held.st_ino, named.st_ino);
  EXPECT_EQ(held.st_size, 0);  // a fresh file, not the old index
  close(fd);
}

TEST(Platform, RenameNeverReplacesAndCopyKeepsMode) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  WriteFile(dir / "b", "b");
  int err = 0;
  EXPECT_FALSE(jvb::RenameNoReplace(dir / "a", dir / "b", &err));
  EXPECT_EQ(err, EEXIST);
  std::string content;
  ASSERT_TRUE(jvb::ReadWholeFile(dir / "b", content));
  EXPECT_EQ(content, "b");
  EXPECT_TRUE(jvb::RenameNoReplace(dir / "a", dir / "c"));

  chmod((dir / "c").c_str(), 0755);
  WriteFile(dir / "target", "old");
  chmod((dir / "target").c_str(), 0600);
  ASSERT_TRUE(jvb::CopyFileAtomic(dir / "c", dir / "target"));
  struct stat st{};
  ASSERT_EQ(stat((dir / "target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_TRUE(jvb::ReadWholeFile(dir / "target", content));
  EXPECT_EQ(content, "a");
  EXPECT_FALSE(jvb::CopyFileAtomic(dir / "missing", dir / "target"));
}

TEST(Platform, DirectorySearchIsSortedAndFiltersAttributes) {
  TempDir dir;
  WriteFile(dir / "bob.bak", "");
  WriteFile(dir / "Bob", "");
  WriteFile(dir / "alice", "");
  mkdir((dir / "sub").c_str(), 0755);
  mkfifo((dir / "fifo").c_str(), 0600);
  std::vector<jvb::DirEntry> e;
  ASSERT_EQ(jvb::FindFiles(dir.path(), "*", 0, e), 0);
  ASSERT_EQ(e.size(), 3u);  // no directory, no FIFO without their bits
  EXPECT_EQ(e[0].name, "alice");
  EXPECT_EQ(e[1].name, "Bob");
  EXPECT_EQ(e[2].name, "bob.bak");
  ASSERT_EQ(jvb::FindFiles(dir.path(), "*", jvb::faDirectory | jvb::faSystem, e), 0);
  EXPECT_EQ(e.size(), 5u);
  ASSERT_EQ(jvb::FindFiles(dir.path(), "*", 0x1037, e), 0);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "sub");
  ASSERT_EQ(jvb::FindFiles(dir.path(), "B?B.*", 0, e), 0);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "bob.bak");
  EXPECT_EQ(jvb::FindFiles(dir.path(), "*.none", 0, e), jvb::kErrFileNotFound);
  EXPECT_EQ(jvb::FindFiles(dir / "nothere", "*", 0, e), jvb::kErrPathNotFound);
}

TEST(Platform, WildcardsAndCaseFolding) {
  EXPECT_TRUE(jvb::WildcardMatch("*", ""));
  EXPECT_TRUE(jvb::WildcardMatch("*.*", "noext"));
  EXPECT_TRUE(jvb::WildcardMatch("127.0.0.*", "127.0.0.1"));
  EXPECT_TRUE(jvb::WildcardMatch("*.EXAMPLE.com", "mail.example.COM"));
  EXPECT_FALSE(jvb::WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(jvb::WildcardMatch("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(jvb::WildcardMatch("a*b", "aXbY"));
  EXPECT_EQ(jvb::AsciiLower("\xC3\x89" "Bob"), "\xC3\x89"
                                             "bob");  // multi-byte names stay intact
  EXPECT_LT(jvb::CompareNoCase("bob", "bob.bak"), 0);
  EXPECT_TRUE(jvb::EqualNoCase("Inbox", "INBOX"));
}

TEST(Platform, FileAgeAndFineStamps) {
  TempDir dir;
  std::string f = dir / "cfg";
  EXPECT_EQ(jvb::FileAge(f), -1);
  EXPECT_EQ(jvb::FileStamp(f), 0u);
  WriteFile(f, "a");
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};  // 2001-09-09
  utimensat(AT_FDCWD, f.c_str(), times, 0);
  jvb::DateTime t = jvb::ToLocal(1000000000);
  int32_t age = jvb::FileAge(f);
  EXPECT_EQ((age >> 25) + 1980, t.year);
  EXPECT_EQ((age >> 21) & 15, t.month);
  EXPECT_EQ((age >> 16) & 31, t.day);
  EXPECT_EQ(age & 31, t.second / 2);
  // A rewrite within the same two seconds keeps the packed age but changes the stamp.
  uint64_t before = jvb::FileStamp(f);
  times[1] = {1000000000, 500000000};
  utimensat(AT_FDCWD, f.c_str(), times, 0);
  EXPECT_EQ(jvb::FileAge(f), age);
  EXPECT_NE(jvb::FileStamp(f), before);
}

TEST(Platform, PathHelpers) {
  EXPECT_EQ(jvbJoinPath("a", "b"), "a/b");
  EXPECT_EQ(jvbJoinPath("a/", "/b"), "a/b");
  EXPECT_EQ(jvbJoinPath("a\\", "b"), "a\\b");
  EXPECT_EQ(jvbJoinPath("", "b"), "b");
  EXPECT_EQ(jvbCutSep("/"), "/");
  EXPECT_EQ(jvbCutSep("/a/"), "/a");
  EXPECT_EQ(jvbCutSepRoot(""), "/");
  EXPECT_EQ(jvbBackupName("config/qms.cfg"), "config/qms.bak");
  EXPECT_EQ(jvbBackupName("users.d/bob"), "users.d/bob.bak");
  EXPECT_EQ(jvbBackupName("users/john.doe"), "users/john.bak");
  EXPECT_EQ(jvb::NativePath("config\\default\\users"), "config/default/users");
}

TEST(Platform, AppendLineCreatesFoldersAndTimerIsMonotonic) {
  TempDir dir;
  std::string f = dir / "deep/er/log.txt";
  EXPECT_TRUE(jvbAppendLine("one", f));
  EXPECT_TRUE(jvbAppendLine("two", f));
  std::string content;
  ASSERT_TRUE(jvb::ReadWholeFile(f, content));
  EXPECT_EQ(content, "one\r\ntwo\r\n");
  jvbTTimer t;
  int64_t a = t.ElapsedMs();
  EXPECT_GE(t.ElapsedMs(), a);
  t.Stop();
  int64_t frozen = t.ElapsedMs();
  usleep(20000);
  EXPECT_EQ(t.ElapsedMs(), frozen);
}

TEST(TimeStamps, FormsAndDayNumbers) {
  jvb::DateTime t;
  t.year = 2003;
  t.month = 1;
  t.day = 2;
  t.hour = 20;
  t.minute = 0;
  t.second = 5;
  t.millisecond = 7;
  t.weekday = 4;
  EXPECT_EQ(jvb::FormatLogStamp(t), "20:00:05.00");
  EXPECT_EQ(jvb::FormatTraceStamp(t), "20:00:05.007");
  EXPECT_EQ(jvb::FormatLauncherStamp(t), "20030102200005.7");
  EXPECT_EQ(jvb::FormatArchiveName(t), "20030102-200005");
  EXPECT_EQ(jvb::FormatDayLine(t), "@2003/01/02 (Thursday 20:00:05)");
  jvb::DateTime first;
  first.year = 1;
  first.month = 1;
  first.day = 1;
  EXPECT_EQ(jvb::DayNumber(first), 1);
  jvb::DateTime epoch;
  epoch.year = 1970;
  epoch.month = 1;
  epoch.day = 1;
  EXPECT_EQ(jvb::DayNumber(epoch), 719163);
  unsigned char s[8];
  t.millisecond = 0;
  jvb::PutStamp8(s, t);
  EXPECT_EQ(s[0] | s[1] << 8 | s[2] << 16 | s[3] << 24, 72005000);
  EXPECT_EQ(jvb::FormatRfc1123(jvb::ToGmt(784111777)), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(TimeStamps, LauncherStampParsing) {
  time_t epoch = 0;
  int ms = -1;
  ASSERT_TRUE(jvb::ParseLauncherStamp("20261208010203.45", &epoch, &ms));
  EXPECT_EQ(ms, 45);
  jvb::DateTime back = jvb::ToLocal(epoch);
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.hour, 1);
  EXPECT_EQ(back.second, 3);
  EXPECT_TRUE(jvb::ParseLauncherStamp("20261208010203.0", &epoch, &ms));
  for (const char* bad : {"", "Quillmar", "20261208010203", "20261208010203.", "2026120801020.45",
                          "20261308010203.1", "20260231010203.1", "20261208010203.1000",
                          "20261208010203.12345", "2026120801020x.1", "20261208010203,1",
                          "-0261208010203.1"}) {
    EXPECT_FALSE(jvb::ParseLauncherStamp(bad, &epoch, &ms)) << bad;
  }
}

namespace {

// root/ holds a file, a directory and links leading inside and out; outside/ beside it.
struct BeneathSite {
  TempDir dir;
  jvb::RootDir root;
  BeneathSite() {
    mkdir((dir / "root").c_str(), 0755);
    mkdir((dir / "root/sub").c_str(), 0755);
    mkdir((dir / "outside").c_str(), 0755);
    WriteFile(dir / "root/in.txt", "inside");
    WriteFile(dir / "root/sub/file.txt", "inside");
    WriteFile(dir / "outside/secret", "outside");
    symlink("in.txt", (dir / "root/linkin").c_str());
    symlink("sub", (dir / "root/linkdir").c_str());
    symlink("../outside/secret", (dir / "root/linkout").c_str());
    symlink((dir / "outside/secret").c_str(), (dir / "root/linkabs").c_str());
    symlink("../outside", (dir / "root/outdir").c_str());
    symlink("nothere", (dir / "root/dangling").c_str());
    root.Open(dir / "root");
  }
  bool OutsideIntact() {
    std::string text;
    auto entries = std::filesystem::directory_iterator(dir / "outside");
    return jvb::ReadWholeFile(dir / "outside/secret", text) && text == "outside" &&
           std::distance(entries, std::filesystem::directory_iterator()) == 1;
  }
};

// Restores openat2 resolution when a test of the fallback walk ends.
struct WalkOnly {
  explicit WalkOnly(bool on) { jvb::SetBeneathWalkOnly(on); }
  ~WalkOnly() { jvb::SetBeneathWalkOnly(false); }
};

}  // namespace

TEST(Beneath, PathsNeverLeaveTheirRoot) {
  // The fallback walk follows no link at all, so links inside the root fail there too.
  const struct {
    const char* rel;
    bool openat2;
    bool walk;
  } cases[] = {
      {"in.txt", true, true},
      {"/sub//file.txt", true, true},
      {"linkin", true, false},
      {"linkdir/file.txt", true, false},
      {"linkout", false, false},
      {"linkabs", false, false},
      {"../outside/secret", false, false},
      {"sub/../../outside/secret", false, false},
      {"outdir/secret", false, false},
      {"dangling", false, false},
  };
  BeneathSite site;
  ASSERT_TRUE(site.root.valid());
  for (bool walk : {false, true}) {
    WalkOnly mode(walk);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.rel) + (walk ? " (walk)" : " (openat2)"));
      const bool ok = walk ? c.walk : c.openat2;
      int fd = site.root.OpenBeneath(c.rel, O_RDONLY);
      EXPECT_EQ(fd >= 0, ok);
      if (fd >= 0) {
        char buf[16] = {};
        EXPECT_EQ(read(fd, buf, sizeof buf), 6);
        EXPECT_STREQ(buf, "inside");
        close(fd);
      } else {
        EXPECT_TRUE(errno == ENOENT || errno == ENOTDIR) << errno;
      }
      jvbTTextFile f;
      f.Init(site.root, c.rel, jvb::fmReadExclusive);
      EXPECT_EQ(f.Open(), ok);
    }
  }
}

TEST(Beneath, CreatesDeletesRenamesAndListingsStayInside) {
  BeneathSite site;
  for (bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "walk" : "openat2");
    WalkOnly mode(walk);
    const jvb::RootDir& r = site.root;
    EXPECT_FALSE(r.MkdirBeneath("outdir/new"));
    EXPECT_FALSE(r.MkdirsBeneath("outdir/new/deeper"));
    EXPECT_FALSE(r.UnlinkBeneath("outdir/secret"));
    EXPECT_FALSE(r.RenameBeneath("in.txt", "outdir/moved"));
    EXPECT_FALSE(r.RenameBeneath("outdir/secret", "stolen"));
    EXPECT_FALSE(r.RmdirBeneath(".."));
    EXPECT_LT(r.OpenBeneath("outdir/created", O_WRONLY | O_CREAT, 0600), 0);
    EXPECT_LT(r.OpenBeneath("linkout", O_WRONLY | O_CREAT, 0600), 0);  // never through a link
    jvbTTextFile lock;
    lock.Init(r, "outdir/.locked", jvb::fmReadWriteExclusive);
    EXPECT_FALSE(lock.Rewrite());
    std::vector<jvb::DirEntry> e;
    EXPECT_EQ(r.ListBeneath("outdir", "*", 0x37, e), jvb::kErrPathNotFound);
    EXPECT_TRUE(site.OutsideIntact());

    // Inside, everything works; a link that leads out is listed as "system" only.
    ASSERT_TRUE(r.MkdirsBeneath("a/b/c"));
    ASSERT_TRUE(r.RenameBeneath("a/b/c", "sub/c"));
    EXPECT_FALSE(r.RenameBeneath("sub/c", "sub"));  // never replaces
    ASSERT_TRUE(r.RmdirBeneath("sub/c"));
    ASSERT_EQ(r.ListBeneath("", "link*", 0x37, e), 0);
    ASSERT_EQ(e.size(), 4u);  // linkabs, linkdir, linkin, linkout
    EXPECT_EQ(e[0].attr & jvb::faSystem, jvb::faSystem);
    EXPECT_EQ(e[1].attr & jvb::faDirectory, walk ? 0 : jvb::faDirectory);
    EXPECT_TRUE(e[2].link);
    EXPECT_EQ(e[3].attr & jvb::faSystem, jvb::faSystem);
    // Files only: the link to a file inside counts, unless the walk refuses every link.
    EXPECT_EQ(r.ListBeneath("", "link*", jvb::faReadOnly | jvb::faArchive, e),
              walk ? jvb::kErrFileNotFound : 0);
    ASSERT_TRUE(r.RmdirBeneath("a/b") && r.RmdirBeneath("a"));
  }
  // A link itself is removed, never what it leads to.
  EXPECT_TRUE(site.root.UnlinkBeneath("linkout"));
  EXPECT_TRUE(site.OutsideIntact());
}

TEST(Platform, FileFactsRenameAndOwnerOnly) {
  TempDir dir;
  std::ofstream(dir / "a") << "12345";
  std::ofstream(dir / "b") << "x";
  ASSERT_EQ(chmod((dir / "a").c_str(), 0664), 0);
  jvb::FileInfo info;
  ASSERT_TRUE(jvb::GetFileInfo(dir / "a", info));
  EXPECT_EQ(info.size, 5);
  EXPECT_TRUE(info.regular);
  EXPECT_EQ(info.mode, 0664u);
  EXPECT_GT(info.mtime, 0);
  jvb::MakeOwnerOnly(dir / "a");
  ASSERT_TRUE(jvb::GetFileInfo(dir / "a", info));
  EXPECT_EQ(info.mode, 0600u);
  ASSERT_TRUE(jvb::GetFileInfo(dir.path(), info));
  EXPECT_FALSE(info.regular);
  EXPECT_FALSE(jvb::GetFileInfo(dir / "missing", info));
  EXPECT_FALSE(jvb::GetFileInfo(-1, info));

  EXPECT_TRUE(jvb::RenameReplace(dir / "a", dir / "b"));  // replaces the target
  ASSERT_TRUE(jvb::GetFileInfo(dir / "b", info));
  EXPECT_EQ(info.size, 5);
  int err = 0;
  EXPECT_FALSE(jvb::RenameReplace(dir / "a", dir / "c", &err));
  EXPECT_EQ(err, ENOENT);
}
