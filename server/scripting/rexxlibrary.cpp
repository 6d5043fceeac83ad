#include "server/scripting/rexxlibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "server/scripting/rexxfunc.h"
#include "toolbox/names.h"
#include "toolbox/trace.h"

namespace {

using RexxStartProc = APIRET (*)(LONG, PRXSTRING, PCSZ, PRXSTRING, PCSZ, LONG, PRXSYSEXIT, PSHORT,
                                 PRXSTRING);
using RexxRegisterFunctionExeProc = APIRET (*)(PCSZ, RexxFunctionHandler*);
using RexxQueryFunctionProc = APIRET (*)(PCSZ);
using RexxFreeMemoryProc = APIRET (*)(PVOID);
using RexxAllocateMemoryProc = PVOID (*)(ULONG);

// The four names scripts call; all of them reach qmsRexxFunc.
const char* const kFunctionNames[] = {"qmsCFG", "qmsLOG", "qmsSAY", "qmsVAR"};

template <typename T>
bool Symbol(void* handle, const char* name, T& out) {
  out = reinterpret_cast<T>(dlsym(handle, name));
  return out != nullptr;
}

bool SigpipeIgnored() {
  struct sigaction sa {};
  return sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN;
}

// The stop signals the interpreter takes over.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

struct qmsTRexxLibrary::Api {
  RexxStartProc start = nullptr;
  RexxRegisterFunctionExeProc registerFunction = nullptr;
  RexxQueryFunctionProc queryFunction = nullptr;
  RexxFreeMemoryProc freeMemory = nullptr;
  RexxAllocateMemoryProc allocateMemory = nullptr;
};

qmsTRexxLibrary& qmsTRexxLibrary::Instance() {
  static qmsTRexxLibrary library;
  return library;
}

std::string qmsTRexxLibrary::LibraryName() {
  const char* over = std::getenv("QMS_REXX_LIBRARY");
  return (over && *over) ? over : qms::kRexxLibrary;
}

void qmsTRexxLibrary::Load() {
  jvbTraceScope trace("qmsTRexxLibrary.Load");
  ignore_sigpipe_ = SigpipeIgnored();
  for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], nullptr, &saved_[i]);
  void* handle = dlopen(LibraryName().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    jvbTrace(std::string("REXX library not loaded: ") + (why ? why : "?"));
    return;
  }
  auto api = std::make_unique<Api>();
  if (!Symbol(handle, "RexxStart", api->start) ||
      !Symbol(handle, "RexxRegisterFunctionExe", api->registerFunction) ||
      !Symbol(handle, "RexxQueryFunction", api->queryFunction) ||
      !Symbol(handle, "RexxFreeMemory", api->freeMemory) ||
      !Symbol(handle, "RexxAllocateMemory", api->allocateMemory)) {
    // Another library under that name: no interpreter. It stays loaded, which is harmless.
    jvbTrace("REXX library lacks the SAA interface: " + LibraryName());
    return;
  }
  api_ = api.release();
}

bool qmsTRexxLibrary::Available() {
  static std::once_flag once;
  std::call_once(once, [this] { Load(); });
  return api_ != nullptr;
}

void* qmsTRexxLibrary::AllocateMemory(unsigned long size) {
  if (!Available()) return nullptr;
  return api_->allocateMemory(size);
}

bool qmsTRexxLibrary::RegisterFunctions() {
  // Registrations belong to the calling thread in this interpreter build, so a thread
  // that has not registered yet does it now; registering a name twice is harmless.
  bool ok = true;
  for (const char* name : kFunctionNames) {
    if (api_->queryFunction(name) != 0 && api_->registerFunction(name, qmsRexxFunc) != 0)
      ok = false;
  }
  return ok;
}

bool qmsTRexxLibrary::Run(const std::string& script, const std::string& argument, Result& result) {
  jvbTraceScope trace("qmsTRexxLibrary.Run");
  if (!Available()) return false;
  if (!RegisterFunctions()) jvbTrace("REXX functions not registered on this thread");
  std::string arg = argument;  // the interface takes a writable pointer
  RXSTRING argv;
  argv.strptr = arg.data();
  argv.strlength = arg.size();
  RXSTRING returned;
  returned.strptr = nullptr;
  returned.strlength = 0;
  SHORT rc = 0;
  APIRET start =
      api_->start(1, &argv, script.c_str(), nullptr, "CMD", RXCOMMAND, nullptr, &rc, &returned);
  // The interface's result type is unsigned; interpreter errors are its negative values.
  result.start = static_cast<long>(start);
  result.returnCode = rc;
  result.output.clear();
  if (returned.strptr) {
    result.output.assign(returned.strptr, returned.strlength);
    api_->freeMemory(returned.strptr);
  }
  RestoreSignals();
  return true;
}

void qmsTRexxLibrary::RestoreSignals() {
  if (ignore_sigpipe_ && !SigpipeIgnored()) signal(SIGPIPE, SIG_IGN);
  for (int i = 0; i < 3; ++i) {
    struct sigaction now {};
    if (sigaction(kStopSignals[i], nullptr, &now) != 0) continue;
    // sa_handler and sa_sigaction share their storage.
    if (now.sa_handler != saved_[i].sa_handler || now.sa_flags != saved_[i].sa_flags)
      sigaction(kStopSignals[i], &saved_[i], nullptr);
  }
}
