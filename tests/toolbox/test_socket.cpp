// Line reading of the socket: which bytes end a line, and lines beyond their limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace
