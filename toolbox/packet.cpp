#include "toolbox/packet.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "toolbox/socket.h"
#include "toolbox/timeutil.h"

int qmpFixedSize(int code) {
  switch (code) {
    case 0:
      return 8;
    case 1:
      return 16;
    case 2:
      return 5;
    case 8:
    case 9:
    case 12:
    case 13:
    case 16:
    case 17:
    case 18:
    case 24:
    case 25:
    case 26:
      return 10;
    case 32:
      return 13;
    default:  // 4, 5 and every unknown code
      return 0;
  }
}

// --- qmpTBuffer ------------------------------------------------------------------------

uint8_t qmpTBuffer::GetByte(int offset) const {
  return InPayload(offset, 1) ? b_[qmpHeaderSize + offset] : 0;
}

uint16_t qmpTBuffer::GetWord(int offset) const {
  return InPayload(offset, 2) ? Get16(qmpHeaderSize + offset) : 0;
}

uint32_t qmpTBuffer::GetLong(int offset) const {
  if (!InPayload(offset, 4)) return 0;
  const uint8_t* p = b_.data() + qmpHeaderSize + offset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool qmpTBuffer::PutByte(int offset, uint8_t value) {
  if (!InPayload(offset, 1)) return false;
  b_[qmpHeaderSize + offset] = value;
  return true;
}

bool qmpTBuffer::PutWord(int offset, uint16_t value) {
  if (!InPayload(offset, 2)) return false;
  Put16(qmpHeaderSize + offset, value);
  return true;
}

bool qmpTBuffer::PutLong(int offset, uint32_t value) {
  if (!InPayload(offset, 4)) return false;
  uint8_t* p = b_.data() + qmpHeaderSize + offset;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
}

bool qmpTBuffer::PutBytes(int offset, const void* data, int count) {
  if (!InPayload(offset, count)) return false;
  if (count > 0) std::memcpy(b_.data() + qmpHeaderSize + offset, data, count);
  return true;
}

bool qmpTBuffer::GetBytes(int offset, void* out, int count) const {
  if (!InPayload(offset, count)) return false;
  if (count > 0) std::memcpy(out, b_.data() + qmpHeaderSize + offset, count);
  return true;
}

std::string qmpTBuffer::Bytes() const {
  // Length() is at most 65535, so a header announcing more than the buffer holds can only
  // come from Assign or SetHeader misuse; never read past the buffer either way.
  size_t n = std::min<size_t>(Size(), b_.size());
  return std::string(reinterpret_cast<const char*>(b_.data()), n);
}

void qmpTBuffer::SetHeader(uint16_t sequence, uint16_t flags, int code, int length) {
  b_[0] = 0;
  b_[1] = static_cast<uint8_t>(code);
  Put16(2, flags);
  Put16(4, sequence);
  Put16(6, static_cast<uint16_t>(std::clamp(length, 0, qmpMaxPayload)));
}

bool qmpTBuffer::Assign(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (size < static_cast<size_t>(qmpHeaderSize)) {
    Clear();
    return false;
  }
  size_t length = p[6] | (p[7] << 8);
  if (length > static_cast<size_t>(qmpMaxPayload) || size != qmpHeaderSize + length) {
    Clear();
    return false;
  }
  std::memcpy(b_.data(), p, size);
  std::memset(b_.data() + size, 0, b_.size() - size);
  return true;
}

// --- qmpTSession -----------------------------------------------------------------------

void qmpTSession::New(qmpTBuffer& buffer, uint16_t sequence, uint16_t flags, int code) {
  buffer.Clear();
  buffer.SetHeader(sequence, flags, code, qmpFixedSize(code));
}

void qmpTSession::Info(int code, qmpTBuffer& buffer) {
  New(buffer, sequence, static_cast<uint16_t>(flags & ~7u), code);
  ++sequence;  // 16-bit: 65535 wraps to 0
}

void qmpTSession::Request(int code, qmpTBuffer& buffer) {
  New(buffer, sequence, static_cast<uint16_t>((flags & ~7u) | qmpRequest), code);
  ++sequence;
}

void qmpTSession::Result(const qmpTBuffer& request, qmpTBuffer& buffer) {
  // Read the request first: it may be the buffer being rebuilt.
  int code = request.Code();
  uint16_t f = static_cast<uint16_t>((request.Flags() & ~7u) | qmpResult);
  New(buffer, sequence, f, code);
}

bool qmpTSession::SetText(const std::string& text, int position, qmpTBuffer& buffer) {
  int fixed = qmpFixedSize(buffer.Code());
  if (position < 0 || position + 4 > fixed) return false;
  int offset = buffer.Length();
  int room = std::max(0, qmpMaxPayload - offset);
  int n = static_cast<int>(std::min<size_t>(text.size(), room));
  buffer.SetLength(offset + n);
  buffer.PutBytes(offset, text.data(), n);
  buffer.PutWord(position, static_cast<uint16_t>(offset));
  buffer.PutWord(position + 2, static_cast<uint16_t>(n));
  return static_cast<size_t>(n) == text.size();
}

bool qmpTSession::GetText(int position, const qmpTBuffer& buffer, std::string& text) {
  text.clear();
  int fixed = qmpFixedSize(buffer.Code());
  if (position < 0 || position + 4 > fixed || position + 4 > buffer.Length()) return false;
  int offset = buffer.GetWord(position);
  int length = buffer.GetWord(position + 2);
  if (length == 0) return true;  // an empty text names no bytes, wherever it points
  // A text lives in the text area: never inside the fixed part, never past the payload.
  if (offset < fixed || offset + length > buffer.Length()) return false;
  text.resize(length);
  return buffer.GetBytes(offset, text.data(), length);
}

// --- Stream decoding and socket helpers ------------------------------------------------

int qmpParse(const void* data, size_t size, qmpTBuffer& buffer, size_t* used) {
  *used = 0;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (size < static_cast<size_t>(qmpHeaderSize)) return qmpParseNeedMore;
  size_t length = p[6] | (p[7] << 8);
  if (length > static_cast<size_t>(qmpMaxPayload)) return qmpParseBroken;
  size_t total = qmpHeaderSize + length;
  if (size < total) return qmpParseNeedMore;
  buffer.Assign(p, total);
  *used = total;
  return qmpParseComplete;
}

bool qmpSend(jvbTSocket& socket, const qmpTBuffer& buffer) { return socket.Send(buffer.Bytes()); }

int qmpReceive(jvbTSocket& socket, qmpTBuffer& buffer, int timeoutMs,
               const std::atomic<bool>* stop) {
  std::vector<char> bytes(qmpHeaderSize);
  size_t have = 0;
  int64_t deadline = jvb::MonotonicMs() + std::max(0, timeoutMs);
  for (;;) {
    if (have == bytes.size()) {
      if (have == static_cast<size_t>(qmpHeaderSize)) {
        size_t length = static_cast<uint8_t>(bytes[6]) | static_cast<uint8_t>(bytes[7]) << 8;
        if (length > static_cast<size_t>(qmpMaxPayload)) {
          buffer.Clear();
          return qmpBroken;
        }
        bytes.resize(qmpHeaderSize + length);
      }
      if (have == bytes.size()) {
        buffer.Assign(bytes.data(), bytes.size());
        return qmpReceived;
      }
    }
    if (stop && stop->load()) {
      buffer.Clear();
      return qmpBroken;
    }
    int64_t left = deadline - jvb::MonotonicMs();
    if (left <= 0) {
      if (have == 0) return qmpNothing;
      buffer.Clear();  // a packet that stalls halfway leaves the stream out of step
      return qmpBroken;
    }
    int wait = static_cast<int>(std::min<int64_t>(left, stop ? 250 : left));
    int n = socket.Recv(bytes.data() + have, static_cast<int>(bytes.size() - have), wait);
    if (n == -2) continue;
    if (n <= 0) {
      buffer.Clear();
      return qmpBroken;
    }
    have += n;
  }
}
