// qmsTLogWriter: a log file held open for appending while its owner lives. Each entry goes
// out with one write(2) under the writer's lock, which is held for that write only; a stamped
// entry is preceded by the day line when it is the first of its day in the file. The file is
// opened O_APPEND, so another appender of the same file (or a reader) never sees half lines.
// About once a second the name is checked against the open file: a log moved or deleted
// by hand is created afresh under its name, as it would have been with an open per line.
// Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "toolbox/platform.h"
#include "toolbox/timeutil.h"

class qmsTLogWriter {
 public:
  using Clock = std::function<jvb::DateTime()>;

  explicit qmsTLogWriter(Clock clock = jvb::NowLocal) : clock_(std::move(clock)) {}
  ~qmsTLogWriter() { Close(); }
  qmsTLogWriter(const qmsTLogWriter&) = delete;
  qmsTLogWriter& operator=(const qmsTLogWriter&) = delete;

  // Opens (creates when missing; its directory must exist) a regular file for appending.
  // The day of the last day line is taken from the file's last-write time (none when the
  // file is empty). False when it can be neither opened nor created: no log then.
  bool Open(const std::string& name);
  void Close();
  bool IsOpen();

  // "hh:nn:ss.cc text", after the day line when the day has changed.
  void Stamped(const std::string& text);
  // The text as one line, as it is.
  void Raw(const std::string& text);

  // The descriptor in use (tests).
  int Descriptor();

 private:
  bool OpenLocked();
  void Recheck();
  void Put(const std::string& line);

  Clock clock_;
  std::mutex lock_;
  std::string name_;
  int fd_ = -1;
  jvb::FileInfo file_;  // what fd_ was opened on, to notice a log moved away
  int32_t last_day_ = 0;
  int64_t checked_ms_ = 0;
};
