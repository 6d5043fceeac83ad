// Moving file data to sockets: whole-file reads from a descriptor, a header and a body in
// one send, sendfile for streamed files, and the kernel's cap on listen backlogs. These
// are the platform calls of the HTTP answer path; no other code calls them directly.
// Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jvb {

// Reads the rest of an open regular file; false when a read fails or the file holds
// more than maxBytes.
bool ReadAll(int fd, std::string& out, size_t maxBytes);
// Sends head and then body with as few system calls as the socket allows (one, normally).
// False when the peer is gone.
bool SendBoth(int sock, const char* head, size_t headLen, const char* body, size_t bodyLen);
// Sends up to count bytes of fd from *offset with sendfile and advances *offset. Returns
// the bytes sent (fewer at the end of the file), -1 when the peer is gone.
int64_t SendFileBlock(int sock, int fd, int64_t* offset, int64_t count);
// Ends a connection whose client may still be sending (a refused request): the write side
// is closed first and what arrives is read and dropped for up to waitMs or maxBytes, so the
// kernel does not answer the unread bytes with a reset that could destroy the reply.
void DrainAfterReply(int sock, int waitMs, size_t maxBytes);
// net.core.somaxconn, the largest backlog listen() honours (4096 when unreadable).
int ListenBacklogLimit();

}  // namespace jvb
