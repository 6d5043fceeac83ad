#include "server/core/class.h"

#include "toolbox/platform.h"

qmsTClass::qmsTClass() : creator_thread_(jvb::CurrentThreadId()) {}
qmsTClass::~qmsTClass() = default;

void qmsTClass::SetConfigFile(const std::string& name) {
  config_ = std::make_unique<jvbTTextConfig>(name);
}

bool qmsTClass::SetLogFile(const std::string& name) { return log_.Open(name); }

bool qmsTClass::SetExtFile(const std::string& name) { return ext_.Open(name); }

void qmsTClass::Logln(const std::string& text) { log_.Stamped(text); }

void qmsTClass::Extln(const std::string& text) { ext_.Raw(text); }

void qmsTClass::CloseLogs() {
  log_.Close();
  ext_.Close();
}
