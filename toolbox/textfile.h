// jvbTTextFile: the file record. Every open carries a sharing mode (see platform.h) and
// is retried every 50 ms until its timeout passes, so that two threads of one process and
// two processes exclude each other alike. One record belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

#include "toolbox/platform.h"

class jvbTTextFile {
 public:
  jvbTTextFile() = default;
  ~jvbTTextFile() { Close(); }
  jvbTTextFile(const jvbTTextFile&) = delete;
  jvbTTextFile& operator=(const jvbTTextFile&) = delete;

  // flags bit 2 (value 2): lines end with LF alone instead of CR LF.
  void Init(const std::string& name, int mode, int recordSize = 1, int flags = 0,
            int timeoutMs = 1000, mode_t createMode = jvb::kModeShared);
  // The same for a name beneath root, which must outlive the record's opens.
  void Init(const jvb::RootDir& root, const std::string& name, int mode, int recordSize = 1,
            int flags = 0, int timeoutMs = 1000, mode_t createMode = jvb::kModeShared);
  bool Open();          // existing file only
  bool Rewrite();       // create or truncate (truncated only once the lock is held)
  bool OpenOrCreate();  // open when it exists, else create
  bool CreateNew();     // a new file only: fails (EEXIST) when the name is taken
  // Block I/O in records; returns the count of whole records moved.
  int64_t BlockRead(void* buf, int64_t count);
  int64_t BlockWrite(const void* buf, int64_t count);
  bool WriteLine(const std::string& text);
  bool Write(const std::string& bytes);
  bool ReadAll(std::string& out);  // from the start, whole file
  bool SeekStart();
  bool SeekEnd();
  bool Seek(int64_t record);
  int64_t Size();  // in records
  // Bytes in the file when it was opened, taken under its lock (no further system call);
  // -1 once this record has written to it, when it is not open, or when it was opened
  // without a lock (another writer may have grown it since).
  int64_t OpenedSize() const { return opened_size_; }
  bool Truncate();  // at the current position
  bool Sync();
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int LastError() const { return last_error_; }
  const std::string& Name() const { return name_; }
  int Mode() const { return mode_; }
  void SetTimeout(int ms) { timeout_ms_ = ms; }

 private:
  bool Create(int mode, bool truncate);

  std::string name_;
  const jvb::RootDir* root_ = nullptr;
  int last_error_ = 0;
  int fd_ = -1;
  int64_t opened_size_ = -1;
  int mode_ = jvb::fmReadDenyWrite;
  int record_size_ = 1;
  int flags_ = 0;
  int timeout_ms_ = 1000;
  mode_t create_mode_ = jvb::kModeShared;
};

// Free routines on files and paths.
void jvbCreateEmptyFile(const std::string& name);
// Opens (0x21, retry) or creates the file and its folders, appends text and CR LF.
bool jvbAppendLine(const std::string& text, const std::string& name);
// a + b with exactly one "/" between them (either side may carry "/" or "\").
std::string jvbJoinPath(const std::string& a, const std::string& b);
// Removes one trailing separator when the path is longer than one character ("/" stays).
std::string jvbCutSep(const std::string& p);
// Empty gives "/"; otherwise removes one trailing separator when longer than 1.
std::string jvbCutSepRoot(const std::string& p);
// Backup name: extension (from the last "." after the last "/", "\" or ":") replaced by
// ".bak"; a name without extension gets ".bak" appended. "config/qms.cfg" -> "config/qms.bak".
std::string jvbBackupName(const std::string& p);
