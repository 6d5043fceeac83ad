// qmsTMessageSender: sends one stored message as a POP3 multi-line reply: the reply line,
// the header lines, the body (all of it, or its first lines) and the end mark, with every
// line that starts with "." dot-stuffed. The file is read in blocks sized by what it held
// when it was opened, so a message of up to one block costs one read (no read at its end)
// and goes out with its reply line and end mark in one send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

class jvbTTextFile;

class qmsTMessageSender {
 public:
  struct Hooks {
    std::function<bool(const std::string&)> send;            // bytes as they are
    std::function<void(const std::string&)> headerLineSent;  // for the protocol debug log
    std::function<bool()> proceed;  // before each block: false stops (session ending)
  };

  // A header line longer than this goes out in pieces instead of being held whole.
  static constexpr size_t kHeaderPiece = 65536;

  qmsTMessageSender(Hooks hooks, size_t blockSize) : hooks_(std::move(hooks)), block_(blockSize) {}

  // limit < 0: the whole message; otherwise the header and the first limit body lines.
  void Send(const std::string& reply, jvbTTextFile& file, int64_t limit);

 private:
  void HeaderLine(bool complete);
  void Flush();
  void TakeHeader(const char*& p, const char* end);
  void TakeBody(const char* p, const char* end, int64_t limit);

  Hooks hooks_;
  size_t block_;
  std::string out_;
  bool ok_ = true;
  bool header_ = true;
  std::string line_;             // header line being collected
  bool line_part_sent_ = false;  // a piece of this header line already went out
  bool line_start_ = true;       // body: the next byte begins a line
  int64_t lines_ = 0;
  bool done_ = false;
  char last_ = '\n';  // last byte of the data sent after the reply line
};
