// jvb: the fault plan's checks, for the platform layer's own files only (see FaultPlan
// in platform.h).
#pragma once

#include <cstddef>
#include <string>

namespace jvb::fault {

// True (errno set) when a write of size bytes to fd is to fail under the plan.
bool WriteFails(int fd, size_t size);
// True (errno set) when a rename to the path or name to is to fail under the plan.
bool RenameFails(const std::string& to);
// Runs the plan's beforeLock, if any, for path.
void BeforeLock(const std::string& path);

}  // namespace jvb::fault
