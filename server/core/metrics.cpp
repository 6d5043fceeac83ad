#include "server/core/metrics.h"

#include <cmath>
#include <cstdio>

namespace {

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char b[64];
  if (v == std::floor(v) && std::fabs(v) < 9.0e15)
    snprintf(b, sizeof b, "%lld", static_cast<long long>(v));
  else
    snprintf(b, sizeof b, "%.17g", v);
  return b;
}

std::string Escape(const std::string& s, bool quotes) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' && quotes)
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string qmsTExposition::EscapeLabel(const std::string& value) { return Escape(value, true); }

std::string qmsTExposition::EscapeHelp(const std::string& text) { return Escape(text, false); }

void qmsTExposition::Family(const std::string& name, const char* type, const std::string& help) {
  text_ += "# HELP " + name + " " + EscapeHelp(help) + "\n";
  text_ += "# TYPE " + name + " " + type + "\n";
}

void qmsTExposition::Sample(const std::string& name, const Labels& labels, double value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i) text_ += ',';
      text_ += labels[i].first + "=\"" + EscapeLabel(labels[i].second) + "\"";
    }
    text_ += '}';
  }
  text_ += ' ' + Number(value) + '\n';
}
