#include "server/scripting/pluginmemory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

enum class Mode { kKernel, kDirect };

size_t PageSize() {
  static const size_t size = [] {
    long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<size_t>(s) : size_t{4096};
  }();
  return size;
}

// Bytes copied from the own address space at remote into local (fewer when part of the
// range cannot be read), -1 on failure.
ssize_t KernelRead(void* local, const void* remote, size_t n) {
  iovec l{local, n};
  iovec r{const_cast<void*>(remote), n};
  return process_vm_readv(getpid(), &l, 1, &r, 1, 0);
}

ssize_t KernelWrite(void* remote, const void* local, size_t n) {
  iovec l{const_cast<void*>(local), n};
  iovec r{remote, n};
  return process_vm_writev(getpid(), &l, 1, &r, 1, 0);
}

// Decided once by a probe of memory that is surely readable.
Mode CurrentMode() {
  static const Mode mode = [] {
    char from[8] = "probe";
    char to[8] = {};
    ssize_t n = KernelRead(to, from, sizeof from);
    if (n == static_cast<ssize_t>(sizeof from) && memcmp(from, to, sizeof from) == 0)
      return Mode::kKernel;
    return Mode::kDirect;
  }();
  return mode;
}

// Reads up to n bytes; returns how many could be read (stops at the first bad page).
size_t ReadSome(const char* p, char* buf, size_t n) {
  if (n == 0) return 0;
  if (CurrentMode() == Mode::kDirect) {
    memcpy(buf, p, n);
    return n;
  }
  ssize_t got = KernelRead(buf, p, n);
  return got < 0 ? 0 : static_cast<size_t>(got);
}

}  // namespace

bool qmsTPluginMemory::ReadText(const char* p, std::string& out, size_t maxLen) {
  out.clear();
  if (!p) return false;
  if (CurrentMode() == Mode::kDirect) {
    size_t len = strnlen(p, maxLen + 1);
    if (len > maxLen) return false;
    out.assign(p, len);
    return true;
  }
  // Page by page, so that a text ending just before an unreadable page is still found.
  char buf[4096];
  const size_t page = std::min(PageSize(), sizeof buf);
  for (;;) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    size_t chunk = page - (addr % page);
    const size_t got = ReadSome(p, buf, chunk);
    if (got == 0) return false;
    const void* nul = memchr(buf, 0, got);
    const size_t take = nul ? static_cast<size_t>(static_cast<const char*>(nul) - buf) : got;
    if (out.size() + take > maxLen) return false;
    out.append(buf, take);
    if (nul) return true;
    if (got < chunk) return false;
    p += got;
  }
}

bool qmsTPluginMemory::Read(const void* p, size_t n, std::string& out) {
  if (n == 0) return true;
  if (!p) return false;
  const size_t start = out.size();
  out.resize(start + n);
  if (CurrentMode() == Mode::kDirect) {
    memcpy(out.data() + start, p, n);
    return true;
  }
  const size_t got = ReadSome(static_cast<const char*>(p), out.data() + start, n);
  out.resize(start + got);
  return got == n;
}

bool qmsTPluginMemory::Write(void* p, const void* data, size_t n) {
  if (n == 0) return true;
  if (!p) return false;
  if (CurrentMode() == Mode::kDirect) {
    memcpy(p, data, n);
    return true;
  }
  ssize_t put = KernelWrite(p, data, n);
  return put == static_cast<ssize_t>(n);
}
