// qmsTDeliveryHeader: the header file "N.hdr" of one queued message while a delivery pass
// owns it, and the time stamps its keys hold.
//
// Open holds the file exclusively (other passes and tools that honour the sharing modes
// wait or give up) and reads it whole into memory. Changes are made in memory and Save
// writes the complete header to a new file beside it, syncs it, takes its lock and moves
// it over "N.hdr" in one rename. A pass killed at any moment therefore leaves either the
// previous or the new header on disk, never a mixture, and the lock always sits on the
// file that carries the name. No ".bak" copies are left in the queue.
//
// Sections are found without regard to ASCII case, keys exactly, as the key-file reader
// does. Values lose NUL, CR and LF (they could not be read back otherwise).
//
// Time stamps ("ReceivedAt", "NextTryAfter", "RetryAfter" ...) are local time as
// "yyyymmddhhnnss.m" (milliseconds without padding). Arithmetic is done on epoch
// milliseconds, so a change of daylight-saving time never shifts a retry time.
//
// One object belongs to one pass (one thread).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/mail/queuefile.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

class qmsTDeliveryHeader {
 public:
  using Model = qmsTQueueFile::Model;

  qmsTDeliveryHeader() = default;
  ~qmsTDeliveryHeader();
  qmsTDeliveryHeader(const qmsTDeliveryHeader&) = delete;
  qmsTDeliveryHeader& operator=(const qmsTDeliveryHeader&) = delete;

  // Holds the existing file path exclusively and reads it. False (nothing held) when the
  // file is missing, held by another owner beyond the usual retry, or unreadable.
  bool Open(const std::string& path);
  bool IsOpen() const { return open_; }
  // Releases the held file; unsaved changes are dropped.
  void Close();
  const std::string& Path() const { return path_; }
  // The name Save writes before the rename (a dot name that no "*.hdr" search lists).
  std::string TempPath() const;

  // --- Lookups ---
  bool Read(const std::string& section, const std::string& key, std::string& value) const;
  std::string ReadString(const std::string& section, const std::string& key) const;
  // A decimal value; def when absent or not a number.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def = 0) const;
  // Words as the key-file reader cuts them (blanks separate, double quotes group).
  std::vector<std::string> ReadList(const std::string& section, const std::string& key) const;
  bool HasSection(const std::string& section) const;
  bool HasKey(const std::string& section, const std::string& key) const;
  // The keys of a section in file order (empty when there is none).
  std::vector<std::pair<std::string, std::string>> Keys(const std::string& section) const;

  // --- Changes (in memory until Save) ---
  void Write(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteList(const std::string& section, const std::string& key,
                 const std::vector<std::string>& list);
  bool Dirty() const { return dirty_; }
  // Replaces the file on disk by the header in memory (see above). False, with the file
  // on disk unchanged and still held, when any step fails.
  bool Save();
  int LastError() const { return last_error_; }

  const Model& Header() const { return model_; }
  // The key-file text of the header in memory.
  std::string Text() const { return qmsTQueueFile::Serialize(model_); }

  // --- Time stamps ---
  static int64_t NowMs();
  static std::string FormatStamp(int64_t epochMs);
  // False for anything that is not a complete stamp of a real local time.
  static bool ParseStamp(const std::string& text, int64_t& epochMs);
  static constexpr int64_t kMinuteMs = 60 * 1000;
  // A stamp value of the header; false when the key is absent or malformed.
  bool ReadStamp(const std::string& section, const std::string& key, int64_t& epochMs) const;
  void WriteStamp(const std::string& section, const std::string& key, int64_t epochMs);

 private:
  qmsTQueueFile::Section* Find(const std::string& section);
  const qmsTQueueFile::Section* Find(const std::string& section) const;

  std::string path_;
  Model model_;
  // Holds the file as opened until the first save; afterwards held_ holds the new file.
  std::unique_ptr<jvbTTextConfig> reader_;
  std::unique_ptr<jvbTTextFile> held_;
  bool open_ = false;
  bool dirty_ = false;
  int last_error_ = 0;
};
