// jvbTTextConfig: reader and writer of the suite's sectioned key files (".cfg", user
// files, message files, queue headers). One object stands for one file. Lookups parse
// the file on first use and again whenever it changed on disk; WriteString changes one
// key in place and keeps a ".bak" copy of the previous file.
//
// Thread safety: one object may be shared by any number of threads. A reload builds the
// new table aside and swaps it in under a lock, so a lookup never sees a half-built
// table; a reload that cannot open the file keeps the previous table (unless the file is
// gone, which empties it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "toolbox/textfile.h"

class jvbTTextConfig {
 public:
  static constexpr int kDefaultOptions = 0x3A;

  // Creates an empty file when none exists; does not parse.
  explicit jvbTTextConfig(const std::string& fileName);
  ~jvbTTextConfig();
  jvbTTextConfig(const jvbTTextConfig&) = delete;
  jvbTTextConfig& operator=(const jvbTTextConfig&) = delete;

  const std::string& FileName() const { return file_name_; }

  // Lookups. Sections are found without regard to case, keys exactly.
  bool ReadValue(const std::string& section, const std::string& key, std::string& value);
  void ReadString(std::string& value, const std::string& section, const std::string& key);
  bool ReadBool(const std::string& section, const std::string& key, bool& value);
  void ReadInteger(int32_t& value, const std::string& section, const std::string& key);
  void ReadList(std::vector<std::string>& list, const std::string& section,
                const std::string& key);
  // Raw lines of the section (exact header match), comment lines left out.
  bool ReadSection(const std::string& section, std::vector<std::string>& lines);
  bool ReadSectionText(const std::string& section, std::string& text);
  bool ReadLines(std::vector<std::string>& lines);
  // Every section name / every key of one section, in table order (helpers for callers
  // that enumerate, such as VFS mount points). The unnamed leading section is listed only
  // when it holds keys.
  std::vector<std::string> SectionNames();
  std::vector<std::pair<std::string, std::string>> SectionKeys(const std::string& section);

  // Changes.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool WriteList(const std::vector<std::string>& list, const std::string& section,
                 const std::string& key);
  void SetCommentChars(const std::string& chars);
  bool SetFileLock(bool lock);
  bool FileLocked() const { return file_locked_; }
  // Lookups compare the file's stamp with the parsed one at most once per interval
  // (monotonic clock) instead of on every lookup; 0, the default, compares every time.
  // For files read on every reply, such as message files.
  void SetCheckInterval(int ms) { check_interval_ms_ = ms; }
  void Load();

  // Parsers without I/O, also used by the tests and fuzzers.
  static std::vector<std::string> SplitLines(const std::string& bytes);
  static void CutWords(const std::string& value, std::vector<std::string>& out);
  static bool ParseInteger(const std::string& text, int32_t& out);

 private:
  struct Table;
  std::shared_ptr<const Table> Current();
  std::shared_ptr<const Table> Parse(const std::string& bytes) const;
  // Reads the whole file (through the held handle when the file lock is set) and the
  // file's stamp and age while it is open. False with *err set when it cannot be opened.
  bool ReadFileBytes(std::string& bytes, int* err, uint64_t* stamp, int32_t* age);
  // Load and WriteString bodies; the caller holds load_mutex_.
  void LoadLocked();
  bool RewriteLocked(const std::string& section, const std::string& key, const std::string& value,
                     bool* opened);
  // Sets the key in a list of raw lines (walk, replace or insert).
  void EditLines(std::vector<std::string>& lines, const std::string& section,
                 const std::string& key, const std::string& value) const;

  std::string file_name_;
  int options_ = kDefaultOptions;
  std::string comment_chars_ = "#;";
  std::mutex load_mutex_;   // serialises Load and WriteString within the object
  mutable std::mutex table_mutex_;  // guards table_ and stamps
  std::shared_ptr<const Table> table_;
  uint64_t stamp_ = 0;
  int32_t file_age_ = -1;
  bool loaded_ = false;
  std::atomic<int> check_interval_ms_{0};
  int64_t checked_ms_ = 0;  // last stamp comparison (monotonic), under table_mutex_
  bool locked_compared_ = false;  // stamp compared since the file lock was taken
  std::atomic<bool> file_locked_{false};  // written under load_mutex_
  jvbTTextFile file_;  // held open while the file lock is set; used under load_mutex_
};
