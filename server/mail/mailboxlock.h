// qmsTMailboxLock: the ".locked" file of an Inbox - the POP3 session's lock on the mailbox
// and, at the same time, its index of the messages and their deletion marks.
//
// The file is a sequence of 335-byte records, one per "*.msg" file found when the lock
// was taken, in directory-search order (message number = record position + 1):
//   offset   0, 256 bytes: full path of the message file, a length byte + up to 255 chars
//   offset 256,   4 bytes: file size, 32-bit signed little-endian (larger files show
//                          2147483647; the session keeps the true size)
//   offset 260,   1 byte : deletion mark, 0 present, 1 marked
//   offset 261,   3 bytes: zero
//   offset 264,  71 bytes: unique identifier, a length byte + up to 70 chars
// A path that does not fit its field is never cut (a cut path names another file): such
// a mailbox cannot be locked.
//
// Exclusion: the file is created and held with an exclusive lock (flock). Release
// unlinks it while the lock is still held, and a locker checks that the file it locked
// is still the one under the name, so a crashed holder never leaves the mailbox locked and
// two sessions never both believe they hold it.
//
// One object belongs to one session's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "toolbox/textfile.h"

struct qmsTMailboxEntry {
  std::string path;      // real path of the message file
  std::string name;      // its name in the Inbox, the one it is opened and removed by
  std::string uniqueId;  // see qmsTMailbox::UniqueId
  int64_t size = 0;
  bool deleted = false;
};

class qmsTMailboxLock {
 public:
  static constexpr int kRecordSize = 335;
  static constexpr size_t kMaxPath = 255;
  static constexpr size_t kMaxUniqueId = 70;

  enum Result {
    lkLocked = 0,
    lkBusy,         // another session holds the mailbox
    lkPathTooLong,  // a message path does not fit its field
    lkFailed,       // the file cannot be created or written
  };

  qmsTMailboxLock() = default;
  ~qmsTMailboxLock() { Release(); }
  qmsTMailboxLock(const qmsTMailboxLock&) = delete;
  qmsTMailboxLock& operator=(const qmsTMailboxLock&) = delete;

  // Locks the Inbox (real directory with a trailing "/", which must exist) and writes the
  // index of its messages; user goes into the unique identifiers. timeoutMs bounds the
  // wait for another holder.
  Result Lock(const std::string& inbox, const std::string& user, int timeoutMs = 1000);
  // The same for an Inbox already opened as a root (inboxPath: its real path with a
  // trailing "/", written into the index). The lock file, the listing and every later
  // open or removal of a message stay beneath that directory.
  Result Lock(jvb::RootDir inbox, const std::string& inboxPath, const std::string& user,
              int timeoutMs = 1000);
  // The locked Inbox; message files are reached beneath it by their entry's name.
  const jvb::RootDir& Inbox() const { return inbox_; }
  // Erases and closes the file; the mailbox is free again. Safe to call when not held.
  void Release();
  bool Held() const { return file_.IsOpen(); }
  const std::string& FileName() const { return file_.Name(); }

  int Count() const { return static_cast<int>(entries_.size()); }
  int64_t TotalSize() const { return total_size_; }
  // Message number 1 ... Count(); nullptr for any other number.
  const qmsTMailboxEntry* Entry(int64_t number) const;
  // Sets or clears one mark and writes its record back; false when the number is invalid
  // or the write failed.
  bool SetDeleted(int64_t number, bool deleted);
  // Clears every mark (records written back). False when a write failed.
  bool ClearMarks();

  // The record layout, exposed for tests and tools. Encode requires the fields to fit
  // (false otherwise, nothing written); Decode reads what a record holds.
  static bool EncodeRecord(const qmsTMailboxEntry& entry, unsigned char* record);
  static qmsTMailboxEntry DecodeRecord(const unsigned char* record);

 private:
  bool WriteRecord(int64_t index);

  jvb::RootDir inbox_;
  jvbTTextFile file_;
  std::vector<qmsTMailboxEntry> entries_;
  int64_t total_size_ = 0;
};
