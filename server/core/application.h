// qmsTApplication: the one application object of a server process. It owns the main
// configuration "config/qms.cfg"; RunApplication runs until a stop or restart has been
// carried out. Created and freed by qmsRunServer on the main thread.
#pragma once

#include <memory>
#include <string>

#include "toolbox/textconfig.h"

class qmsTApplication {
 public:
  enum Command { cmdNone, cmdRestart, cmdShutdown };

  qmsTApplication();
  ~qmsTApplication();

  jvbTTextConfig& Config() { return *config_; }
  void RunApplication();
  Command PendingCommand() const { return pending_; }

 private:
  std::unique_ptr<jvbTTextConfig> config_;
  Command pending_ = cmdNone;
};

// The instance while one exists (set and cleared by qmsRunServer).
extern qmsTApplication* qmsApplication;
