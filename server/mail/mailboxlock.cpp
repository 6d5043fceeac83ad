#include "server/mail/mailboxlock.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "server/mail/mailbox.h"
#include "toolbox/platform.h"

namespace {

constexpr int kPathOffset = 0;
constexpr int kSizeOffset = 256;
constexpr int kMarkOffset = 260;
constexpr int kIdOffset = 264;

void PutShortString(unsigned char* field, const std::string& text) {
  field[0] = static_cast<unsigned char>(text.size());
  std::memcpy(field + 1, text.data(), text.size());
}

std::string GetShortString(const unsigned char* field, size_t max) {
  size_t n = field[0];
  if (n > max) n = max;
  return std::string(reinterpret_cast<const char*>(field + 1), n);
}

}  // namespace

bool qmsTMailboxLock::EncodeRecord(const qmsTMailboxEntry& entry, unsigned char* record) {
  if (entry.path.size() > kMaxPath || entry.uniqueId.size() > kMaxUniqueId) return false;
  std::memset(record, 0, kRecordSize);
  PutShortString(record + kPathOffset, entry.path);
  int64_t size = entry.size;
  if (size > std::numeric_limits<int32_t>::max()) size = std::numeric_limits<int32_t>::max();
  if (size < 0) size = 0;
  uint32_t v = static_cast<uint32_t>(size);
  for (int i = 0; i < 4; ++i) record[kSizeOffset + i] = static_cast<unsigned char>(v >> (8 * i));
  record[kMarkOffset] = entry.deleted ? 1 : 0;
  PutShortString(record + kIdOffset, entry.uniqueId);
  return true;
}

qmsTMailboxEntry qmsTMailboxLock::DecodeRecord(const unsigned char* record) {
  qmsTMailboxEntry e;
  e.path = GetShortString(record + kPathOffset, kMaxPath);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(record[kSizeOffset + i]) << (8 * i);
  e.size = static_cast<int32_t>(v);
  e.deleted = record[kMarkOffset] != 0;
  e.uniqueId = GetShortString(record + kIdOffset, kMaxUniqueId);
  return e;
}

qmsTMailboxLock::Result qmsTMailboxLock::Lock(const std::string& inbox, const std::string& user,
                                              int timeoutMs) {
  return Lock(jvb::RootDir(inbox), inbox, user, timeoutMs);
}

qmsTMailboxLock::Result qmsTMailboxLock::Lock(jvb::RootDir root, const std::string& inbox,
                                              const std::string& user, int timeoutMs) {
  Release();
  inbox_ = std::move(root);
  file_.Init(inbox_, qmsTMailbox::kLockFileName, jvb::fmReadWriteExclusive, kRecordSize, 0,
             timeoutMs, jvb::kModePrivate);
  // Truncation happens only once the lock is held: a holder's index is never emptied.
  if (!file_.Rewrite()) {
    int err = file_.LastError();
    file_.Close();
    return err == EWOULDBLOCK || err == EAGAIN ? lkBusy : lkFailed;
  }

  std::vector<jvb::DirEntry> found;
  int rc = inbox_.ListBeneath("", qmsTMailbox::kMessageMask, qmsTMailbox::kFileSearchMask, found);
  if (rc != 0 && rc != jvb::kErrFileNotFound) {
    Release();
    return lkFailed;
  }
  std::string records;
  records.resize(found.size() * kRecordSize);
  for (size_t i = 0; i < found.size(); ++i) {
    qmsTMailboxEntry e;
    e.path = inbox + found[i].name;
    e.name = found[i].name;
    e.size = found[i].size;
    e.uniqueId = qmsTMailbox::UniqueId(user, found[i].name);
    if (!EncodeRecord(e, reinterpret_cast<unsigned char*>(&records[i * kRecordSize]))) {
      Release();
      return lkPathTooLong;
    }
    total_size_ += e.size;
    entries_.push_back(std::move(e));
  }
  if (!records.empty() && file_.BlockWrite(records.data(), static_cast<int64_t>(found.size())) !=
                              static_cast<int64_t>(found.size())) {
    Release();
    return lkFailed;
  }
  return lkLocked;
}

void qmsTMailboxLock::Release() {
  if (file_.IsOpen()) {
    // Unlinked while still locked: the next locker finds no stale file or a fresh one.
    inbox_.UnlinkBeneath(file_.Name());
    file_.Close();
  }
  inbox_.Close();
  entries_.clear();
  total_size_ = 0;
}

const qmsTMailboxEntry* qmsTMailboxLock::Entry(int64_t number) const {
  if (number < 1 || number > static_cast<int64_t>(entries_.size())) return nullptr;
  return &entries_[static_cast<size_t>(number - 1)];
}

bool qmsTMailboxLock::WriteRecord(int64_t index) {
  unsigned char record[kRecordSize];
  if (!EncodeRecord(entries_[static_cast<size_t>(index)], record)) return false;
  return file_.Seek(index) && file_.BlockWrite(record, 1) == 1;
}

bool qmsTMailboxLock::SetDeleted(int64_t number, bool deleted) {
  if (!Entry(number) || !file_.IsOpen()) return false;
  entries_[static_cast<size_t>(number - 1)].deleted = deleted;
  return WriteRecord(number - 1);
}

bool qmsTMailboxLock::ClearMarks() {
  bool ok = true;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].deleted) continue;
    entries_[i].deleted = false;
    if (!WriteRecord(static_cast<int64_t>(i))) ok = false;
  }
  return ok;
}
