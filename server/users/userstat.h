// Tqms_user: the 1,024-byte statistics record of one account, as stored in the file
// "<StatDirectory>/usr.<account>". Nine 32-bit little-endian counters at the start, the
// rest zero. The bytes are kept as they were read, so a rewrite never loses data that a
// later version may keep behind the counters. Counters wrap modulo 2^32.
//
// A plain value type; one object belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Tqms_user {
 public:
  static constexpr size_t kSize = 1024;

  // Byte offset / 4 of each counter, in file order.
  enum Counter : int {
    ftpSentKB = 0,    // FTP kilobytes sent
    ftpSent = 1,      // FTP files sent
    ftpRecvKB = 2,    // FTP kilobytes received
    ftpRecv = 3,      // FTP files received
    ftpLogin = 4,     // value recorded at each FTP login
    ftpSentRate = 5,  // highest FTP sending rate
    ftpRecvRate = 6,  // highest FTP receiving rate
    smtpRecv = 7,     // SMTP messages received
    smtpRecvKB = 8,   // SMTP kilobytes received
  };
  static constexpr int kCounters = 9;

  Tqms_user() { Clear(); }

  void Clear() { bytes_.fill(0); }
  uint32_t Get(Counter c) const;
  void Set(Counter c, uint32_t value);
  void Add(Counter c, uint32_t amount) { Set(c, Get(c) + amount); }  // wraps
  void Raise(Counter c, uint32_t value) {
    if (value > Get(c)) Set(c, value);
  }

  // Raw record. Load copies at most kSize bytes and zeroes the rest, so a short or long
  // file never reads or writes out of bounds.
  const unsigned char* Data() const { return bytes_.data(); }
  void Load(const void* data, size_t size);

  bool operator==(const Tqms_user& o) const { return bytes_ == o.bytes_; }

 private:
  std::array<unsigned char, kSize> bytes_;
};
