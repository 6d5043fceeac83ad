// qmsTDotStuffer: a stored message turned into the data of a POP3 RETR or TOP reply. Fed
// the message file's bytes block by block, it appends what goes to the client: header
// lines with CR LF line ends, the empty line, then the body as stored, up to a number of
// body lines. Every line that starts with "." goes out with the dot doubled, header lines
// included: a lone "." would otherwise end the reply early and let the rest of the
// message pose as server replies. Finish closes the data with the end mark. No I/O, so it
// is tested with plain strings.
//
// A header line longer than kHeaderPiece goes out in pieces instead of being held whole.
//
// Threads: one stuffer belongs to one session thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class qmsTDotStuffer {
 public:
  static constexpr size_t kHeaderPiece = 65536;

  // bodyLines: body lines to send (negative: all). onHeaderLine, when set, sees each
  // complete header line as sent (for the debug log).
  explicit qmsTDotStuffer(int64_t bodyLines,
                          std::function<void(const std::string&)> onHeaderLine = nullptr)
      : limit_(bodyLines), on_header_line_(std::move(onHeaderLine)) {}

  // Takes the next n bytes of the file and appends the data for them to out. True once
  // no further byte is wanted (the body-line limit is reached).
  bool Feed(const char* p, size_t n, std::string& out);
  // After the last byte: what was held back, a line end if the data did not end with
  // one, and the end mark ".".
  void Finish(std::string& out);

 private:
  const char* FeedHeader(const char* p, const char* end, std::string& out);
  void FeedBody(const char* p, const char* end, std::string& out);
  void HeaderLine(bool complete, std::string& out);

  const int64_t limit_;
  std::function<void(const std::string&)> on_header_line_;
  bool header_ = true;
  std::string line_;             // header line being collected
  bool line_part_sent_ = false;  // a piece of this header line already went out
  bool line_start_ = true;       // body: the next byte begins a line
  int64_t lines_ = 0;
  bool done_ = false;
  // Records the last two bytes of out appended since before.
  void Remember(const std::string& out, size_t before);
  char last_[2] = {'\r', '\n'};  // last two bytes appended so far
};
