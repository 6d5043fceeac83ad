// qmpTools: the binary packets of the administration link between the server's management
// service and its consoles. A packet is an 8-byte header (reserved byte, message code,
// flags, sequence number, payload length; integers little-endian) followed by a payload:
// a fixed part whose size depends on the code, then a text area that texts are appended
// to. Texts are addressed by 4-byte descriptors inside the fixed part (16-bit offset from
// the payload start, 16-bit length).
//
// The encoder and decoder do no I/O: qmpTBuffer is one packet, qmpTSession the sender's
// sequence state, qmpParse cuts packets out of a byte stream. Every field access is
// bounded: a payload can never pass the buffer, and a text descriptor from the wire is
// trusted only when it names bytes inside the payload's text area. qmpSend and qmpReceive
// move whole packets over a socket.
//
// Threads: a buffer or session object belongs to one thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class jvbTSocket;

inline constexpr int qmpBufferSize = 65536;
inline constexpr int qmpHeaderSize = 8;
// Largest payload a buffer holds; a header that announces more is a broken packet.
inline constexpr int qmpMaxPayload = qmpBufferSize - qmpHeaderSize;

// Packet kinds, flag bits 0-1.
enum qmpTKind : int { qmpInformation = 0, qmpRequest = 1, qmpResult = 2 };

// Message codes of the administration link.
enum qmpTCode : int {
  qmpPing = 0,          // fixed part: 8-byte time stamp
  qmpIdentity = 1,      // four texts at 0, 4, 8, 12
  qmpAuthenticate = 2,  // byte 0, text at 1
  qmpGetInt = 16,       // 16-bit 13 at 0, name text at 2, 32-bit value at 6
  qmpGetStr = 17,       // 16-bit 13 at 0, name text at 2, value text at 6
  qmpCommand = 32,      // byte 0, time stamp at 1, command text at 9
};

// Size of the fixed part of a message code's payload.
int qmpFixedSize(int code);

// One packet: header plus payload in a 65,536-byte buffer.
class qmpTBuffer {
 public:
  qmpTBuffer() { Clear(); }

  void Clear() { b_.fill(0); }

  // Header fields.
  int Reserved() const { return b_[0]; }
  int Code() const { return b_[1]; }
  uint16_t Flags() const { return Get16(2); }
  int Kind() const { return Flags() & 3; }
  uint16_t Sequence() const { return Get16(4); }
  int Length() const { return Get16(6); }  // payload bytes
  int Size() const { return Length() + qmpHeaderSize; }
  bool Is(int code, int kind) const { return Code() == code && Kind() == kind; }

  // Fixed payload fields at payload offsets. Reads outside the payload give 0; writes
  // outside the payload are refused (false).
  uint8_t GetByte(int offset) const;
  uint16_t GetWord(int offset) const;
  uint32_t GetLong(int offset) const;
  bool PutByte(int offset, uint8_t value);
  bool PutWord(int offset, uint16_t value);
  bool PutLong(int offset, uint32_t value);
  bool PutBytes(int offset, const void* data, int count);
  // Copies count payload bytes to out; false (and nothing copied) outside the payload.
  bool GetBytes(int offset, void* out, int count) const;

  // Header plus payload as sent on the wire.
  std::string Bytes() const;
  const uint8_t* Data() const { return b_.data(); }

  // Raw header writes for the encoder.
  void SetHeader(uint16_t sequence, uint16_t flags, int code, int length);
  void SetLength(int length) { Put16(6, static_cast<uint16_t>(length)); }

  // Takes a whole packet (header and the announced payload) from raw bytes. False when the
  // bytes are not exactly one well-formed packet (short, announced length over the limit,
  // or trailing bytes); the buffer is then cleared.
  bool Assign(const void* data, size_t size);

 private:
  uint16_t Get16(int at) const { return static_cast<uint16_t>(b_[at] | (b_[at + 1] << 8)); }
  void Put16(int at, uint16_t v) {
    b_[at] = static_cast<uint8_t>(v);
    b_[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  bool InPayload(int offset, int count) const {
    return offset >= 0 && count >= 0 && offset + count <= Length();
  }

  std::array<uint8_t, qmpBufferSize> b_;
};

// Sender state: a flags word (0, never changed by these routines) and the sequence of the
// next information or request packet.
class qmpTSession {
 public:
  uint16_t flags = 0;
  uint16_t sequence = 0;

  // Zeroes the buffer and writes a header with the payload length set to the code's fixed
  // part.
  static void New(qmpTBuffer& buffer, uint16_t sequence, uint16_t flags, int code);
  // Information / request packet with this sender's sequence, which then advances
  // (65535 is followed by 0).
  void Info(int code, qmpTBuffer& buffer);
  void Request(int code, qmpTBuffer& buffer);
  // Result answering request: the request's code and flags as a result, this sender's
  // current sequence (not advanced). request and buffer may be the same object.
  void Result(const qmpTBuffer& request, qmpTBuffer& buffer);

  // Appends text to the payload and points the descriptor at position (which must lie
  // inside the code's fixed part) at it. A text that would pass the payload limit is cut
  // to what fits. False when the text was cut or the position is not a descriptor slot.
  static bool SetText(const std::string& text, int position, qmpTBuffer& buffer);
  // The text the descriptor at position names. False (text empty) when the descriptor lies
  // outside the fixed part or names bytes outside the text area - a broken packet.
  static bool GetText(int position, const qmpTBuffer& buffer, std::string& text);
  static int Size(const qmpTBuffer& buffer) { return buffer.Size(); }
};

// Outcome of cutting a packet out of received bytes.
enum qmpTParse : int {
  qmpParseComplete = 1,  // one packet taken into the buffer
  qmpParseNeedMore = 0,  // the bytes end inside a packet
  qmpParseBroken = -1,   // the header announces more than a buffer holds
};

// Cuts the first packet out of data. On qmpParseComplete *used is the number of bytes the
// packet took; otherwise *used is 0 and the buffer is left unchanged.
int qmpParse(const void* data, size_t size, qmpTBuffer& buffer, size_t* used);

// Sends the whole packet; false when the link is broken.
bool qmpSend(jvbTSocket& socket, const qmpTBuffer& buffer);

// Outcome of qmpReceive.
enum qmpTReceive : int {
  qmpReceived = 1,    // one whole packet is in the buffer
  qmpNothing = 0,     // nothing arrived within the time limit (the stream is intact)
  qmpBroken = -1,     // peer closed, read error, oversized header, stalled or stopped mid-packet
};

// Reads one packet: exactly 8 header bytes, then exactly the announced payload, repeating
// partial reads. timeoutMs bounds the whole packet; stop, when given, is polled between
// waits of at most 250 ms and ends the read as broken once set.
int qmpReceive(jvbTSocket& socket, qmpTBuffer& buffer, int timeoutMs,
               const std::atomic<bool>* stop = nullptr);
