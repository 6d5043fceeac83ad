// jvbTTextConfig: parsing rules, lookups, in-place writes with backup, reload on change,
// file locks held by other processes and concurrent lookups during rewrites.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/textconfig.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

class TextConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qms-textconfig-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/qms.cfg";
    bak_ = dir_ + "/qms.bak";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Rewrites the file in place, as another program would.
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  void Put(const std::string& bytes) { Put(path_, bytes); }
  static std::string Get(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string Get() { return Get(path_); }

  static std::string Value(jvbTTextConfig& c, const std::string& section, const std::string& key) {
    std::string v = "<missing>";
    c.ReadString(v, section, key);
    return v;
  }

  std::string dir_, path_, bak_;
};

// --- Parsers without I/O ---------------------------------------------------------------

TEST(TextConfigParsers, SplitLinesHonoursEveryLineEndAndStopsAtNul) {
  EXPECT_TRUE(jvbTTextConfig::SplitLines("").empty());
  EXPECT_EQ(jvbTTextConfig::SplitLines("a"), Lines{"a"});
  EXPECT_EQ(jvbTTextConfig::SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(jvbTTextConfig::SplitLines("a\r\n"), Lines{"a"});
  EXPECT_EQ(jvbTTextConfig::SplitLines("a\n\n"), (Lines{"a", ""}));
  // LF CR is two line ends; CR CR is two empty lines.
  EXPECT_EQ(jvbTTextConfig::SplitLines("a\n\rb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(jvbTTextConfig::SplitLines("\r\r"), (Lines{"", ""}));
  // A NUL ends the whole text, also at the start of a line.
  EXPECT_EQ(jvbTTextConfig::SplitLines("a=1\0b=2\nc"s), Lines{"a=1"});
  EXPECT_EQ(jvbTTextConfig::SplitLines("a\n\0b"s), Lines{"a"});
}

TEST(TextConfigParsers, CutWordsSplitsAtUnquotedBlanks) {
  Lines w;
  jvbTTextConfig::CutWords("one \"two three\" four", w);
  EXPECT_EQ(w, (Lines{"one", "two three", "four"}));
  w.clear();
  jvbTTextConfig::CutWords("a  b", w);  // a run of blanks gives an empty word
  EXPECT_EQ(w, (Lines{"a", "", "b"}));
  w = {"kept"};
  jvbTTextConfig::CutWords("\"x\"", w);  // appended, quotes removed from the ends
  EXPECT_EQ(w, (Lines{"kept", "x"}));
  w.clear();
  jvbTTextConfig::CutWords("", w);
  EXPECT_TRUE(w.empty());
}

TEST(TextConfigParsers, ParseIntegerAcceptsDecimalAndDollarHexOnly) {
  int32_t v = 99;
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("$1F", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("$1f", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("-5", v));
  EXPECT_EQ(v, -5);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("  +7", v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("2147483647", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(jvbTTextConfig::ParseInteger("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  for (const char* bad : {"", " ", "+", "$", "12abc", "12 ", "0x10", "2147483648", "-2147483649",
                          "$100000000", "1.5", "\t1", "99999999999999999999"}) {
    EXPECT_FALSE(jvbTTextConfig::ParseInteger(bad, v)) << bad;
  }
}

// --- Lookups -----------------------------------------------------------------------------

TEST_F(TextConfigTest, KeysMatchExactlySectionsIgnoreCase) {
  Put("[FTP]\r\nPort = 21\r\n[ftp2]\r\nport=5\r\n");
  jvbTTextConfig c(path_);
  std::string v;
  EXPECT_FALSE(c.ReadValue("FTP", "Port", v));
  EXPECT_TRUE(c.ReadValue("FTP", "Port ", v));
  EXPECT_EQ(v, "21");
  EXPECT_EQ(Value(c, "FTP2", "port"), "5");
  EXPECT_EQ(Value(c, "Ftp2", "Port"), "<missing>");
  EXPECT_EQ(Value(c, "nosuch", "port"), "<missing>");
}

TEST_F(TextConfigTest, DuplicatesAndRepeatedBlocks) {
  Put("Max=1\nmaxi=0\nMax=2\nLim=1\nlim=2\n"
      "[A]\nx=1\ndup=1\ndup=2\n[B]\ny=2\n[A]\nz=3\ndup=first\nDUP=other\ndup=second\n"
      "[C]\nc1=1\n[C]\nc2=2\n[c]\nc3=3\n");
  jvbTTextConfig c(path_);
  // Unnamed section: a repeated key takes the new value, keeping its first spelling.
  EXPECT_EQ(Value(c, "", "Max"), "2");
  EXPECT_EQ(Value(c, "", "Lim"), "2");
  EXPECT_EQ(Value(c, "", "lim"), "<missing>");
  // Only the last block of a section counts; in it the first line of a key wins.
  EXPECT_EQ(Value(c, "A", "x"), "<missing>");
  EXPECT_EQ(Value(c, "A", "z"), "3");
  EXPECT_EQ(Value(c, "A", "dup"), "first");
  EXPECT_EQ(Value(c, "A", "DUP"), "other");
  EXPECT_EQ(Value(c, "B", "y"), "2");
  // Consecutive equal headers continue a block; one differing in case starts a new one.
  EXPECT_EQ(Value(c, "C", "c1"), "<missing>");
  EXPECT_EQ(Value(c, "C", "c2"), "<missing>");
  EXPECT_EQ(Value(c, "C", "c3"), "3");
}

TEST_F(TextConfigTest, SameKeyTwiceInOneBlockGivesTheFirst) {
  Put("[S]\nk=1\nk=2\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");
}

TEST_F(TextConfigTest, LineKindsCommentsHeadersAndValues) {
  Put("   ;indented comment=1\n#c=1\nlead=1\n"
      "[ Spaced ] trailing text\n\tTab=1\n  lead = a = b  \nhash=a#b;c\nnoequals\n=empty key\n"
      "#x=2\n; y=3\n"
      "[broken\nb=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "", ";indented comment"), "<missing>");
  EXPECT_EQ(Value(c, "", "#c"), "<missing>");
  EXPECT_EQ(Value(c, " Spaced ", "\tTab"), "1");  // only 0x20 is trimmed
  EXPECT_EQ(Value(c, " Spaced ", "Tab"), "<missing>");
  EXPECT_EQ(Value(c, " Spaced ", "lead "), "a = b");
  EXPECT_EQ(Value(c, " Spaced ", "hash"), "a#b;c");
  EXPECT_EQ(Value(c, " Spaced ", "noequals"), "");
  EXPECT_EQ(Value(c, " Spaced ", ""), "empty key");
  EXPECT_EQ(Value(c, "Spaced", "lead "), "<missing>");
  // A header without "]" names the empty section, which then replaces the leading block.
  EXPECT_EQ(Value(c, "", "b"), "1");
  EXPECT_EQ(Value(c, "", "lead"), "<missing>");
}

TEST_F(TextConfigTest, TypedReads) {
  std::string longValue = std::string(254, '0') + "7x";  // cut at 255 characters: "...07"
  Put("[T]\nyes=Yes\none=1\nzeroone=01\ntrue=true\nhex=$1F\nbad=12abc\nneg=-5\n"
      "big=4294967296\nlong=" +
      longValue + "\nlist= a \"b c\"  d \nempty=\n");
  jvbTTextConfig c(path_);
  bool b = true;
  EXPECT_TRUE(c.ReadBool("T", "yes", b));
  EXPECT_FALSE(b);
  EXPECT_TRUE(c.ReadBool("T", "one", b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(c.ReadBool("T", "zeroone", b));
  EXPECT_FALSE(b);
  EXPECT_TRUE(c.ReadBool("T", "true", b));
  EXPECT_FALSE(b);
  b = true;
  EXPECT_FALSE(c.ReadBool("T", "missing", b));
  EXPECT_TRUE(b);

  int32_t i = 42;
  c.ReadInteger(i, "T", "hex");
  EXPECT_EQ(i, 31);
  i = 42;
  c.ReadInteger(i, "T", "bad");  // not the default: zero
  EXPECT_EQ(i, 0);
  c.ReadInteger(i, "T", "neg");
  EXPECT_EQ(i, -5);
  i = 42;
  c.ReadInteger(i, "T", "big");
  EXPECT_EQ(i, 0);
  c.ReadInteger(i, "T", "long");
  EXPECT_EQ(i, 7);
  i = 42;
  c.ReadInteger(i, "T", "missing");
  EXPECT_EQ(i, 42);
  i = 42;
  c.ReadInteger(i, "T", "empty");
  EXPECT_EQ(i, 0);

  Lines l{"pre"};
  c.ReadList(l, "T", "list");
  EXPECT_EQ(l, (Lines{"pre", "a", "b c", "", "d"}));
  c.ReadList(l, "T", "missing");
  EXPECT_EQ(l.size(), 5u);
}

TEST_F(TextConfigTest, NulEndsTheFile) {
  Put("[S]\na=1\0b=2\n"s);
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "a"), "1");
  EXPECT_EQ(Value(c, "S", "b"), "<missing>");
}

TEST_F(TextConfigTest, RawSectionLinesAndAllLines) {
  Put("top=1\n[Hdr] note\nk=v\n\n ;indented\n;hidden\n#hidden\n  x = y "
      "\n[Next]\nn=1\n[Hdr]\nlater=1\n");
  jvbTTextConfig c(path_);
  Lines l{"untouched"};
  EXPECT_FALSE(c.ReadSection("hdr", l));  // exact header match here
  EXPECT_EQ(l, Lines{"untouched"});
  ASSERT_TRUE(c.ReadSection("Hdr", l));  // the first block, raw lines
  EXPECT_EQ(l, (Lines{"k=v", "", " ;indented", "  x = y "}));
  std::string text = "old";
  ASSERT_TRUE(c.ReadSectionText("Next", text));
  EXPECT_EQ(text, "n=1\r\n");
  text = "old";
  EXPECT_FALSE(c.ReadSectionText("Missing", text));
  EXPECT_EQ(text, "old");

  ASSERT_TRUE(c.ReadLines(l));
  ASSERT_EQ(l.size(), 12u);
  EXPECT_EQ(l[1], "[Hdr]");  // header in normalised form
  EXPECT_EQ(l[5], ";hidden");

  Put("");
  l = {"untouched"};
  EXPECT_FALSE(c.ReadLines(l));
  EXPECT_EQ(l, Lines{"untouched"});
}

TEST_F(TextConfigTest, CommentCharsCanBeChanged) {
  Put(";semi=1\n#hash=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "", ";semi"), "<missing>");
  c.SetCommentChars("#");
  EXPECT_EQ(Value(c, "", ";semi"), "1");
  EXPECT_EQ(Value(c, "", "#hash"), "<missing>");
  Lines l;
  Put("[S]\n;shown\n#gone\n");
  ASSERT_TRUE(c.ReadSection("S", l));
  EXPECT_EQ(l, Lines{";shown"});
}

TEST_F(TextConfigTest, CreateMakesAMissingFileAndKeepsAnExistingOne) {
  mode_t mask = umask(022);
  umask(mask);
  {
    jvbTTextConfig c(path_);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
    std::string v;
    EXPECT_FALSE(c.ReadValue("", "x", v));
  }
  Put("x=1\n");
  jvbTTextConfig again(path_);
  EXPECT_EQ(Get(), "x=1\n");
  EXPECT_EQ(Value(again, "", "x"), "1");
}

// --- WriteString -------------------------------------------------------------------------

TEST_F(TextConfigTest, WriteStringInsertionPoints) {
  const std::string before = "lead=0\n[A]\nold=1\n\n# closes A\n[B]\nb=1\n";
  Put(before);
  jvbTTextConfig c(path_);
  // New key of A: after the blank and comment lines, in front of B's header.
  EXPECT_TRUE(c.WriteString("A", "new", "2"));
  EXPECT_EQ(Get(), "lead=0\r\n[A]\r\nold=1\r\n\r\n# closes A\r\nnew=2\r\n[B]\r\nb=1\r\n");
  EXPECT_EQ(Get(bak_), before);
  EXPECT_EQ(Value(c, "A", "new"), "2");  // own change visible at once
  // Last section: at the end of the file.
  EXPECT_TRUE(c.WriteString("B", "c", "3"));
  EXPECT_EQ(Get(), "lead=0\r\n[A]\r\nold=1\r\n\r\n# closes A\r\nnew=2\r\n[B]\r\nb=1\r\nc=3\r\n");
  // Unnamed section: in front of the first header.
  EXPECT_TRUE(c.WriteString("", "top", "t"));
  const std::string body =
      "lead=0\r\ntop=t\r\n[A]\r\nold=1\r\n\r\n# closes A\r\nnew=2\r\n[B]\r\nb=1\r\nc=3\r\n";
  EXPECT_EQ(Get(), body);
  // Missing section: header and key appended.
  EXPECT_TRUE(c.WriteString("New", "k", "v"));
  EXPECT_EQ(Get(), body + "[New]\r\nk=v\r\n");
  // Sections match without regard to case for writing as for reading: the key joins the
  // block lookups read, and the block's other keys stay visible.
  EXPECT_TRUE(c.WriteString("a", "other", "x"));
  EXPECT_EQ(Get(), "lead=0\r\ntop=t\r\n[A]\r\nold=1\r\n\r\n# closes A\r\nnew=2\r\nother=x\r\n"
                   "[B]\r\nb=1\r\nc=3\r\n[New]\r\nk=v\r\n");
  EXPECT_EQ(Value(c, "A", "old"), "1");
  EXPECT_EQ(Value(c, "A", "other"), "x");
}

TEST_F(TextConfigTest, WriteStringChangesTheBlockLookupsRead) {
  // Of two blocks of one section the later is read, so the later is written.
  Put("[S]\nk=early\n[T]\nx=1\n[s]\nk=late\n");
  jvbTTextConfig c(path_);
  EXPECT_TRUE(c.WriteString("S", "k", "new"));
  EXPECT_EQ(Value(c, "S", "k"), "new");
  EXPECT_EQ(Get(), "[S]\r\nk=early\r\n[T]\r\nx=1\r\n[s]\r\nk=new\r\n");
}

TEST_F(TextConfigTest, WriteStringReplacesAnExistingKeyInPlace) {
  const std::string before =
      "# head\n [S] old comment\n  Port = 21\nPort=x\n   Name=a=b\nFlag\n[T]\nPort=1\n";
  Put(before);
  jvbTTextConfig c(path_);
  EXPECT_TRUE(c.WriteString("S", "Port ", "22"));
  EXPECT_EQ(Get(bak_), before);
  EXPECT_TRUE(c.WriteString("S", "Name", "c"));
  EXPECT_TRUE(c.WriteString("S", "Flag", "1"));
  EXPECT_EQ(Get(), "# head\r\n[S]\r\nPort =22\r\nPort=x\r\nName=c\r\nFlag=1\r\n[T]\r\nPort=1\r\n");
  EXPECT_EQ(Value(c, "S", "Port "), "22");
  EXPECT_EQ(Value(c, "S", "Port"), "x");
  EXPECT_EQ(Value(c, "T", "Port"), "1");
  // The backup is always the file just before the last write.
  EXPECT_EQ(Get(bak_),
            "# head\r\n[S]\r\nPort =22\r\nPort=x\r\nName=c\r\nFlag\r\n[T]\r\nPort=1\r\n");
}

TEST_F(TextConfigTest, WriteStringKeepsValuesOnOneLine) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  EXPECT_TRUE(c.WriteString("S", "k", "a\r\n[S]\nk=evil\0z"s));
  EXPECT_TRUE(c.WriteString("S", "k2\n[X]", "v"));
  EXPECT_EQ(Get(), "[S]\r\nk=a  [S] k=evil z\r\nk2 [X]=v\r\n");
  EXPECT_EQ(Value(c, "S", "k"), "a  [S] k=evil z");
  EXPECT_EQ(Value(c, "X", "k2"), "<missing>");
}

TEST_F(TextConfigTest, WriteStringDropsTextAfterNulButTheBackupKeepsIt) {
  const std::string before = "[S]\na=1\n\0[T]\nb=2\n"s;
  Put(before);
  jvbTTextConfig c(path_);
  EXPECT_TRUE(c.WriteString("S", "a", "2"));
  EXPECT_EQ(Get(), "[S]\r\na=2\r\n");
  EXPECT_EQ(Get(bak_), before);
}

TEST_F(TextConfigTest, WriteListJoinsWithBlanks) {
  jvbTTextConfig c(path_);
  EXPECT_TRUE(c.WriteList({"a", "b c", "d"}, "L", "words"));
  EXPECT_TRUE(c.WriteList({}, "L", "none"));
  EXPECT_EQ(Get(), "[L]\r\nwords=a b c d\r\nnone=\r\n");
  Lines l;
  c.ReadList(l, "L", "words");
  EXPECT_EQ(l, (Lines{"a", "b", "c", "d"}));
  l.clear();
  c.ReadList(l, "L", "none");
  EXPECT_TRUE(l.empty());
}

TEST_F(TextConfigTest, FailedBackupLeavesTheFileAloneAndReportsFalse) {
  const std::string before = "[S]\nk=1\n";
  Put(before);
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  ASSERT_EQ(mkdir(bak_.c_str(), 0755), 0);       // the backup cannot be created
  EXPECT_FALSE(c.WriteString("S", "k", "2"));    // existing key
  EXPECT_FALSE(c.WriteString("S", "new", "2"));  // new key
  EXPECT_EQ(Get(), before);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  EXPECT_EQ(Value(c, "S", "new"), "<missing>");
}

TEST_F(TextConfigTest, BackupNameReplacesTheExtension) {
  const std::string user = dir_ + "/john.doe";
  const std::string plain = dir_ + "/bob";
  Put(user, "a=1\n");
  Put(plain, "a=1\n");
  jvbTTextConfig u(user), p(plain);
  EXPECT_TRUE(u.WriteString("", "a", "2"));
  EXPECT_TRUE(p.WriteString("", "a", "2"));
  EXPECT_EQ(Get(dir_ + "/john.bak"), "a=1\n");
  EXPECT_EQ(Get(dir_ + "/bob.bak"), "a=1\n");
}

// --- Reload ------------------------------------------------------------------------------

TEST_F(TextConfigTest, ChangeByAnotherWriterIsSeenAtOnce) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  // Well inside the same two-second slot of the file time.
  Put("[S]\nk=22\n");
  EXPECT_EQ(Value(c, "S", "k"), "22");
  jvbTTextConfig writer(path_);
  EXPECT_TRUE(writer.WriteString("S", "k", "333"));
  EXPECT_EQ(Value(c, "S", "k"), "333");
}

// With a check interval, a change by another writer waits for the next comparison (an
// hour here, so it cannot come during the test); a write through the object is seen at
// once, and a new object reads the file as it is.
TEST_F(TextConfigTest, CheckIntervalDefersTheStampComparison) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  c.SetCheckInterval(3600 * 1000);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  Put("[S]\nk=22\n");
  EXPECT_EQ(Value(c, "S", "k"), "1");
  jvbTTextConfig fresh(path_);
  EXPECT_EQ(Value(fresh, "S", "k"), "22");
  EXPECT_TRUE(c.WriteString("S", "k", "333"));
  EXPECT_EQ(Value(c, "S", "k"), "333");
  c.SetCheckInterval(0);
  Put("[S]\nk=4\n");
  EXPECT_EQ(Value(c, "S", "k"), "4");
}

// Taking the file lock compares once more: a change made before it is seen, and the
// object's own writes under the lock are seen at once.
TEST_F(TextConfigTest, FileLockComparesOnceAfterItIsTaken) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  Put("[S]\nk=22\n");
  ASSERT_TRUE(c.SetFileLock(true));
  EXPECT_EQ(Value(c, "S", "k"), "22");
  EXPECT_TRUE(c.WriteString("S", "k", "333"));
  EXPECT_EQ(Value(c, "S", "k"), "333");
  EXPECT_TRUE(c.SetFileLock(false));
  Put("[S]\nk=4\n");
  EXPECT_EQ(Value(c, "S", "k"), "4");
}

TEST_F(TextConfigTest, DeletedFileEmptiesTheTableUntilItReturns) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");
  ASSERT_EQ(unlink(path_.c_str()), 0);
  EXPECT_EQ(Value(c, "S", "k"), "<missing>");
  Lines l;
  EXPECT_FALSE(c.ReadLines(l));
  EXPECT_FALSE(c.WriteString("S", "k", "2"));
  EXPECT_FALSE(std::filesystem::exists(path_));
  Put("[S]\nk=3\n");
  EXPECT_EQ(Value(c, "S", "k"), "3");
}

// A child process holds an exclusive lock on the file and rewrites it; the parent decides
// when it lets go, so nothing depends on timing.
TEST_F(TextConfigTest, FileHeldByAnotherProcessKeepsThePreviousTable) {
  Put("[S]\nk=1\n");
  jvbTTextConfig c(path_);
  EXPECT_EQ(Value(c, "S", "k"), "1");

  int locked[2], release[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(release), 0);
  const std::string next = "[S]\nk=22\n";
  const std::string path = path_;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    char go = 0;
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, next.data(), next.size(), 0) != static_cast<ssize_t>(next.size()) ||
        write(locked[1], "L", 1) != 1)
      _exit(1);
    ssize_t n = read(release[0], &go, 1);
    _exit(n == 1 ? 0 : 2);
  }
  close(locked[1]);
  close(release[0]);
  char ack = 0;
  ASSERT_EQ(read(locked[0], &ack, 1), 1);

  // The file changed but cannot be opened within the retry: the old table answers.
  EXPECT_EQ(Value(c, "S", "k"), "1");
  EXPECT_FALSE(c.WriteString("S", "k", "9"));
  // A fresh object has no previous table.
  jvbTTextConfig fresh(path_);
  EXPECT_EQ(Value(fresh, "S", "k"), "<missing>");

  ASSERT_EQ(write(release[1], "R", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(locked[0]);
  close(release[1]);

  EXPECT_EQ(Get(), next);
  EXPECT_EQ(Value(c, "S", "k"), "22");
  EXPECT_EQ(Value(fresh, "S", "k"), "22");
}

// --- File lock ---------------------------------------------------------------------------

TEST_F(TextConfigTest, FileLockHoldsTheFileAndRewritesInPlace) {
  Put("[Q]\nstate=0\n");
  auto othersCanLock = [this] {
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return ok;
  };
  struct stat before {};
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  {
    jvbTTextConfig c(path_);
    EXPECT_TRUE(c.SetFileLock(true));
    EXPECT_TRUE(c.FileLocked());
    EXPECT_TRUE(c.SetFileLock(true));  // setting the state again does nothing
    EXPECT_FALSE(othersCanLock());

    EXPECT_EQ(Value(c, "Q", "state"), "0");
    EXPECT_TRUE(c.WriteString("Q", "state", "1"));
    EXPECT_TRUE(c.WriteString("Q", "extra", "x"));
    EXPECT_EQ(Value(c, "Q", "state"), "1");
    EXPECT_EQ(Get(), "[Q]\r\nstate=1\r\nextra=x\r\n");
    EXPECT_EQ(Get(bak_), "[Q]\r\nstate=1\r\n");
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // same file, so the lock still covers it
    EXPECT_FALSE(othersCanLock());

    jvbTTextConfig other(path_);
    EXPECT_FALSE(other.WriteString("Q", "state", "2"));
    EXPECT_EQ(Value(other, "Q", "state"), "<missing>");

    EXPECT_TRUE(c.SetFileLock(false));
    EXPECT_FALSE(c.FileLocked());
    EXPECT_TRUE(othersCanLock());
    EXPECT_TRUE(c.SetFileLock(true));
  }
  EXPECT_TRUE(othersCanLock());  // released by the destructor
}

// --- Threads -----------------------------------------------------------------------------

TEST_F(TextConfigTest, LookupsDuringRewritesNeverSeeAHalfBuiltTable) {
  std::string text = "[Fixed]\n";
  for (int i = 0; i < 50; ++i) text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  text += "[Count]\nn=0\n";
  Put(text);
  jvbTTextConfig c(path_);
  jvbTTextConfig outside(path_);  // a second writer on its own handle

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto reader = [&] {
    int32_t last = 0;
    while (!done.load()) {
      std::string v;
      if (!c.ReadValue("Fixed", "key49", v) || v != "49") ++failures;
      if (!c.ReadValue("Fixed", "key0", v) || v != "0") ++failures;
      int32_t n = -1;
      c.ReadInteger(n, "Count", "n");
      if (n < last) ++failures;  // never goes back to an older table
      last = n;
    }
  };
  std::thread r1(reader), r2(reader);
  int writes = 0;
  for (int i = 1; i <= 60; ++i) {
    jvbTTextConfig& w = (i % 3 == 0) ? outside : c;
    if (w.WriteString("Count", "n", std::to_string(i))) ++writes;
  }
  done = true;
  r1.join();
  r2.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(writes, 60);
  EXPECT_EQ(Value(c, "Count", "n"), "60");
}

}  // namespace
