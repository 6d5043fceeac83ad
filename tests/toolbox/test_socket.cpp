// Line reading of the socket: which bytes end a line, and lines beyond their limit; byte counts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "toolbox/socket.h"

namespace {

TEST(SocketReadLine, CrLfOnlyKeepsBareLineEndsInTheLine) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  jvbTSocket reader(fds[0]);
  auto put = [&](const std::string& bytes) {
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  };
  using End = jvbTSocket::LineEnd;
  std::string line;
  put("a\n.\nb\r.\rc\r\nnext\n");
  ASSERT_EQ(reader.ReadLine(line, 100, 5000, nullptr, End::kCrLf), 1);
  EXPECT_EQ(line, "a\n.\nb\r.\rc");
  ASSERT_EQ(reader.ReadLine(line, 100, 5000), 1);
  EXPECT_EQ(line, "next");
  // A line beyond the limit is skipped to its CR LF, even when CR and LF come in different
  // reads (the reader takes 4096 bytes at a time).
  put(std::string(4095, 'x') + "\r\nafter\r\n");
  ASSERT_EQ(reader.ReadLine(line, 10, 5000, nullptr, End::kCrLf), -3);
  ASSERT_EQ(reader.ReadLine(line, 10, 5000, nullptr, End::kCrLf), 1);
  EXPECT_EQ(line, "after");
  close(fds[1]);
}

// Every way in and out counts its bytes once: lines, sends, bulk receives, header and body.
TEST(SocketCounts, BytesInAndOut) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  jvbTSocket a(fds[0]), b(fds[1]);
  std::atomic<uint64_t> in{0}, out{0};
  a.CountBytes(&in, &out);
  ASSERT_TRUE(b.Send("one\ntwo\n"));
  std::string line;
  ASSERT_EQ(a.ReadLine(line, 100, 5000), 1);
  ASSERT_EQ(a.ReadLine(line, 100, 5000), 1);
  EXPECT_EQ(in.load(), 8u);
  ASSERT_TRUE(a.Send("hello"));
  ASSERT_TRUE(a.SendBoth("head", 4, "body", 4));
  EXPECT_EQ(out.load(), 13u);
  ASSERT_TRUE(b.Send("xyz"));
  char buf[16];
  EXPECT_EQ(a.RecvFull(buf, 3), 3);
  EXPECT_EQ(in.load(), 11u);
  a.CountBytes(nullptr, nullptr);
  ASSERT_TRUE(a.Send("not counted"));
  EXPECT_EQ(out.load(), 13u);
}

}  // namespace
