// Setup check, upgrade of the shipped defaults, and log archiving, run by qmsRunServer
// before the services start. All output goes to console and system log.
#pragma once

#include <cstdint>
#include <string>

class jvbTTextConfig;

// Creates the directory tree, installs the defaults from "documentation/" into
// directories created now, and upgrades unchanged files after a version change.
// Halts with 10011 when the installed version is older than this program can upgrade.
void qmsCheckSetup(jvbTTextConfig& config);
// Recursive install (upgrade false) or upgrade (true) of source into destination.
void qmsInstallFiles(jvbTTextConfig& config, const std::string& destination,
                     const std::string& source, bool upgrade);
void qmsObjectCreate(jvbTTextConfig& config);
// Moves the previous run's logs into "log/<yyyymmdd-hhnnss>/<yyyymmdd-hhnnss>.zip".
void qmsArchiveLogs(jvbTTextConfig& config);

// CRC-32 of a whole file as "%8.8x"; a file that cannot be read gives 0.
uint32_t qmsFileCrc(const std::string& path);
std::string qmsCrcText(uint32_t crc);
