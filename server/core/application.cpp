#include "server/core/application.h"

#include "toolbox/names.h"

qmsTApplication* qmsApplication = nullptr;

qmsTApplication::qmsTApplication()
    : config_(std::make_unique<jvbTTextConfig>(qms::kMainConfig)) {}

qmsTApplication::~qmsTApplication() = default;

// Groups, services and the main loop attach here; with none configured the run ends at once.
void qmsTApplication::RunApplication() { pending_ = cmdShutdown; }
