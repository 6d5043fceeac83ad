#include "toolbox/netfile.h"

#include <errno.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <fstream>

namespace jvb {

bool ReadAll(int fd, std::string& out, size_t maxBytes) {
  out.clear();
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return false;
    out.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.size() + static_cast<size_t>(n) > maxBytes) return false;
    out.append(buf, static_cast<size_t>(n));
  }
}

bool SendBoth(int sock, const char* head, size_t headLen, const char* body, size_t bodyLen) {
  iovec iov[2] = {{const_cast<char*>(head), headLen}, {const_cast<char*>(body), bodyLen}};
  int first = 0;
  while (first < 2) {
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = static_cast<size_t>(2 - first);
    ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size_t left = static_cast<size_t>(n);
    while (first < 2 && left >= iov[first].iov_len) {
      left -= iov[first].iov_len;
      ++first;
    }
    if (first < 2) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return true;
}

int64_t SendFileBlock(int sock, int fd, int64_t* offset, int64_t count) {
  int64_t sent = 0;
  while (sent < count) {
    off_t off = static_cast<off_t>(*offset);
    ssize_t n = sendfile(sock, fd, &off, static_cast<size_t>(count - sent));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;  // end of file
    *offset = off;
    sent += n;
  }
  return sent;
}

void DrainAfterReply(int sock, int waitMs, size_t maxBytes) {
  if (sock < 0) return;
  shutdown(sock, SHUT_WR);
  char buf[16384];
  size_t total = 0;
  while (total < maxBytes) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return;
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n <= 0) return;
    total += static_cast<size_t>(n);
  }
}

int ListenBacklogLimit() {
  std::ifstream f("/proc/sys/net/core/somaxconn");
  int n = 0;
  if (!(f >> n) || n < 1) return 4096;
  return n;
}

}  // namespace jvb
