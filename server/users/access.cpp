#include "server/users/access.h"

#include "server/users/tracecall.h"
#include "server/users/user.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

constexpr char kNone[] = "(none)";
constexpr size_t kFields = 5;

int Digit(const std::string& field, size_t i) {
  if (i >= field.size()) return 0;  // a short field: the missing digits count as 0
  const char c = field[i];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

bool Blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

Tqms_access::Tqms_access() = default;
Tqms_access::~Tqms_access() = default;

void Tqms_access::Init(jvbTTextConfig* groupConfig) {
  qmsTTraceCall trace("Tqms_access.Init");
  group_config_ = groupConfig;
  user_config_ = nullptr;
  rules_.clear();
}

void Tqms_access::Clear() {
  qmsTTraceCall trace("Tqms_access.Clear");
  rules_.clear();
}

void Tqms_access::Done() {
  qmsTTraceCall trace("Tqms_access.Done");
  rules_.clear();
  rules_.shrink_to_fit();
}

void Tqms_access::ReadSection(jvbTTextConfig* config) {
  if (!config) return;
  std::vector<std::string> lines;
  if (!config->ReadSection("ACCESS", lines)) return;
  for (const std::string& line : lines) ProcessLine(line);
}

void Tqms_access::ReadConfig() {
  qmsTTraceCall trace("Tqms_access.ReadConfig");
  Clear();
  // The user's own rules come first, so they win over the group's for the same paths.
  ReadSection(user_config_);
  ReadSection(group_config_);
  trace.Int(static_cast<int64_t>(rules_.size()));
}

std::vector<std::string> Tqms_access::SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string current;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      current += c;
    } else if (c == ';' && !quoted) {
      fields.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  fields.push_back(std::move(current));
  for (std::string& f : fields) {
    size_t b = 0, e = f.size();
    while (b < e && f[b] == '"') ++b;
    while (e > b && f[e - 1] == '"') --e;
    f = f.substr(b, e - b);
  }
  if (fields.size() < kFields) fields.resize(kFields);
  return fields;
}

uint32_t Tqms_access::PackDigits(const std::string& permissions, const std::string& limits) {
  const uint32_t d1 = Digit(permissions, 0), d2 = Digit(permissions, 1), d3 = Digit(permissions, 2);
  const uint32_t d4 = Digit(limits, 0), d5 = Digit(limits, 1), d6 = Digit(limits, 2);
  return (d1 & 15) << 16 | (d2 & 15) << 8 | (d3 & 15) | ((d4 ^ 15) & 15) << 20 |
         ((d5 ^ 15) & 15) << 12 | ((d6 ^ 15) & 15) << 4;
}

void Tqms_access::ProcessLine(const std::string& line) {
  qmsTTraceCall trace("Tqms_access.ProcessLine", jvbTraceValue::Str(line));
  if (Blank(line)) return;
  const std::vector<std::string> f = SplitFields(line);
  Rule rule;
  rule.mask = f[0];
  rule.buf.owner = f[1];
  rule.buf.group = f[2];
  rule.buf.access = PackDigits(f[3], f[4]);
  rules_.push_back(std::move(rule));
}

bool Tqms_access::MaskMatches(const std::string& mask, const std::string& path) {
  if (mask == "*") return true;
  // Whole strings in upper case: a long path never matches a mask through a cut prefix.
  const std::string m = jvb::AsciiUpper(mask), p = jvb::AsciiUpper(path);
  size_t i = 0, j = 0;
  while (i < m.size()) {
    if (m[i] == '*') {
      while (i < m.size() && m[i] == '*') ++i;
      if (i == m.size()) return true;  // a trailing "*" takes the rest, also nothing
      // Up to the first occurrence of the next mask character, without backtracking; a
      // "?" there takes any character, so it occurs at once.
      if (m[i] != '?') {
        while (j < p.size() && p[j] != m[i]) ++j;
      }
      if (j == p.size()) return false;
      continue;
    }
    if (j == p.size()) return false;
    if (m[i] != '?' && m[i] != p[j]) return false;
    ++i;
    ++j;
  }
  return j == p.size();
}

const Tqms_access::Rule* Tqms_access::FindRule(const std::string& path) const {
  for (const Rule& r : rules_)
    if (MaskMatches(r.mask, path)) return &r;
  return nullptr;
}

std::string Tqms_access::GetPathOwner(const std::string& path) {
  qmsTTraceCall trace("Tqms_access.GetPathOwner", jvbTraceValue::Str(path));
  const Rule* r = FindRule(path);
  return trace.Str(r ? r->buf.owner : kNone);
}

std::string Tqms_access::GetPathGroup(const std::string& path) {
  qmsTTraceCall trace("Tqms_access.GetPathGroup", jvbTraceValue::Str(path));
  const Rule* r = FindRule(path);
  return trace.Str(r ? r->buf.group : kNone);
}

uint32_t Tqms_access::GetPathAccess(const std::string& path) {
  qmsTTraceCall trace("Tqms_access.GetPathAccess", jvbTraceValue::Str(path));
  const Rule* r = FindRule(path);
  return static_cast<uint32_t>(trace.Int(r ? r->buf.access : 0));
}

std::string Tqms_access::GetAccessStr(uint32_t access) {
  qmsTTraceCall trace("Tqms_access.GetAccessStr", jvbTraceValue::Integer(access));
  std::string s;
  for (int shift : {16, 8, 0}) {
    const uint32_t digit = (access >> shift) & 15;
    s += (digit & 4) ? 'r' : '-';
    s += (digit & 2) ? 'w' : '-';
    s += (digit & 1) ? 'x' : '-';
  }
  return trace.Str(s);
}

uint8_t Tqms_access::GetAccessTo(const std::string& path, qmsTUser* user) {
  qmsTTraceCall trace("Tqms_access.GetAccessTo", jvbTraceValue::Str(path));
  const Rule* r = FindRule(path);
  if (!r) return static_cast<uint8_t>(trace.Int(0));
  const std::string owner = jvb::AsciiLower(r->buf.owner);
  const std::string group = jvb::AsciiLower(r->buf.group);
  const uint32_t access = r->buf.access;
  uint32_t rights = access & 15;
  uint32_t extra = (access >> 4) & 15;
  if (user) {
    std::vector<std::string> groups;
    jvbTTextConfig::CutWords(jvb::AsciiLower(user->GetGroups()), groups);
    for (const std::string& g : groups) {
      // An empty word (from a run of blanks) is no group, also not a rule's empty one.
      if (!g.empty() && g == group) {
        rights |= (access >> 8) & 15;
        extra |= (access >> 12) & 15;
      }
    }
    const std::string name = jvb::AsciiLower(user->GetUsername());
    if (!name.empty() && name == owner) {
      rights |= (access >> 16) & 15;
      extra |= (access >> 20) & 15;
    }
  }
  return static_cast<uint8_t>(trace.Int(static_cast<uint8_t>(rights + (extra << 4))));
}
