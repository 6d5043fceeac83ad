#include "toolbox/textconfig.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "toolbox/platform.h"
#include "toolbox/timeutil.h"

namespace {

using KeyList = std::vector<std::pair<std::string, std::string>>;

constexpr int kOptColonOnWrite = 0x01;
constexpr int kOptColonSeparator = 0x04;
constexpr int kOptEqualsSeparator = 0x08;
constexpr int kOptTrimValues = 0x10;

// ASCII case fold without a tie-break: names that differ only in case compare equal, so
// they form one run in a sorted list and a binary search lands on the first of them.
int FoldCompare(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool FoldLess(std::string_view a, std::string_view b) { return FoldCompare(a, b) < 0; }

// Only 0x20 counts as a blank; a tab is part of the text.
std::string_view TrimLeading(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  return s.substr(i);
}

std::string_view TrimBlanks(std::string_view s) {
  s = TrimLeading(s);
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

// The name of a header line (trimmed, starting with "["): up to the first "]", or empty
// when the line has none.
std::string HeaderName(std::string_view trimmed) {
  size_t close = trimmed.find(']');
  if (close == std::string_view::npos) return {};
  return std::string(trimmed.substr(1, close - 1));
}

std::string Separators(int options) {
  std::string seps;
  if (options & kOptEqualsSeparator) seps += '=';
  if (options & kOptColonSeparator) seps += ':';
  return seps;
}

// Line breaks and NUL inside a written value would split the line or end the file on
// the next read, letting a value inject headers or cut off the rest of the file.
std::string OneLine(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c == '\0' || c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

struct jvbTTextConfig::Table {
  struct Section {
    std::string name;
    KeyList keys;  // sorted by FoldCompare of the key
  };
  std::vector<std::string> lines;  // raw lines, headers in normalised form
  std::vector<Section> sections;   // sorted by FoldCompare of the name
  std::string comment_chars;       // the set this table was parsed with

  const Section* Find(const std::string& name) const {
    auto it = std::lower_bound(
        sections.begin(), sections.end(), name,
        [](const Section& s, const std::string& n) { return FoldLess(s.name, n); });
    if (it == sections.end() || FoldCompare(it->name, name) != 0) return nullptr;
    return &*it;
  }

  bool IsComment(char c) const { return comment_chars.find(c) != std::string::npos; }
};

// --- Construction ----------------------------------------------------------------------

jvbTTextConfig::jvbTTextConfig(const std::string& fileName) : file_name_(fileName) {
  auto empty = std::make_shared<Table>();
  empty->comment_chars = comment_chars_;
  table_ = std::move(empty);
  if (!jvb::PathExists(file_name_)) {
    // Open-or-create never truncates, so a file another process created meanwhile survives.
    jvbTTextFile f;
    f.Init(file_name_, jvb::fmWrite, 1, 0, 1000, jvb::kModeShared);
    f.OpenOrCreate();
  }
}

jvbTTextConfig::~jvbTTextConfig() { SetFileLock(false); }

// --- Parsers ---------------------------------------------------------------------------

std::vector<std::string> jvbTTextConfig::SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end && *p != '\0') {
    const char* start = p;
    while (p < end && *p != '\0' && *p != '\r' && *p != '\n') ++p;
    lines.emplace_back(start, p);
    if (p < end && *p == '\r') ++p;
    if (p < end && *p == '\n') ++p;
  }
  return lines;
}

void jvbTTextConfig::CutWords(const std::string& value, std::vector<std::string>& out) {
  // An empty value holds no words, so an empty list written by WriteList reads back empty.
  if (value.empty()) return;
  std::string_view rest = value;
  for (;;) {
    bool quoted = false;
    size_t cut = std::string_view::npos;
    for (size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '"') {
        quoted = !quoted;
      } else if (rest[i] == ' ' && !quoted) {
        cut = i;
        break;
      }
    }
    std::string_view word = rest.substr(0, cut);
    while (!word.empty() && word.front() == '"') word.remove_prefix(1);
    while (!word.empty() && word.back() == '"') word.remove_suffix(1);
    out.emplace_back(word);
    if (cut == std::string_view::npos) break;
    rest = rest.substr(cut + 1);
  }
}

bool jvbTTextConfig::ParseInteger(const std::string& text, int32_t& out) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t magnitude = 0;
  size_t first = 0;
  if (i < n && text[i] == '$') {
    first = ++i;
    for (; i < n; ++i) {
      char c = text[i];
      int digit;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        break;
      magnitude = magnitude * 16 + static_cast<uint64_t>(digit);
      if (magnitude > 0xFFFFFFFFull) return false;
    }
    if (i == first || i != n) return false;
    // Hexadecimal gives the 32-bit pattern: "$FFFFFFFF" is -1.
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    out = static_cast<int32_t>(bits);
    return true;
  }
  first = i;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (magnitude > 0x80000000ull) return false;
  }
  if (i == first || i != n) return false;
  if (!negative && magnitude > 0x7FFFFFFFull) return false;
  out = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                 : static_cast<int32_t>(magnitude);
  return true;
}

std::shared_ptr<const jvbTTextConfig::Table> jvbTTextConfig::Parse(const std::string& bytes) const {
  auto table = std::make_shared<Table>();
  table->lines = SplitLines(bytes);
  table->comment_chars = comment_chars_;
  const std::string seps = Separators(options_);
  const bool trim = (options_ & kOptTrimValues) != 0;

  std::string current;  // name of the block being filled
  KeyList keys;
  bool merge = true;  // the unnamed leading block keeps one entry per key
  auto store = [&]() {
    auto& secs = table->sections;
    auto it = std::lower_bound(
        secs.begin(), secs.end(), current,
        [](const Table::Section& s, const std::string& n) { return FoldLess(s.name, n); });
    if (it != secs.end() && FoldCompare(it->name, current) == 0) {
      it->keys = std::move(keys);  // a later block of the same section replaces the earlier
    } else {
      secs.insert(it, Table::Section{current, std::move(keys)});
    }
    keys.clear();
  };

  for (std::string& line : table->lines) {
    std::string_view t = TrimLeading(line);
    if (t.empty() || table->IsComment(t.front())) continue;
    if (t.front() == '[') {
      std::string name = HeaderName(t);
      line = "[" + name + "]";
      if (name != current) {
        store();
        current = std::move(name);
        merge = false;
      }
      continue;
    }
    size_t sep = t.find_first_of(seps);
    std::string key(t.substr(0, sep));
    std::string_view raw = sep == std::string_view::npos ? std::string_view() : t.substr(sep + 1);
    std::string value(trim ? TrimBlanks(raw) : raw);
    auto it = std::lower_bound(keys.begin(), keys.end(), key,
                               [](const std::pair<std::string, std::string>& e,
                                  const std::string& k) { return FoldLess(e.first, k); });
    if (merge && it != keys.end() && FoldCompare(it->first, key) == 0) {
      it->second = std::move(value);  // the entry keeps its first spelling
    } else {
      keys.insert(it, {std::move(key), std::move(value)});  // in front of equal keys
    }
  }
  store();
  return table;
}

// --- Loading ---------------------------------------------------------------------------

bool jvbTTextConfig::ReadFileBytes(std::string& bytes, int* err, uint64_t* stamp, int32_t* age) {
  *err = 0;
  if (file_locked_) {
    *stamp = jvb::FileStamp(file_name_);
    *age = jvb::FileAge(file_name_);
    if (!file_.ReadAll(bytes)) {
      *err = file_.LastError();
      return false;
    }
    return true;
  }
  jvbTTextFile f;
  f.Init(file_name_, jvb::fmReadDenyWrite);
  if (!f.Open()) {
    *err = f.LastError();
    return false;
  }
  // Taken while the deny-write lock is held, so the stamp belongs to the bytes read.
  *stamp = jvb::FileStamp(file_name_);
  *age = jvb::FileAge(file_name_);
  if (!f.ReadAll(bytes)) {
    *err = f.LastError();
    return false;
  }
  return true;
}

void jvbTTextConfig::Load() {
  std::unique_lock<std::mutex> lock(load_mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    // Another thread is parsing: wait for its end and use its result.
    std::lock_guard<std::mutex> wait(load_mutex_);
    return;
  }
  LoadLocked();
}

void jvbTTextConfig::LoadLocked() {
  std::string bytes;
  int err = 0;
  uint64_t stamp = 0;
  int32_t age = -1;
  if (!ReadFileBytes(bytes, &err, &stamp, &age)) {
    if (err == ENOENT || err == ENOTDIR) {
      // The file is gone, and so are its keys; the next lookup tries again.
      auto empty = std::make_shared<Table>();
      empty->comment_chars = comment_chars_;
      std::lock_guard<std::mutex> g(table_mutex_);
      table_ = std::move(empty);
      loaded_ = false;
      stamp_ = 0;
      file_age_ = -1;
    }
    // Otherwise another writer holds the file past the retry: the previous table stays in
    // use, so callers do not fall back to their defaults while a file is being rewritten.
    // Its stamp stays too, so the next lookup tries again if the file has changed.
    return;
  }
  std::shared_ptr<const Table> table = Parse(bytes);
  std::lock_guard<std::mutex> g(table_mutex_);
  table_ = std::move(table);
  stamp_ = stamp;
  file_age_ = age;
  loaded_ = true;
}

std::shared_ptr<const jvbTTextConfig::Table> jvbTTextConfig::Current() {
  if (file_locked_) {
    // Held exclusively: only this object changes the file, and every read goes through
    // the held descriptor, so once compared after taking the lock the table stays current.
    std::lock_guard<std::mutex> g(table_mutex_);
    if (loaded_ && locked_compared_) return table_;
    locked_compared_ = true;
  }
  if (int interval = check_interval_ms_; interval > 0) {
    int64_t ms = jvb::MonotonicMs();
    std::lock_guard<std::mutex> g(table_mutex_);
    if (loaded_ && ms - checked_ms_ < interval) return table_;
    checked_ms_ = ms;
  }
  // The fine stamp, not the two-second file age, so a change in the same two seconds as
  // the last parse is still noticed.
  uint64_t now = jvb::FileStamp(file_name_);
  {
    std::lock_guard<std::mutex> g(table_mutex_);
    if (loaded_ && now == stamp_) return table_;
  }
  Load();
  std::lock_guard<std::mutex> g(table_mutex_);
  return table_;
}

// --- Lookups ---------------------------------------------------------------------------

bool jvbTTextConfig::ReadValue(const std::string& section, const std::string& key,
                               std::string& value) {
  std::shared_ptr<const Table> table = Current();
  const Table::Section* s = table->Find(section);
  if (!s) return false;
  auto it = std::lower_bound(s->keys.begin(), s->keys.end(), key,
                             [](const std::pair<std::string, std::string>& e,
                                const std::string& k) { return FoldLess(e.first, k); });
  bool found = false;
  // Equal keys of a named block are stored in front of earlier ones, so the last exact
  // match in list order is the first line of the block.
  for (; it != s->keys.end() && FoldCompare(it->first, key) == 0; ++it) {
    if (it->first == key) {
      value = it->second;
      found = true;
    }
  }
  return found;
}

void jvbTTextConfig::ReadString(std::string& value, const std::string& section,
                                const std::string& key) {
  ReadValue(section, key, value);
}

bool jvbTTextConfig::ReadBool(const std::string& section, const std::string& key, bool& value) {
  std::string text;
  if (!ReadValue(section, key, text)) return false;
  value = text == "1";
  return true;
}

void jvbTTextConfig::ReadInteger(int32_t& value, const std::string& section,
                                 const std::string& key) {
  std::string text;
  if (!ReadValue(section, key, text)) return;
  if (text.size() > 255) text.resize(255);
  int32_t number = 0;
  value = ParseInteger(text, number) ? number : 0;
}

void jvbTTextConfig::ReadList(std::vector<std::string>& list, const std::string& section,
                              const std::string& key) {
  std::string text;
  if (ReadValue(section, key, text)) CutWords(text, list);
}

bool jvbTTextConfig::ReadSection(const std::string& section, std::vector<std::string>& lines) {
  std::shared_ptr<const Table> table = Current();
  const auto& all = table->lines;
  size_t i = 0;
  for (; i < all.size(); ++i) {
    std::string_view t = TrimLeading(all[i]);
    if (!t.empty() && t.front() == '[' && !table->IsComment('[') && HeaderName(t) == section) break;
  }
  if (i == all.size()) return false;
  lines.clear();
  for (++i; i < all.size(); ++i) {
    const std::string& line = all[i];
    std::string_view t = TrimLeading(line);
    if (!t.empty() && t.front() == '[' && !table->IsComment('[')) break;
    // Only a comment character in the very first column hides a line here.
    if (!line.empty() && table->IsComment(line.front())) continue;
    lines.push_back(line);
  }
  return true;
}

bool jvbTTextConfig::ReadSectionText(const std::string& section, std::string& text) {
  std::vector<std::string> lines;
  if (!ReadSection(section, lines)) return false;
  text.clear();
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return true;
}

bool jvbTTextConfig::ReadLines(std::vector<std::string>& lines) {
  std::shared_ptr<const Table> table = Current();
  if (table->lines.empty()) return false;
  lines = table->lines;
  return true;
}

std::vector<std::string> jvbTTextConfig::SectionNames() {
  std::shared_ptr<const Table> table = Current();
  std::vector<std::string> names;
  for (const auto& s : table->sections)
    if (!s.name.empty() || !s.keys.empty()) names.push_back(s.name);
  return names;
}

std::vector<std::pair<std::string, std::string>> jvbTTextConfig::SectionKeys(
    const std::string& section) {
  std::shared_ptr<const Table> table = Current();
  const Table::Section* s = table->Find(section);
  return s ? s->keys : KeyList{};
}

// --- Changes ---------------------------------------------------------------------------

void jvbTTextConfig::EditLines(std::vector<std::string>& lines, const std::string& section,
                               const std::string& key, const std::string& value) const {
  const std::string seps = Separators(options_);
  const bool colon = (options_ & kOptColonOnWrite) != 0;
  auto isComment = [this](char c) { return comment_chars_.find(c) != std::string::npos; };
  auto isHeader = [&](const std::string& line) {
    std::string_view t = TrimLeading(line);
    return !t.empty() && !isComment(t.front()) && t.front() == '[';
  };
  // The block lookups read, as Parse forms it: the last block whose header names the
  // section without regard to case (a later block replaces an earlier one); a header
  // repeating the name just above continues its block. kNone: no such block; the unnamed
  // leading block starts "before" line 0.
  constexpr std::ptrdiff_t kNone = -2;
  std::ptrdiff_t block = section.empty() ? -1 : kNone;
  std::string current;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!isHeader(lines[i])) continue;
    std::string name = HeaderName(TrimLeading(lines[i]));
    lines[i] = "[" + name + "]";
    if (name == current) continue;
    current = name;
    if (FoldCompare(name, section) == 0) block = static_cast<std::ptrdiff_t>(i);
  }
  std::string line = key + (colon ? ": " : "=") + value;
  if (block == kNone) {
    lines.push_back("[" + section + "]");
    lines.push_back(std::move(line));
    return;
  }
  // The line that holds the value read: in a named block the first with exactly this key;
  // in the leading block, which merges keys that differ in case, the last such line.
  const std::string name = block < 0 ? std::string() : HeaderName(lines[block]);
  size_t i = static_cast<size_t>(block + 1), target = lines.size();
  for (; i < lines.size(); ++i) {
    std::string_view t = TrimLeading(lines[i]);
    if (t.empty() || isComment(t.front())) continue;
    if (t.front() == '[') {
      if (HeaderName(t) != name) break;  // the block ends here
      continue;
    }
    std::string_view k = t.substr(0, t.find_first_of(seps));
    if (block >= 0 ? k == key : FoldCompare(k, key) == 0) {
      target = i;
      if (block >= 0) break;
    }
  }
  if (target == lines.size()) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i), std::move(line));
    return;
  }
  // Keep the key as it stood (without its indentation) and its separator.
  std::string_view t = TrimLeading(lines[target]);
  size_t sep = t.find_first_of(seps);
  std::string head = sep == std::string_view::npos ? std::string(t) + (colon ? ":" : "=")
                                                   : std::string(t.substr(0, sep + 1));
  lines[target] = head + (colon ? " " : "") + value;
}

bool jvbTTextConfig::RewriteLocked(const std::string& section, const std::string& key,
                                   const std::string& value, bool* opened) {
  jvbTTextFile own;
  jvbTTextFile* f = &file_;
  *opened = true;
  if (!file_locked_) {
    own.Init(file_name_, jvb::fmReadWriteExclusive);
    *opened = own.Open();
    if (!*opened) return false;
    f = &own;
  }
  std::string previous;
  if (!f->ReadAll(previous)) return false;
  std::vector<std::string> lines = SplitLines(previous);
  EditLines(lines, section, key, value);

  // The copy must be complete and on disk before the original is touched.
  jvbTTextFile backup;
  // The backup is as private as the file it copies (user files hold passwords).
  jvb::FileInfo original;
  mode_t backupMode =
      jvb::GetFileInfo(f->fd(), original) ? (original.mode & 0777) : jvb::kModeShared;
  backup.Init(jvbBackupName(file_name_), jvb::fmWriteExclusive, 1, 0, 1000, backupMode);
  if (!backup.Rewrite()) return false;
  jvb::SetFileMode(backup.fd(), backupMode);  // an older backup may have been created more open
  if (!backup.Write(previous) || !backup.Sync()) return false;
  backup.Close();

  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  // In place on the same descriptor: a held file lock stays on the file's inode.
  if (!f->SeekStart() || !f->Write(text) || !f->Truncate()) return false;
  f->Sync();
  return true;
}

bool jvbTTextConfig::WriteString(const std::string& section, const std::string& key,
                                 const std::string& value) {
  const std::string s = OneLine(section), k = OneLine(key), v = OneLine(value);
  std::lock_guard<std::mutex> lock(load_mutex_);
  bool opened = false;
  bool written = RewriteLocked(s, k, v, &opened);
  // A file that could not be opened is unchanged, so the table stays as it is.
  if (opened) LoadLocked();
  return written;
}

bool jvbTTextConfig::WriteList(const std::vector<std::string>& list, const std::string& section,
                               const std::string& key) {
  std::string value;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) value += ' ';
    value += list[i];
  }
  return WriteString(section, key, value);
}

void jvbTTextConfig::SetCommentChars(const std::string& chars) {
  std::lock_guard<std::mutex> lock(load_mutex_);
  comment_chars_ = chars;
  {
    // Until a parse with the new set succeeds, every lookup tries again.
    std::lock_guard<std::mutex> g(table_mutex_);
    loaded_ = false;
  }
  LoadLocked();
}

bool jvbTTextConfig::SetFileLock(bool lock) {
  std::lock_guard<std::mutex> guard(load_mutex_);
  if (lock == file_locked_) return true;
  if (lock) {
    file_.Init(file_name_, jvb::fmReadWriteExclusive);
    {
      std::lock_guard<std::mutex> g(table_mutex_);
      locked_compared_ = false;
    }
    file_locked_ = file_.Open();
    return file_locked_;
  }
  file_.Close();
  file_locked_ = false;
  return true;
}
