#include "server/core/template.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "server/core/session.h"
#include "toolbox/trace.h"

namespace {

constexpr std::string_view kOpen = "%(";
// Written between "%" and "(" so that no pass sees a form there; removed on the way out.
constexpr char kMark = '\x01';
constexpr std::string_view kInert = "%\x01(";
constexpr const char* kCloseError = "[)Err]";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Whole-number text with optional sign and surrounding blanks; clamped to +-2^31.
bool ParseWidth(std::string_view s, long& out) {
  s = TrimBlanks(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v < (1L << 31)) v = v * 10 + (c - '0');
  }
  out = negative ? -v : v;
  return true;
}

// Appends piece to out so that no "%(" arises in out that a later pass would expand:
// inside the piece, and where the piece meets the text before it.
void AppendInert(std::string& out, std::string_view piece) {
  if (piece.empty()) return;
  if (!out.empty() && out.back() == '%' && piece.front() == '(') out += kMark;
  size_t from = 0;
  for (;;) {
    size_t at = piece.find(kOpen, from);
    if (at == std::string_view::npos) break;
    out.append(piece.substr(from, at - from));
    out.append(kInert);
    from = at + kOpen.size();
  }
  out.append(piece.substr(from));
}

// One expansion over an immutable input. The cursor only moves forward; everything before
// it has been turned into output, everything after it is still template text. That gives
// the result of rewriting the text in place, without moving its tail at every form.
class Expander {
 public:
  Expander(std::string_view text, const qmsTTemplateVars& getVar)
      : t_(text), getVar_(getVar), last_close_(text.rfind(')')) {}

  std::string Run(bool inert) {
    std::string out;
    out.reserve(t_.size());
    for (;;) {
      size_t form = t_.find(kOpen, pos_);
      std::string_view plain =
          t_.substr(pos_, form == std::string_view::npos ? t_.npos : form - pos_);
      if (inert) {
        AppendInert(out, plain);
      } else {
        out.append(plain);
      }
      if (form == std::string_view::npos) break;
      pos_ = form + kOpen.size();
      std::string piece;
      Form(piece, 1);
      if (inert) {
        AppendInert(out, piece);
      } else {
        out.append(piece);
      }
    }
    return out;
  }

 private:
  // An expression followed by its closing parenthesis ("%(" and group bodies).
  void Form(std::string& out, int depth) {
    Expr(out, depth, false);
    Close(out);
  }

  // Finds the next ")": the text skipped on the way stays, the ")" goes. Without one,
  // "[)Err]" marks the spot and the cursor stays, so the rest is still scanned for forms.
  void Close(std::string& out) {
    if (last_close_ == std::string_view::npos || pos_ > last_close_) {
      out += kCloseError;
      return;
    }
    size_t close = t_.find(')', pos_);
    out.append(t_.substr(pos_, close - pos_));
    pos_ = close + 1;
  }

  void Expr(std::string& out, int depth, bool inArgs) {
    if (depth > kTemplateMaxDepth) {
      out += kCloseError;
      return;
    }
    while (pos_ < t_.size() && IsBlank(t_[pos_])) ++pos_;
    if (pos_ < t_.size() && t_[pos_] == '"') {
      size_t end = t_.find('"', pos_ + 1);
      if (end == std::string_view::npos) {
        out.append(t_.substr(pos_ + 1));
        pos_ = t_.size();
      } else {
        out.append(t_.substr(pos_ + 1, end - pos_ - 1));
        pos_ = end + 1;
      }
      return;
    }
    if (pos_ < t_.size() && t_[pos_] == '(') {
      ++pos_;
      Form(out, depth + 1);
      return;
    }
    size_t end =
        t_.find_first_of(inArgs ? std::string_view("\"(),") : std::string_view("\"()"), pos_);
    if (end == std::string_view::npos) end = t_.size();
    std::string name(TrimBlanks(t_.substr(pos_, end - pos_)));
    pos_ = end;
    if (end < t_.size() && t_[end] == '(') {
      ++pos_;
      Call(out, name, depth);
      return;
    }
    Value(out, name);
  }

  void Value(std::string& out, const std::string& name) {
    if (!name.empty() && (name[0] == '-' || (name[0] >= '0' && name[0] <= '9'))) {
      out += name;
      return;
    }
    std::string value;
    if (!name.empty() && getVar_ && getVar_(name, value)) {
      out += value;
    } else {
      out += "[vErr:" + name + "]";
    }
  }

  void Call(std::string& out, const std::string& name, int depth) {
    std::vector<std::string> args;
    bool closed = false;
    while (pos_ < t_.size() && IsBlank(t_[pos_])) ++pos_;
    if (pos_ < t_.size() && t_[pos_] == ')') {
      ++pos_;
      closed = true;
    }
    while (!closed) {
      std::string arg;
      Expr(arg, depth + 1, true);
      args.push_back(std::move(arg));
      size_t sep = Separator();
      if (sep == std::string_view::npos) break;
      pos_ = sep + 1;
      closed = t_[sep] == ')';
    }
    std::string value;
    if (qmsTemplateFunction(name, args, value)) {
      out += value;
    } else {
      out += "[fErr:" + name + "]";
    }
    if (!closed) out += kCloseError;
  }

  // Next "," or ")" from the cursor outside double quotes. A quote's meaning depends on
  // how many quotes precede it, so the parity of the quote count is kept per position;
  // a failed search is remembered per parity, since every later search of that parity
  // would look at a subset of the same characters.
  size_t Separator() {
    if (parity_.empty()) {
      parity_.resize(t_.size() + 1);
      bool odd = false;
      for (size_t i = 0; i < t_.size(); ++i) {
        parity_[i] = odd;
        if (t_[i] == '"') odd = !odd;
      }
      parity_[t_.size()] = odd;
    }
    const bool want = parity_[pos_];
    size_t& failed = failed_from_[want ? 1 : 0];
    if (failed != std::string_view::npos && pos_ >= failed) return std::string_view::npos;
    for (size_t i = pos_; i < t_.size(); ++i) {
      if ((t_[i] == ',' || t_[i] == ')') && parity_[i] == want) return i;
    }
    failed = std::min(failed, pos_);
    return std::string_view::npos;
  }

  std::string_view t_;
  const qmsTTemplateVars& getVar_;
  size_t pos_ = 0;
  size_t last_close_;
  std::vector<bool> parity_;
  size_t failed_from_[2] = {std::string_view::npos, std::string_view::npos};
};

}  // namespace

std::string qmsExpandTemplate(const std::string& text, const qmsTTemplateVars& getVar, bool inert) {
  // Text without forms is returned as it is (the common reply line).
  if (text.find(kOpen) == std::string::npos) return inert ? text : qmsRestoreTemplate(text);
  std::string out = Expander(text, getVar).Run(inert);
  return inert ? out : qmsRestoreTemplate(out);
}

std::string qmsTemplateFill(const std::string& text, long width, char pad) {
  const size_t w = width < 0
                       ? static_cast<size_t>(std::min<long>(-(width + 1), kTemplateMaxFill - 1)) + 1
                       : static_cast<size_t>(std::min<long>(width, kTemplateMaxFill));
  if (width >= 0) {
    if (text.size() >= w) return text.substr(0, w);
    return text + std::string(w - text.size(), pad);
  }
  if (text.size() >= w) return text.substr(text.size() - w);
  return std::string(w - text.size(), pad) + text;
}

bool qmsTemplateFunction(const std::string& name, const std::vector<std::string>& args,
                         std::string& value) {
  if (name == "cat") {
    value.clear();
    for (const std::string& a : args) value += a;
    return true;
  }
  if (name == "fill" && args.size() >= 2) {
    long width = 0;
    if (!ParseWidth(args[1], width)) return false;
    const char pad = args.size() >= 3 && !args[2].empty() ? args[2][0] : ' ';
    value = qmsTemplateFill(args[0], width, pad);
    return true;
  }
  return false;
}

std::string qmsNeutralizeTemplate(const std::string& text) {
  // Also the edges: the text may be placed right after a "%" or right before a "(".
  std::string out;
  out.reserve(text.size() + 8);
  if (!text.empty() && text.front() == '(') out += kMark;
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%' && (i + 1 == text.size() || text[i + 1] == '(')) out += kMark;
  }
  return out;
}

std::string qmsRestoreTemplate(const std::string& text) {
  if (text.find(kMark) == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == kMark &&
        ((i > 0 && text[i - 1] == '%') || (i + 1 < text.size() && text[i + 1] == '(')))
      continue;
    out += text[i];
  }
  return out;
}

void ExpandSSI(std::string& text) {
  static constexpr std::string_view kStart = "<!--#";
  static constexpr std::string_view kEnd = "-->";
  size_t at = text.find(kStart);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  while (at != std::string::npos) {
    out.append(text, from, at - from);
    size_t end = text.find(kEnd, at + kStart.size());
    if (end == std::string::npos) {
      from = text.size();
      break;
    }
    from = end + kEnd.size();
    at = text.find(kStart, from);
  }
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

void qmsTSession::ExpandFIB(std::string& text) {
  jvbTraceScope trace("qmsTSession.ExpandFIB");
  text = qmsExpandTemplate(
      text, [this](const std::string& name, std::string& value) { return GetVars(name, value); });
}

std::string qmsTSession::ReturnFIB(const std::string& text) {
  std::string copy = text;
  ExpandFIB(copy);
  return copy;
}
