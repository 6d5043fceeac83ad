#include "server/mail/deliveryheader.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"

namespace {

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\0' || c == '\r' || c == '\n') c = ' ';
  return s;
}

}  // namespace

qmsTDeliveryHeader::~qmsTDeliveryHeader() { Close(); }

std::string qmsTDeliveryHeader::TempPath() const {
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  return dir + "." + base + ".new";
}

bool qmsTDeliveryHeader::Open(const std::string& path) {
  Close();
  path_ = path;
  // The key-file object would create a missing file; a message deleted meanwhile must stay
  // deleted. (The caller holds the message's lock, so nobody deletes it after this check.)
  if (!jvb::FileExists(path)) {
    last_error_ = ENOENT;
    return false;
  }
  auto reader = std::make_unique<jvbTTextConfig>(path);
  if (!reader->SetFileLock(true)) {
    last_error_ = EAGAIN;
    return false;
  }
  model_.clear();
  for (const std::string& name : reader->SectionNames()) {
    qmsTQueueFile::Section section{name, {}};
    for (auto& [key, value] : reader->SectionKeys(name)) {
      // Of equal keys the reader lists the effective one first.
      bool seen = false;
      for (const auto& kv : section.keys)
        if (kv.first == key) seen = true;
      if (!seen) section.keys.emplace_back(key, value);
    }
    model_.push_back(std::move(section));
  }
  reader_ = std::move(reader);
  open_ = true;
  dirty_ = false;
  last_error_ = 0;
  return true;
}

void qmsTDeliveryHeader::Close() {
  held_.reset();
  reader_.reset();  // releases its file lock
  open_ = false;
  dirty_ = false;
}

// --- Lookups ---------------------------------------------------------------------------

qmsTQueueFile::Section* qmsTDeliveryHeader::Find(const std::string& section) {
  for (auto& s : model_)
    if (jvb::EqualNoCase(s.name, section)) return &s;
  return nullptr;
}

const qmsTQueueFile::Section* qmsTDeliveryHeader::Find(const std::string& section) const {
  for (const auto& s : model_)
    if (jvb::EqualNoCase(s.name, section)) return &s;
  return nullptr;
}

bool qmsTDeliveryHeader::Read(const std::string& section, const std::string& key,
                              std::string& value) const {
  const qmsTQueueFile::Section* s = Find(section);
  if (!s) return false;
  for (const auto& [k, v] : s->keys) {
    if (k == key) {
      value = v;
      return true;
    }
  }
  return false;
}

std::string qmsTDeliveryHeader::ReadString(const std::string& section,
                                           const std::string& key) const {
  std::string value;
  Read(section, key, value);
  return value;
}

int32_t qmsTDeliveryHeader::ReadInteger(const std::string& section, const std::string& key,
                                        int32_t def) const {
  std::string text;
  int32_t value = def;
  if (!Read(section, key, text) || !jvbTTextConfig::ParseInteger(text, value)) return def;
  return value;
}

std::vector<std::string> qmsTDeliveryHeader::ReadList(const std::string& section,
                                                      const std::string& key) const {
  std::vector<std::string> list;
  std::string value;
  if (Read(section, key, value)) jvbTTextConfig::CutWords(value, list);
  // Blanks in a row give empty words; they name no recipient.
  std::erase(list, std::string());
  return list;
}

bool qmsTDeliveryHeader::HasSection(const std::string& section) const {
  return Find(section) != nullptr;
}

bool qmsTDeliveryHeader::HasKey(const std::string& section, const std::string& key) const {
  std::string value;
  return Read(section, key, value);
}

std::vector<std::pair<std::string, std::string>> qmsTDeliveryHeader::Keys(
    const std::string& section) const {
  const qmsTQueueFile::Section* s = Find(section);
  return s ? s->keys : std::vector<std::pair<std::string, std::string>>{};
}

// --- Changes ---------------------------------------------------------------------------

void qmsTDeliveryHeader::Write(const std::string& section, const std::string& key,
                               const std::string& value) {
  qmsTQueueFile::Section* s = Find(section);
  if (!s) {
    model_.push_back(qmsTQueueFile::Section{OneLine(section), {}});
    s = &model_.back();
  }
  const std::string clean = OneLine(value);
  dirty_ = true;
  for (auto& [k, v] : s->keys) {
    if (k == key) {
      v = clean;
      return;
    }
  }
  s->keys.emplace_back(OneLine(key), clean);
}

void qmsTDeliveryHeader::WriteInteger(const std::string& section, const std::string& key,
                                      int32_t value) {
  Write(section, key, std::to_string(value));
}

void qmsTDeliveryHeader::WriteList(const std::string& section, const std::string& key,
                                   const std::vector<std::string>& list) {
  Write(section, key, qmsTQueueFile::JoinList(list));
}

bool qmsTDeliveryHeader::Save() {
  if (!open_) {
    last_error_ = EBADF;
    return false;
  }
  const std::string temp = TempPath();
  auto fail = [&](int err) {
    last_error_ = err ? err : EIO;
    return false;
  };
  // Locked before it has its final name, so the lock never leaves the named file.
  auto next = std::make_unique<jvbTTextFile>();
  next->Init(temp, jvb::fmReadWriteExclusive, 1, 0, 1000, jvb::kModePrivate);
  if (!next->Rewrite()) return fail(next->LastError());
  if (!next->Write(Text()) || !next->Sync()) {
    int err = next->LastError() ? next->LastError() : errno;
    next->Close();
    jvb::DeleteFile(temp);
    return fail(err);
  }
  int renameError = 0;
  if (!jvb::RenameReplace(temp, path_, &renameError)) {
    next->Close();
    jvb::DeleteFile(temp);
    return fail(renameError);
  }
  // The previous file is no longer reachable by its name; its lock can go.
  reader_.reset();
  held_ = std::move(next);
  dirty_ = false;
  last_error_ = 0;
  return true;
}

// --- Time stamps -----------------------------------------------------------------------

int64_t qmsTDeliveryHeader::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string qmsTDeliveryHeader::FormatStamp(int64_t epochMs) {
  int64_t seconds = epochMs / 1000;
  int ms = static_cast<int>(epochMs % 1000);
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  return jvb::FormatLauncherStamp(jvb::ToLocal(static_cast<time_t>(seconds), ms));
}

bool qmsTDeliveryHeader::ParseStamp(const std::string& text, int64_t& epochMs) {
  time_t t = 0;
  int ms = 0;
  if (!jvb::ParseLauncherStamp(text, &t, &ms)) return false;
  epochMs = static_cast<int64_t>(t) * 1000 + ms;
  return true;
}

bool qmsTDeliveryHeader::ReadStamp(const std::string& section, const std::string& key,
                                   int64_t& epochMs) const {
  std::string text;
  return Read(section, key, text) && ParseStamp(text, epochMs);
}

void qmsTDeliveryHeader::WriteStamp(const std::string& section, const std::string& key,
                                    int64_t epochMs) {
  Write(section, key, FormatStamp(epochMs));
}
