#include "server/mail/messagesender.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "toolbox/textfile.h"

void qmsTMessageSender::Flush() {
  if (ok_ && !out_.empty()) ok_ = hooks_.send(out_);
  if (!out_.empty()) last_ = out_.back();
  out_.clear();
}

// Every line starting with "." goes out with the dot doubled, header lines included: a
// lone "." in a header would otherwise end the reply early and let the rest of the
// message pose as server replies.
void qmsTMessageSender::HeaderLine(bool complete) {
  if (!line_part_sent_ && !line_.empty() && line_.front() == '.') out_ += '.';
  out_ += line_;
  if (complete) {
    out_ += "\r\n";
    if (hooks_.headerLineSent) hooks_.headerLineSent(line_);
  }
}

void qmsTMessageSender::TakeHeader(const char*& p, const char* end) {
  while (header_ && p < end) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!lf) {
      line_.append(p, end);
      p = end;
      if (line_.size() > kHeaderPiece) {
        // Keep a trailing CR back: it may belong to the line end.
        std::string keep;
        if (line_.back() == '\r') {
          keep = "\r";
          line_.pop_back();
        }
        HeaderLine(false);
        line_part_sent_ = true;
        line_ = keep;
      }
      return;
    }
    line_.append(p, lf);
    p = lf + 1;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.empty() && !line_part_sent_) {
      out_ += "\r\n";
      header_ = false;
    } else {
      HeaderLine(true);
    }
    line_.clear();
    line_part_sent_ = false;
  }
}

void qmsTMessageSender::TakeBody(const char* p, const char* end, int64_t limit) {
  if (limit == 0) {
    done_ = true;
    return;
  }
  for (; p < end; ++p) {
    const char c = *p;
    if (line_start_ && c == '.') out_ += '.';
    out_ += c;
    line_start_ = c == '\r' || c == '\n';
    if (c == '\n' && limit > 0 && ++lines_ >= limit) {
      done_ = true;
      return;
    }
  }
}

void qmsTMessageSender::Send(const std::string& reply, jvbTTextFile& file, int64_t limit) {
  // Known size: read exactly that much, so no read is spent on finding the end.
  int64_t left = file.OpenedSize();
  const size_t block = left >= 0 ? std::min<size_t>(block_, static_cast<size_t>(left)) : block_;
  std::vector<char> buffer(std::max<size_t>(block, 1));
  out_.reserve(reply.size() + 2 + block + block / 8 + 3);
  out_ = reply + "\r\n";
  while (ok_ && !done_ && left != 0 && hooks_.proceed()) {
    const int64_t want =
        left > 0 ? std::min<int64_t>(left, static_cast<int64_t>(buffer.size())) : buffer.size();
    const int64_t n = file.BlockRead(buffer.data(), want);
    if (n <= 0) break;
    if (left > 0) left -= n;
    const char* p = buffer.data();
    const char* end = p + n;
    TakeHeader(p, end);
    if (!header_) TakeBody(p, end, limit);
    if (out_.size() >= block_) Flush();
    if (n < want) break;  // the file ended early
  }
  if (header_ && (!line_.empty() || line_part_sent_)) HeaderLine(true);  // header ended by EOF
  // The end mark goes out with the last data: one segment, no wait for an ACK.
  if (!out_.empty()) last_ = out_.back();
  if (last_ != '\n') out_ += "\r\n";
  out_ += ".\r\n";
  Flush();
}
