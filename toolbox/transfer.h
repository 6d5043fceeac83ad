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
bool SetNonBlocking(int fd, bool on);
// Urgent bytes (a client's Telnet "synch" before ABOR) stay in the normal byte stream.
void SetUrgentInline(int fd);
// Half-close: no more sends, the peer sees the end of data.
void ShutdownSend(int fd);

// Waits for the data descriptor (readable, or writable with forWrite) and the control
// descriptor (readable; -1 for none). Bit 1: data ready (or failed), bit 2: control has
// bytes; 0 on time-out, -1 on error.
int WaitTransfer(int dataFd, bool forWrite, int controlFd, int timeoutMs);

// Sends up to count bytes of the file from offset with sendfile on a non-blocking socket:
// bytes sent, 0 at the end of the file, -2 when the socket is full, -1 on error
// (errno kept).
int64_t SendFileSome(int socketFd, int fileFd, int64_t offset, size_t count);
// Receives what is waiting on a non-blocking socket: bytes, 0 end of data, -1 error,
// -2 nothing yet.
int64_t RecvSome(int socketFd, char* buf, size_t max);

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
