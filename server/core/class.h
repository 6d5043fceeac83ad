// qmsTClass: common base of the application, its groups and their services. It owns a
// configuration file, a log with day lines, an extended log, a general lock and a timer.
// Both logs stay open from SetLogFile/SetExtFile until CloseLogs or the object's end.
// Logln/Extln may be called from any thread (each log's lock serialises its lines).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "server/core/logwriter.h"
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
  void CloseLogs();

  jvbTTextConfig* Config() const { return config_.get(); }
  jvbTTimer& Timer() { return timer_; }
  std::recursive_mutex& Lock() { return lock_; }
  long CreatorThread() const { return creator_thread_; }
  bool HasExtFile() { return ext_.IsOpen(); }

 protected:
  std::recursive_mutex lock_;
  std::unique_ptr<jvbTTextConfig> config_;
  jvbTTimer timer_;

 private:
  qmsTLogWriter log_;
  qmsTLogWriter ext_;
  long creator_thread_ = 0;
};
