#include "server/mail/queuefile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

// The body goes to disk in pieces of about this size.
constexpr size_t kBodyChunk = 64 * 1024;
// Names tried before giving up (each try takes the next time value of the thread tag).
constexpr uint32_t kNameAttempts = 256;

// The time value last handed out per thread tag (the name's last four digits) in this
// process. A tag never gets a time value twice: asking again within the same second, or
// after the clock stepped back, gives the value after the last one.
class NameClock {
 public:
  uint32_t Next(uint32_t now, uint16_t tag) {
    std::lock_guard<std::mutex> g(lock_);
    auto [it, fresh] = last_.try_emplace(tag, now);
    if (!fresh) it->second = static_cast<int32_t>(now - it->second) > 0 ? now : it->second + 1;
    return it->second;
  }

 private:
  std::mutex lock_;
  std::unordered_map<uint16_t, uint32_t> last_;  // at most 65536 entries
};

NameClock& Clock() {
  static NameClock clock;
  return clock;
}

uint32_t SecondsSince1980(const jvb::DateTime& local) {
  jvb::DateTime epoch;
  epoch.year = 1980;
  epoch.month = 1;
  epoch.day = 1;
  int64_t days = static_cast<int64_t>(jvb::DayNumber(local)) - jvb::DayNumber(epoch);
  return static_cast<uint32_t>(days * 86400 + local.hour * 3600 + local.minute * 60 + local.second);
}

std::string NameOf(uint32_t seconds, uint16_t tag) {
  char b[24];
  snprintf(b, sizeof b, "%08X%04X", static_cast<unsigned>(seconds), static_cast<unsigned>(tag));
  return b;
}

// A value must stay on its line, and a NUL would end the file for the reader.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\0' || c == '\r' || c == '\n') c = ' ';
  return s;
}

}  // namespace

qmsTQueueFile::~qmsTQueueFile() {
  if (!committed_) Discard();
}

// --- Names -----------------------------------------------------------------------------

uint16_t qmsTQueueFile::ThreadTag(long threadId) {
  return static_cast<uint16_t>(static_cast<unsigned long>(threadId) & 0xFFFF);
}

long qmsTQueueFile::TaggedThreadId(long threadId, int instanceTag) {
  if (instanceTag < 0 || instanceTag > kMaxInstanceTag) return threadId;
  return static_cast<long>((static_cast<unsigned long>(instanceTag) << 12) |
                           (static_cast<unsigned long>(threadId) & 0x0FFF));
}

int qmsTQueueFile::ParseInstanceTag(const std::string& text) {
  if (text.size() != 1 || !std::isxdigit(static_cast<unsigned char>(text[0]))) return -1;
  return static_cast<int>(std::stoi(text, nullptr, 16));
}

std::string qmsTQueueFile::FormName(const jvb::DateTime& local, long threadId, uint32_t bump) {
  return NameOf(SecondsSince1980(local) + bump, ThreadTag(threadId));
}

std::string qmsTQueueFile::NextName(long threadId) {
  const uint16_t tag = ThreadTag(threadId);
  return NameOf(Clock().Next(SecondsSince1980(jvb::NowLocal()), tag), tag);
}

bool qmsTQueueFile::ValidFieldName(const std::string& name) {
  if (name.empty() || name.size() > 998) return false;
  if (name.front() == '[' || name.front() == '#' || name.front() == ';') return false;
  for (unsigned char c : name)
    if (c < 33 || c > 126 || c == ':' || c == '=') return false;
  return true;
}

bool qmsTQueueFile::ValidAddressPart(const std::string& part) {
  if (part.empty()) return false;
  for (unsigned char c : part)
    if (c < 0x20 || c == 0x7F || c == ' ' || c == '[' || c == ']' || c == '=' || c == '"')
      return false;
  return true;
}

// --- Creation --------------------------------------------------------------------------

bool qmsTQueueFile::CreateExclusive(const std::string& path, const std::string& initial,
                                    jvbTTextFile& file) {
  // A private name first. Thread ids repeat across hosts (and containers) that share the
  // queue, so the name is only ever created new: one that is taken means another creator
  // (or its crashed leftover) has it, and the caller moves on to the next message name.
  const std::string temp =
      directory_ + "/." + name_ + "." + std::to_string(jvb::CurrentThreadId()) + kPrivateSuffix;
  file.Init(temp, jvb::fmReadWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  if (!file.CreateNew()) {
    last_error_ = file.LastError();
    return false;
  }
  if (!initial.empty() && !file.Write(initial)) {
    last_error_ = file.LastError();
    file.Close();
    jvb::DeleteFile(temp);
    return false;
  }
  int err = 0;
  if (!jvb::RenameNoReplace(temp, path, &err)) {
    last_error_ = err;
    file.Close();
    jvb::DeleteFile(temp);
    return false;
  }
  // The descriptor stays open: it now belongs to the file under its final name.
  return true;
}

bool qmsTQueueFile::Create(const std::string& directory, long threadId, int* err) {
  int local = 0;
  if (!err) err = &local;
  directory_ = jvb::NativePath(directory);
  while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
  if (directory_.empty()) {
    *err = last_error_ = ENOENT;
    return false;
  }
  if (!jvb::ForceDirectories(directory_)) {
    *err = last_error_ = errno ? errno : EACCES;
    return false;
  }
  for (uint32_t attempt = 0; attempt < kNameAttempts; ++attempt) {
    name_ = NextName(threadId);
    path_ = directory_ + "/" + name_;
    // A queued message, or a body without its header (being deleted), keeps its name.
    if (jvb::PathExists(path_ + kHeaderSuffix) || jvb::PathExists(path_ + kBodySuffix)) continue;
    jvbTTextFile header;
    if (CreateExclusive(path_ + kIncomingSuffix, Serialize(model_), header)) {
      // Not held open: readers (hooks, tests, tools) may look at it between changes.
      header.Close();
      created_ = true;
      return true;
    }
    if (last_error_ != EEXIST) break;
  }
  *err = last_error_ ? last_error_ : EEXIST;
  name_.clear();
  path_.clear();
  return false;
}

// --- Header ----------------------------------------------------------------------------

qmsTQueueFile::Section* qmsTQueueFile::Find(const std::string& section) {
  for (Section& s : model_)
    if (jvb::EqualNoCase(s.name, section)) return &s;
  return nullptr;
}

const qmsTQueueFile::Section* qmsTQueueFile::Find(const std::string& section) const {
  for (const Section& s : model_)
    if (jvb::EqualNoCase(s.name, section)) return &s;
  return nullptr;
}

bool qmsTQueueFile::HasSection(const std::string& section) const {
  return Find(section) != nullptr;
}

bool qmsTQueueFile::Read(const std::string& section, const std::string& key,
                         std::string& value) const {
  const Section* s = Find(section);
  if (!s) return false;
  for (const auto& [k, v] : s->keys) {
    if (k == key) {
      value = v;
      return true;
    }
  }
  return false;
}

std::string qmsTQueueFile::ReadString(const std::string& section, const std::string& key) const {
  std::string value;
  Read(section, key, value);
  return value;
}

std::vector<std::string> qmsTQueueFile::ReadList(const std::string& section,
                                                 const std::string& key) const {
  std::vector<std::string> list;
  std::string value;
  if (Read(section, key, value)) jvbTTextConfig::CutWords(value, list);
  return list;
}

void qmsTQueueFile::Set(const std::string& section, const std::string& key,
                        const std::string& value) {
  Section* s = Find(section);
  if (!s) {
    model_.push_back(Section{OneLine(section), {}});
    s = &model_.back();
  }
  const std::string clean = OneLine(value);
  for (auto& [k, v] : s->keys) {
    if (k == key) {
      v = clean;
      return;
    }
  }
  s->keys.emplace_back(OneLine(key), clean);
}

void qmsTQueueFile::SetList(const std::string& section, const std::string& key,
                            const std::vector<std::string>& list) {
  Set(section, key, JoinList(list));
}

std::string qmsTQueueFile::JoinList(const std::vector<std::string>& list) {
  std::string out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out += ' ';
    if (list[i].find(' ') != std::string::npos)
      out += "\"" + list[i] + "\"";
    else
      out += list[i];
  }
  return out;
}

std::string qmsTQueueFile::Serialize(const Model& model) {
  std::string text;
  for (size_t i = 0; i < model.size(); ++i) {
    if (i) text += "\r\n";
    text += "[" + model[i].name + "]\r\n";
    for (const auto& [k, v] : model[i].keys) {
      text += k;
      text += '=';
      text += v;
      text += "\r\n";
    }
  }
  return text;
}

bool qmsTQueueFile::Flush() {
  if (!created_ || committed_) {
    last_error_ = EBADF;
    return false;
  }
  jvbTTextFile header;
  header.Init(path_ + kIncomingSuffix, jvb::fmWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  if (!header.Open() || !header.Write(Serialize(model_)) || !header.Truncate()) {
    last_error_ = header.LastError() ? header.LastError() : EIO;
    return false;
  }
  return true;
}

// --- Body ------------------------------------------------------------------------------

bool qmsTQueueFile::CreateBody() {
  if (!created_ || committed_ || body_created_) {
    last_error_ = EBADF;
    return false;
  }
  body_buffer_.clear();
  body_size_ = 0;
  body_failed_ = false;
  if (!CreateExclusive(path_ + kBodySuffix, std::string(), body_)) return false;
  body_created_ = true;
  return true;
}

bool qmsTQueueFile::FlushBodyBuffer() {
  if (body_buffer_.empty()) return !body_failed_;
  if (!body_failed_ && !body_.Write(body_buffer_)) {
    body_failed_ = true;
    last_error_ = body_.LastError() ? body_.LastError() : EIO;
  }
  body_buffer_.clear();
  return !body_failed_;
}

bool qmsTQueueFile::WriteBody(const std::string& bytes) {
  if (body_failed_ || !body_.IsOpen()) return false;
  body_buffer_ += bytes;
  body_size_ += static_cast<int64_t>(bytes.size());
  if (body_buffer_.size() >= kBodyChunk) return FlushBodyBuffer();
  return true;
}

bool qmsTQueueFile::CloseBody() {
  if (!body_.IsOpen()) return false;
  bool ok = FlushBodyBuffer();
  if (ok && !body_.Sync()) {
    last_error_ = errno ? errno : EIO;
    ok = false;
  }
  body_.Close();
  if (!ok) body_failed_ = true;
  return ok;
}

void qmsTQueueFile::DiscardBody() {
  body_.Close();
  body_buffer_.clear();
  if (body_created_) jvb::DeleteFile(path_ + kBodySuffix);
  body_created_ = false;
  body_failed_ = false;
  body_size_ = 0;
}

// --- End of the transaction ---------------------------------------------------------------

bool qmsTQueueFile::Commit() {
  if (!created_ || committed_ || body_.IsOpen() || body_failed_) {
    last_error_ = EBADF;
    return false;
  }
  {
    // On disk before it counts as queued.
    jvbTTextFile header;
    header.Init(path_ + kIncomingSuffix, jvb::fmReadWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
    if (!header.Open() || !header.Sync()) {
      last_error_ = header.LastError() ? header.LastError() : (errno ? errno : EIO);
      return false;
    }
  }
  int err = 0;
  if (!jvb::RenameNoReplace(path_ + kIncomingSuffix, path_ + kHeaderSuffix, &err)) {
    last_error_ = err;
    return false;
  }
  committed_ = true;
  // A hook may have written the header through the key-file writer, which keeps its
  // previous state beside it; the queued message does not need it. (Looked for first: an
  // unlink takes the directory's lock even for a name that is not there.)
  if (jvb::PathExists(path_ + kBackupSuffix)) jvb::DeleteFile(path_ + kBackupSuffix);
  return true;
}

void qmsTQueueFile::Discard() {
  if (committed_) return;
  if (created_) {
    jvb::DeleteFile(path_ + kIncomingSuffix);
    jvb::DeleteFile(path_ + kBackupSuffix);
  }
  DiscardBody();
  created_ = false;
}
