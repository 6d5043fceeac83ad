#include "server/users/externalauth.h"

#include <dlfcn.h>

#include "server/users/tracecall.h"
#include "toolbox/platform.h"

namespace {

using AuthEntry = int32_t (*)(const char*, const char*);

// Owns one dlopen handle; closed when it goes out of scope.
class Library {
 public:
  explicit Library(const std::string& name)
      : handle_(::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) {
      const char* why = ::dlerror();
      jvbTrace(std::string("qmsAuthenticate: ") + (why ? why : "load failed"));
    }
  }
  ~Library() {
    if (handle_) ::dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  AuthEntry Entry(const char* name) const {
    ::dlerror();
    void* sym = ::dlsym(handle_, name);
    // POSIX guarantees that an object pointer from dlsym converts to a function pointer.
    return reinterpret_cast<AuthEntry>(sym);
  }

 private:
  void* handle_;
};

std::string ResolveModule(const std::string& module) {
  std::string name = jvb::NativePath(module);
  if (name.find('/') != std::string::npos) return name;
  const std::string local = "binaries/" + name;
  if (jvb::FileExists(local)) return "./" + local;
  return name;  // the loader's search: LD_LIBRARY_PATH, ld.so.cache, default directories
}

}  // namespace

int32_t qmsAuthenticate(const std::string& module, const std::string& account,
                        const std::string& password) {
  qmsTTraceCall trace("qmsAuthenticate", jvbTraceValue::Str(module), jvbTraceValue::Str(account),
                      jvbTraceValue::Str("******"));
  // The module sees C strings: a NUL inside would hide the rest of the password from it.
  if (module.empty() || account.find('\0') != std::string::npos ||
      password.find('\0') != std::string::npos)
    return static_cast<int32_t>(trace.Int(-1));
  Library lib(ResolveModule(module));
  if (!lib.loaded()) return static_cast<int32_t>(trace.Int(-1));
  AuthEntry entry = lib.Entry(kQmsAuthEntry);
  if (!entry) return static_cast<int32_t>(trace.Int(-1));
  int32_t rc = -1;
  try {
    rc = entry(account.c_str(), password.c_str());
  } catch (...) {
    rc = -1;
  }
  return static_cast<int32_t>(trace.Int(rc));
}
