#include "server/http/httpcgi.h"

#include <cctype>

#include "toolbox/platform.h"

namespace {

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool StartsNoCase(const std::string& s, const char* prefix) {
  size_t n = std::char_traits<char>::length(prefix);
  return s.size() >= n && jvb::EqualNoCase(s.substr(0, n), prefix);
}

}  // namespace

qmsTHTTPAppCommand qmsParseAppCommand(const std::string& setting) {
  qmsTHTTPAppCommand app;
  const std::string text = Trimmed(setting);
  auto firstWord = [](const std::string& s, std::string& rest) {
    std::string t = Trimmed(s);
    size_t sp = t.find(' ');
    rest = sp == std::string::npos ? std::string() : Trimmed(t.substr(sp + 1));
    return t.substr(0, sp);
  };
  std::string rest;
  if (StartsNoCase(text, "dll:")) {
    app.kind = qmsTHTTPAppCommand::kPlugin;
    firstWord(text, rest);
    app.program = firstWord(rest, app.rest);
  } else if (StartsNoCase(text, "rexx:")) {
    app.kind = qmsTHTTPAppCommand::kRexx;
  } else {
    app.program = firstWord(text, app.rest);
  }
  return app;
}

void qmsTCGIEnvironment::Add(std::string name, const std::string& value) {
  if (value.empty()) return;
  for (char& c : name)
    if (c == '-') c = '_';
  names_.push_back(name);
  strings_.push_back(name + "=" + value);
}

void qmsTCGIEnvironment::AddHeaders(
    const std::vector<std::pair<std::string, std::string>>& headers) {
  for (const auto& h : headers) {
    std::string name = jvb::AsciiUpper(h.first);
    bool plain = !name.empty();
    for (char& c : name) {
      if (c == '-') c = '_';
      plain = plain && (isupper(static_cast<unsigned char>(c)) ||
                        isdigit(static_cast<unsigned char>(c)) || c == '_');
    }
    if (!plain || name == "PROXY") continue;
    Add("HTTP_" + name, h.second);
  }
}

bool qmsTCGIEnvironment::Defined(const std::string& name) const {
  for (const auto& n : names_)
    if (n == name) return true;
  return false;
}

void qmsTCGIEnvironment::AddServerEnvironment(char** env) {
  static const char* const kOurs[] = {
      "AUTH_TYPE",   "CONTENT_LENGTH",  "CONTENT_TYPE",   "GATEWAY_INTERFACE", "QUERY_STRING",
      "REMOTE_ADDR", "REMOTE_HOST",     "REMOTE_IDENT",   "REMOTE_USER",       "REQUEST_METHOD",
      "SCRIPT_NAME", "SERVER_NAME",     "SERVER_PORT",    "SERVER_PROTOCOL",   "SERVER_SOFTWARE",
      "PATH_INFO",   "PATH_TRANSLATED", "SCRIPT_FILENAME"};
  for (char** e = env; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.empty() || name.size() == entry.size()) continue;
    if (name.compare(0, 5, "HTTP_") == 0 || name.compare(0, 4, "QMS_") == 0) continue;
    bool ours = Defined(name);
    for (const char* o : kOurs) ours = ours || name == o;
    if (!ours) strings_.push_back(entry);
  }
}

size_t qmsCGIHeaderEnd(const std::string& data) {
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    if (nl == std::string::npos) return 0;
    size_t len = nl - pos;
    if (len == 0 || (len == 1 && data[pos] == '\r')) return nl + 1;
    pos = nl + 1;
  }
  return 0;
}

bool qmsCGIStatus(std::string& block, std::string& statusText, int& status) {
  size_t pos = 0;
  while (pos < block.size()) {
    size_t nl = block.find('\n', pos);
    size_t end = nl == std::string::npos ? block.size() : nl + 1;
    std::string line = block.substr(pos, end - pos);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) break;
    if (StartsNoCase(line, "Status:")) {
      std::string value = Trimmed(line.substr(7));
      if (value.size() < 3 || !isdigit(static_cast<unsigned char>(value[0])) ||
          !isdigit(static_cast<unsigned char>(value[1])) ||
          !isdigit(static_cast<unsigned char>(value[2])) || (value.size() > 3 && value[3] != ' '))
        return false;
      status = std::stoi(value.substr(0, 3));
      if (status < 100 || status > 599) return false;
      for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20) return false;
      statusText = value;
      block.erase(pos, end - pos);
      return true;
    }
    pos = end;
  }
  return false;
}

std::string qmsRawQuery(const std::string& requestLine) {
  size_t b = requestLine.find(' ');
  if (b == std::string::npos) return {};
  size_t e = requestLine.find(' ', b + 1);
  std::string uri = requestLine.substr(b + 1, e == std::string::npos ? e : e - b - 1);
  size_t q = uri.find('?');
  return q == std::string::npos ? std::string() : uri.substr(q + 1);
}

namespace {

std::string Translate(std::string text) {
  for (char& c : text)
    if (c == '+') c = ' ';
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool qmsQueryValue(const std::string& query, int n, const std::string& name, std::string& value) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string pair = query.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (Translate(pair.substr(0, eq)) == name && n-- == 0) {
      value = eq == std::string::npos ? std::string() : Translate(pair.substr(eq + 1));
      return true;
    }
    pos = amp + 1;
  }
  return false;
}
