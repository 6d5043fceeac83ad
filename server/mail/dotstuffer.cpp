#include "server/mail/dotstuffer.h"

#include <algorithm>
#include <cstring>

bool qmsTDotStuffer::Feed(const char* p, size_t n, std::string& out) {
  if (done_) return true;
  const size_t before = out.size();
  const char* end = p + n;
  if (header_) p = FeedHeader(p, end, out);
  if (!header_) {
    if (limit_ == 0)
      done_ = true;
    else
      FeedBody(p, end, out);
  }
  Remember(out, before);
  return done_;
}

void qmsTDotStuffer::Remember(const std::string& out, size_t before) {
  for (size_t i = std::max(before, out.size() - std::min<size_t>(out.size(), 2)); i < out.size(); ++i) {
    last_[0] = last_[1];
    last_[1] = out[i];
  }
}

const char* qmsTDotStuffer::FeedHeader(const char* p, const char* end, std::string& out) {
  while (header_ && p < end) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!lf) {
      line_.append(p, end);
      if (line_.size() > kHeaderPiece) {
        // Keep a trailing CR back: it may belong to the line end.
        std::string keep;
        if (line_.back() == '\r') {
          keep = "\r";
          line_.pop_back();
        }
        HeaderLine(false, out);
        line_part_sent_ = true;
        line_ = keep;
      }
      return end;
    }
    line_.append(p, lf);
    p = lf + 1;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.empty() && !line_part_sent_) {
      out += "\r\n";
      header_ = false;
    } else {
      HeaderLine(true, out);
    }
    line_.clear();
    line_part_sent_ = false;
  }
  return p;
}

void qmsTDotStuffer::FeedBody(const char* p, const char* end, std::string& out) {
  for (; p < end; ++p) {
    const char c = *p;
    if (line_start_ && c == '.') out += '.';
    out += c;
    line_start_ = c == '\r' || c == '\n';
    if (c == '\n' && limit_ > 0 && ++lines_ >= limit_) {
      done_ = true;
      return;
    }
  }
}

void qmsTDotStuffer::HeaderLine(bool complete, std::string& out) {
  if (!line_part_sent_ && !line_.empty() && line_.front() == '.') out += '.';
  out += line_;
  if (complete) {
    out += "\r\n";
    if (on_header_line_) on_header_line_(line_);
  }
}

void qmsTDotStuffer::Finish(std::string& out) {
  const size_t before = out.size();
  if (header_ && (!line_.empty() || line_part_sent_)) HeaderLine(true, out);  // ended by EOF
  Remember(out, before);
  // Only CR LF "." CR LF ends the data: a text ending in a bare LF (or CR) gets a CR LF.
  if (last_[0] != '\r' || last_[1] != '\n') out += "\r\n";
  out += ".\r\n";
}
