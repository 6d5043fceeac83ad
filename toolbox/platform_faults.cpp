// jvb: the fault plan of the platform layer (see FaultPlan in platform.h). Without a plan
// the checks cost one atomic load.
#include "toolbox/platform_faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "toolbox/platform.h"

namespace jvb {
namespace {

std::atomic<bool> g_planned{false};
std::mutex g_lock;
FaultPlan g_plan;

FaultPlan CurrentPlan() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_plan;
}

// Where a write to fd starts: the end of the file in append mode, else the offset.
int64_t WriteStart(int fd, const struct stat& st) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_APPEND) != 0) return static_cast<int64_t>(st.st_size);
  off_t pos = ::lseek(fd, 0, SEEK_CUR);
  return pos < 0 ? static_cast<int64_t>(st.st_size) : static_cast<int64_t>(pos);
}

}  // namespace

void SetFaultPlan(const FaultPlan& plan) {
  std::lock_guard<std::mutex> g(g_lock);
  g_plan = plan;
  g_planned.store(true, std::memory_order_release);
}

void ClearFaultPlan() {
  std::lock_guard<std::mutex> g(g_lock);
  g_plan = FaultPlan();
  g_planned.store(false, std::memory_order_release);
}

namespace fault {

void BeforeLock(const std::string& path) {
  if (!g_planned.load(std::memory_order_acquire)) return;
  const auto hook = CurrentPlan().beforeLock;
  if (hook) hook(path);
}

bool WriteFails(int fd, size_t size) {
  if (!g_planned.load(std::memory_order_acquire)) return false;
  const int64_t limit = CurrentPlan().fileSizeLimit;
  if (limit < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (WriteStart(fd, st) + static_cast<int64_t>(size) <= limit) return false;
  errno = ENOSPC;
  return true;
}

bool RenameFails(const std::string& to) {
  if (!g_planned.load(std::memory_order_acquire)) return false;
  const FaultPlan plan = CurrentPlan();
  const std::string& suffix = plan.renameTargetSuffix;
  if (suffix.empty() || to.size() < suffix.size() ||
      to.compare(to.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  errno = plan.renameError;
  return true;
}

}  // namespace fault
}  // namespace jvb
