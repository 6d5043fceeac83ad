#include "server/ftp/ftpformat.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "toolbox/platform.h"
#include "toolbox/socket.h"

namespace qmsftp {

namespace {

bool Digits(const std::string& s) {
  return !s.empty() && s.size() <= 5 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(sep, start);
    out.push_back(text.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

void SplitCommand(const std::string& line, std::string& command, std::string& argument) {
  bool quoted = false;
  size_t i = 0;
  for (; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ' ' && !quoted) break;
  }
  command = jvb::AsciiUpper(line.substr(0, i));
  argument = i < line.size() ? line.substr(i + 1) : std::string();
  if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
    argument = argument.substr(1, argument.size() - 2);
}

std::string FirstWord(const std::string& text, std::string& rest) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) {
    rest.clear();
    return {};
  }
  size_t e = text.find(' ', b);
  if (e == std::string::npos) {
    rest.clear();
    return text.substr(b);
  }
  size_t r = text.find_first_not_of(' ', e);
  rest = r == std::string::npos ? std::string() : text.substr(r);
  return text.substr(b, e - b);
}

PortResult ParsePort(const std::string& text, uint32_t& address, uint16_t& port) {
  std::vector<std::string> f = Split(Trim(text), ',');
  if (f.size() < 6 || f[5].empty()) return prTooFew;
  if (f.size() > 6) return prInvalid;
  int v[6];
  for (int i = 0; i < 6; ++i) {
    std::string s = Trim(f[i]);
    if (!Digits(s)) return prInvalid;
    v[i] = std::stoi(s);
    if (v[i] > 255) return prInvalid;
  }
  address = (uint32_t(v[0]) << 24) | (uint32_t(v[1]) << 16) | (uint32_t(v[2]) << 8) | v[3];
  int p = v[4] * 256 + v[5];
  if (p < 1) return prInvalid;
  port = static_cast<uint16_t>(p);
  return prOk;
}

PortResult ParseEprt(const std::string& text, uint32_t& address, uint16_t& port) {
  std::string t = Trim(text);
  if (t.size() < 2 || t[0] < 33 || t[0] > 126) return prInvalid;
  std::vector<std::string> f = Split(t.substr(1), t[0]);
  if (f.size() < 4) return prTooFew;
  if (f.size() != 4 || !f[3].empty() || f[0] != "1") return prInvalid;
  if (!jvbTSocket::ParseDotted(f[1], &address) || !Digits(f[2])) return prInvalid;
  int p = std::stoi(f[2]);
  if (p < 1 || p > 65535) return prInvalid;
  port = static_cast<uint16_t>(p);
  return prOk;
}

bool ParsePassiveRange(const std::string& text, int& first, int& count) {
  std::string rest, more;
  std::string a = FirstWord(text, rest);
  std::string b = FirstWord(rest, more);
  if (!Digits(a)) return false;
  first = std::clamp(std::stoi(a), 1024, 65535);
  int n = Digits(b) ? std::stoi(b) : 1;
  count = std::clamp(n, 1, 65536 - first);
  return true;
}

int64_t ParseOffset(const std::string& text) {
  std::string rest;
  std::string w = FirstWord(text, rest);
  if (w.empty() || w.size() > 18) return -1;
  int64_t v = 0;
  for (char c : w) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string ParseMlstOpts(const std::string& list, int& facts) {
  static const struct {
    const char* name;
    int bit;
  } kFacts[] = {{"size", 1}, {"modify", 2}, {"type", 4}, {"perm", 8}};
  facts = 0;
  std::string accepted;
  for (const std::string& token : Split(list, ';')) {
    std::string t = jvb::AsciiLower(Trim(token));
    for (const auto& f : kFacts)
      if (t == f.name && !(facts & f.bit)) {
        facts |= f.bit;
        accepted += t + ";";
      }
  }
  return accepted;
}

std::string FeatMlstLine(int facts) {
  auto fact = [facts](const char* name, int bit) {
    return std::string(name) + ((facts & bit) ? "*" : "");
  };
  return " MLST " + fact("type", 4) + ";" + fact("size", 1) + ";" + fact("modify", 2) + ";" +
         fact("perm", 8) + ";";
}

std::string Stamp14(time_t t) {
  jvb::DateTime d = jvb::ToLocal(t);
  char b[32];
  snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d", d.year, d.month, d.day, d.hour, d.minute,
           d.second);
  return b;
}

std::string DateString(time_t t, const jvb::DateTime& now) {
  jvb::DateTime d = jvb::ToLocal(t);
  char b[48];
  const bool recent = d.year == now.year || (d.year == now.year - 1 && d.month > now.month);
  if (recent)
    snprintf(b, sizeof b, "%s %2d %02d:%02d ", jvb::MonthShort(d.month), d.day, d.hour, d.minute);
  else
    snprintf(b, sizeof b, "%s %2d  %04d ", jvb::MonthShort(d.month), d.day, d.year);
  return b;
}

std::string LongLine(bool directory, const std::string& accessString, int links,
                     const std::string& owner, const std::string& group, int64_t size,
                     const std::string& date) {
  char b[512];
  snprintf(b, sizeof b, "%c%s %3d %-8s %-8s %7lld %s", directory ? 'd' : '-', accessString.c_str(),
           links, owner.substr(0, 64).c_str(), group.substr(0, 64).c_str(),
           static_cast<long long>(size), date.c_str());
  return b;
}

std::string PermLetters(bool directory, int r) {
  auto has = [r](int bits) { return (r & bits) == bits; };
  std::string p;
  if (has(2 | 4 | 16)) p += 'd';
  if (has(2 | 4)) p += 'f';
  if (directory) {
    if (has(1)) p += 'e';
    if (has(2)) p += 'c';
    if (has(1)) p += 'l';
    if (has(1 | 2)) p += 'm';
    if (has(2 | 4 | 16)) p += 'p';
  } else {
    if (has(2 | 16)) p += 'a';
    if (has(4)) p += 'r';
    if (has(2)) p += 'w';
  }
  return p;
}

std::string MlsFacts(int facts, const std::string& kind, int64_t size, time_t mtime, int rights) {
  std::string out;
  if (facts & 4) {
    out += "type=" + kind + ";";
    if (kind == "file" && (facts & 1)) out += "size=" + std::to_string(size) + ";";
  }
  if (facts & 2) out += "modify=" + Stamp14(mtime) + ";";
  if (facts & 8) out += "perm=" + PermLetters(kind != "file", rights) + ";";
  return out + " ";
}

int Percent(int64_t done, int64_t size) {
  if (size <= 0) return 0;
  // done * 100 could pass 2^63 only for files beyond 92 PB; divide first for those.
  if (done > INT64_MAX / 200) return static_cast<int>(done / (size / 100 + 1));
  return static_cast<int>((done * 200 + size) / (2 * size));
}

int RateKB(int64_t done, int64_t elapsedSeconds) {
  if (elapsedSeconds <= 0) return 0;
  return static_cast<int>(std::min<int64_t>((done / 1024) / elapsedSeconds, INT32_MAX));
}

int TimeLeft(int64_t done, int64_t size, int64_t elapsed) {
  int64_t doneKB = done / 1024;
  if (doneKB <= 0) return 0;
  // elapsed * sizeKB stays far below 2^63 for any real elapsed time and file size.
  long double t = static_cast<long double>(elapsed) * (size / 1024) / doneKB - elapsed;
  if (t > 2147483647.0L) return 0x7FFFFFFF;
  if (t < 0) return 0;
  return static_cast<int>(t + 0.5L);
}

bool ValidLanguage(const std::string& lang) {
  if (lang.empty() || lang.size() > 16) return false;
  return std::all_of(lang.begin(), lang.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

std::string FillAB(const std::string& text, const std::string& a, const std::string& b) {
  // One pass over the template: a value is never searched for placeholders again.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "%A%") == 0 || text.compare(i, 3, "%B%") == 0) {
      out += text[i + 1] == 'A' ? a : b;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace qmsftp
