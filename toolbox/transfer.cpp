#include "toolbox/transfer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace jvb {

int SocketLocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

void SetIoTimeout(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int64_t RecvFull(int socketFd, char* buf, size_t max) {
  ssize_t n = recv(socketFd, buf, max, MSG_WAITALL);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EINTR) ? -2 : -1;
}

void SetUrgentInline(int fd) {
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

void ShutdownSend(int fd) { shutdown(fd, SHUT_WR); }

int64_t SendFileSome(int socketFd, int fileFd, int64_t offset, size_t count) {
  off_t off = offset;
  ssize_t n = sendfile(socketFd, fileFd, &off, count);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EINTR) ? -2 : -1;
}

bool WriteAt(int fd, const char* data, size_t size, int64_t offset) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= n;
    offset += n;
  }
  return true;
}

bool TruncateAt(int fd, int64_t size) { return ftruncate(fd, size) == 0; }

int64_t FreeDiskBytes(int fd) {
  struct statvfs s {};
  if (fstatvfs(fd, &s) != 0) return -1;
  return static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
}

bool TryLockExclusive(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

}  // namespace jvb
