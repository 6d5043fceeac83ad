// qmsRunServer: one server cycle per process - banner, launcher proof, application,
// setup check, run, stop. Returns the logical exit code (0 stop, 1 restart); halts end
// the process through qmsHalt.
#pragma once

#include <ctime>
#include <string>
#include <vector>

int qmsRunServer(const std::vector<std::string>& args);

// The three banner lines written to console and log ("-----", title, build).
std::vector<std::string> qmsServerBannerLines();

// True when args hold exactly one launcher time stamp at most 5 whole seconds older
// than now (a stamp in the future passes).
bool qmsCheckLauncherProof(const std::vector<std::string>& args, time_t nowEpoch, int nowMs);

// True when the first argument is the standalone word.
bool qmsIsStandalone(const std::vector<std::string>& args);
