// qmsTClass: common base of the application, its groups and their services. It owns a
// configuration file, a log with day lines, an extended log, a general lock and a timer.
// Logln/Extln may be called from any thread (the log lock serialises them).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "toolbox/semaphore.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"
#include "toolbox/timer.h"

class qmsTClass {
 public:
  qmsTClass();
  virtual ~qmsTClass();
  qmsTClass(const qmsTClass&) = delete;
  qmsTClass& operator=(const qmsTClass&) = delete;

  virtual void AllocateResources() {}
  virtual void FreeResources() {}

  void SetConfigFile(const std::string& name);
  bool SetLogFile(const std::string& name);
  bool SetExtFile(const std::string& name);
  void Logln(const std::string& text);
  void Extln(const std::string& text);

  jvbTTextConfig* Config() const { return config_.get(); }
  jvbTTimer& Timer() { return timer_; }
  std::recursive_mutex& Lock() { return lock_; }
  long CreatorThread() const { return creator_thread_; }
  bool HasExtFile() const { return !ext_name_.empty(); }

 protected:
  std::recursive_mutex lock_;
  std::unique_ptr<jvbTTextConfig> config_;
  jvbTTimer timer_;

 private:
  std::mutex log_lock_;
  std::string log_name_;
  std::string ext_name_;
  int32_t last_day_ = 0;  // day number of the last day line; 0 for a new or empty file
  long creator_thread_ = 0;
};
