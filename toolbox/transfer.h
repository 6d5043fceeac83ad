// Data-transfer helpers of the platform layer: moving file bytes to and from sockets
// (sendfile, positioned writes), waiting on a data and a control descriptor at once, and
// the few descriptor facts a file service needs (local port, free disk space, a lock
// probe). Every function is safe from any thread on descriptors the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jvb {

// Local port of a socket; 0 when unknown.
int SocketLocalPort(int fd);
// Bounds every blocking send and receive on the socket (0: no bound).
void SetIoTimeout(int fd, int ms);
// Urgent bytes (a client's Telnet "synch" before ABOR) stay in the normal byte stream.
void SetUrgentInline(int fd);
// Half-close: no more sends, the peer sees the end of data.
void ShutdownSend(int fd);

// Sends up to count bytes of the file from offset with sendfile; on a socket with an I/O
// time-out it returns what went out when the time-out passes. Bytes sent, 0 at the end of
// the file, -2 when nothing went out in time, -1 on error (errno kept).
int64_t SendFileSome(int socketFd, int fileFd, int64_t offset, size_t count);
// Receives until buf is full, the data ends or the socket's I/O time-out passes: bytes,
// 0 end of data, -1 error, -2 nothing within the time-out.
int64_t RecvFull(int socketFd, char* buf, size_t max);

// Writes all bytes at offset; false with errno on a failure (a full disk).
bool WriteAt(int fd, const char* data, size_t size, int64_t offset);
// Cuts (or extends) the file to size.
bool TruncateAt(int fd, int64_t size);
// Bytes free for an unprivileged writer on the file system of a descriptor; -1 unknown.
int64_t FreeDiskBytes(int fd);
// True when no one else holds a lock on the file; the exclusive lock is then held by fd
// until it is closed.
bool TryLockExclusive(int fd);

}  // namespace jvb
