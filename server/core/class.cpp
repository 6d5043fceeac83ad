#include "server/core/class.h"

#include "toolbox/platform.h"
#include "toolbox/timeutil.h"

qmsTClass::qmsTClass() : creator_thread_(jvb::CurrentThreadId()) {}
qmsTClass::~qmsTClass() = default;

void qmsTClass::SetConfigFile(const std::string& name) {
  config_ = std::make_unique<jvbTTextConfig>(name);
}

static bool PrepareAppend(const std::string& name) {
  jvbTTextFile f;
  f.Init(name, jvb::fmWriteDenyWrite);
  return f.OpenOrCreate();
}

bool qmsTClass::SetLogFile(const std::string& name) {
  std::lock_guard<std::mutex> g(log_lock_);
  log_name_.clear();
  if (!PrepareAppend(name)) return false;
  log_name_ = name;
  jvb::FileInfo info;
  last_day_ = 0;
  if (jvb::GetFileInfo(name, info) && info.size > 0)
    last_day_ = jvb::DayNumber(jvb::ToLocal(static_cast<time_t>(info.mtime)));
  return true;
}

bool qmsTClass::SetExtFile(const std::string& name) {
  std::lock_guard<std::mutex> g(log_lock_);
  ext_name_.clear();
  if (!PrepareAppend(name)) return false;
  ext_name_ = name;
  return true;
}

void qmsTClass::Logln(const std::string& text) {
  std::lock_guard<std::mutex> g(log_lock_);
  if (log_name_.empty()) return;
  jvbTTextFile f;
  f.Init(log_name_, jvb::fmWriteDenyWrite);
  if (!f.OpenOrCreate()) return;
  f.SeekEnd();
  jvb::DateTime now = jvb::NowLocal();
  int32_t today = jvb::DayNumber(now);
  if (last_day_ < today) {
    f.WriteLine(jvb::FormatDayLine(now));
    last_day_ = today;
  }
  f.WriteLine(jvb::FormatLogStamp(now) + " " + text);
}

void qmsTClass::Extln(const std::string& text) {
  std::lock_guard<std::mutex> g(log_lock_);
  if (ext_name_.empty()) return;
  jvbTTextFile f;
  f.Init(ext_name_, jvb::fmWriteDenyWrite);
  if (!f.OpenOrCreate()) return;
  f.SeekEnd();
  f.WriteLine(text);
}
