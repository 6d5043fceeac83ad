#include "server/scripting/plugin.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "server/core/session.h"
#include "server/scripting/pluginmemory.h"
#include "toolbox/names.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/socket.h"
#include "toolbox/trace.h"

namespace {

// Raised inside a callback when the plug-in's memory cannot be read or written; handled
// like any other exception there.
struct PluginFault {};

// Data sent by qmsSend goes out in pieces of this size.
constexpr size_t kSendPiece = 64 * 1024;
// Names and texts shown in a report line are cut to this length.
constexpr size_t kReportTextMax = 255;

// One running plug-in call. Calls on a thread form a stack (innermost first); a callback
// only accepts a record found there, so a stale record, one from another thread or a
// stray pointer is refused without being read.
struct CallState {
  const qmsHookInfo* record = nullptr;
  qmsTSession* session = nullptr;
  qmsCallData* data = nullptr;
  std::string output;
  bool outputSet = false;
  char* outputCopy = nullptr;  // the copy data->output shows; the server's memory
  CallState* previous = nullptr;
};

thread_local CallState* t_calls = nullptr;

class CallScope {
 public:
  CallScope(const qmsHookInfo* record, qmsTSession* session, qmsCallData* data) {
    state_.record = record;
    state_.session = session;
    state_.data = data;
    state_.previous = t_calls;
    t_calls = &state_;
  }
  ~CallScope() {
    t_calls = state_.previous;
    if (state_.data) state_.data->output = nullptr;
    free(state_.outputCopy);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  CallState& State() { return state_; }

 private:
  CallState state_;
};

CallState* FindCall(const qmsHookInfo* info) {
  for (CallState* s = t_calls; s; s = s->previous)
    if (s->record == info) return s;
  return nullptr;
}

std::string PluginText(const char* p) {
  std::string s;
  if (!qmsTPluginMemory::ReadText(p, s)) throw PluginFault{};
  return s;
}

// As much of a plug-in's text as can be shown in a report line.
std::string ReportText(const char* p) {
  std::string s;
  if (!p) return s;
  if (qmsTPluginMemory::ReadText(p, s, kReportTextMax)) return s;
  // Longer than the cut (or unreadable): show its readable beginning.
  s.clear();
  qmsTPluginMemory::Read(p, kReportTextMax, s);
  s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
  return s;
}

std::string Cut(const std::string& s) { return s.substr(0, kReportTextMax); }

void Report(const std::string& call) {
  // Reporting must not fail in turn; a line that cannot be built is dropped.
  try {
    qmsConLog("Plug-in call back exception - " + call);
  } catch (...) {
  }
}

int32_t GetValueCallback(qmsHookInfo* info, int32_t kind, const char* name, char* buffer,
                         int32_t size) {
  jvbTraceScope trace("qmsGetValue");
  std::string shownName;
  try {
    CallState* call = FindCall(info);
    if (!call || !call->session || kind != 1 || size < 0) return 0;
    shownName = PluginText(name);
    std::string value;
    if (!call->session->GetVars(shownName, value)) return 0;
    // At most size characters and the terminating null (the header's contract).
    value.resize(std::min(value.size(), static_cast<size_t>(size)));
    value.push_back('\0');
    if (!qmsTPluginMemory::Write(buffer, value.data(), value.size())) throw PluginFault{};
    return 1;
  } catch (...) {
    if (shownName.empty()) shownName = ReportText(name);
    Report("qmsGetValue(, " + std::to_string(kind) + ", '" + Cut(shownName) + "',, " +
           std::to_string(size) + ")");
    return 0;
  }
}

int32_t SetValueCallback(qmsHookInfo* info, int32_t kind, const char* name, const char* value) {
  jvbTraceScope trace("qmsSetValue");
  try {
    CallState* call = FindCall(info);
    if (!call) return 0;
    if (kind == 0) {
      std::string text = PluginText(value);
      char* copy = static_cast<char*>(malloc(text.size() + 1));
      if (!copy) throw std::bad_alloc();
      memcpy(copy, text.c_str(), text.size() + 1);
      free(call->outputCopy);
      call->outputCopy = copy;
      call->output = std::move(text);
      call->outputSet = true;
      if (call->data) call->data->output = copy;
      return 1;
    }
    if (kind != 1 || !call->session) return 0;
    std::string variable = PluginText(name);
    if (variable.size() < 8 || !jvb::EqualNoCase(variable.substr(0, 8), "session.")) return 0;
    call->session->Variables().AddValue(variable, PluginText(value));
    return 1;
  } catch (...) {
    Report("qmsSetValue(, " + std::to_string(kind) + ", '" + ReportText(name) + "', '" +
           ReportText(value) + "')");
    return 0;
  }
}

int32_t SendCallback(qmsHookInfo* info, const void* data, int32_t length) {
  jvbTraceScope trace("qmsSend");
  try {
    CallState* call = FindCall(info);
    if (!call || !call->session || length < 0) return 0;
    jvbTSocket* socket = call->session->Socket();
    if (!socket) return 0;
    // The session's own thread is the one sending here, as for its other output.
    const char* p = static_cast<const char*>(data);
    size_t left = static_cast<size_t>(length);
    std::string piece;
    while (left > 0) {
      const size_t n = std::min(left, kSendPiece);
      piece.clear();
      if (!qmsTPluginMemory::Read(p, n, piece)) throw PluginFault{};
      if (!socket->Send(piece)) return 0;
      p += n;
      left -= n;
    }
    return 1;
  } catch (...) {
    char b[96];
    snprintf(b, sizeof b, "qmsSend(, %p, %d)", data, static_cast<int>(length));
    Report(b);
    return 0;
  }
}

int32_t LogCallback(qmsHookInfo* info, int32_t category, int32_t flags, const char* text) {
  jvbTraceScope trace("qmsLog");
  try {
    CallState* call = FindCall(info);
    if (!call || !call->session) return 0;
    // flags is reserved: the service log knows categories only.
    call->session->Log(PluginText(text), category);
    return 1;
  } catch (...) {
    Report("qmsLog(, " + std::to_string(category) + ", " + std::to_string(flags) + ", " +
           ReportText(text) + ")");
    return 0;
  }
}

const qmsCallbacks kCallbacks = {
    GetValueCallback, SetValueCallback, SendCallback, nullptr, LogCallback,
};

// Candidate file names for dlopen, in the order the loader of the original platform used.
std::vector<std::string> Candidates(const std::string& library) {
  const std::string name = jvb::NativePath(library);
  if (name.find('/') != std::string::npos) return {name};
  std::vector<std::string> out;
  const std::string beside = jvb::ProgramDirectory() + "/" + name;
  if (jvb::FileExists(beside)) out.push_back(beside);
  if (jvb::FileExists(name)) out.push_back("./" + name);
  out.push_back(name);  // the loader's own search
  return out;
}

// Calls an entry with everything it may throw caught. A thread being torn down by the
// runtime (forced unwinding) must be let through.
template <typename OnException>
bool Invoke(qmsHookEntry entry, qmsHookInfo* info, int32_t& result, OnException report) {
  try {
    result = entry(info);
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    report();
    return false;
  }
}

}  // namespace

namespace qmsHook {

const qmsCallbacks* Callbacks() { return &kCallbacks; }

void SetHookInfo(qmsTSession* session, qmsHookInfo& info, qmsCallData* callData) {
  jvbTraceScope trace("SetHookInfo");
  info.product = qms::kProductTitle;
  info.build = qms::kBuildId;
  info.reserved = 0;
  info.session = session;
  info.callbacks = &kCallbacks;
  info.calldata = callData;
}

bool LoadHook(const std::string& library, void*& handle) {
  jvbTraceScope trace("LoadHook");
  handle = nullptr;
  for (const std::string& file : Candidates(library)) {
    handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) return true;
    const char* why = dlerror();
    jvbTrace("dlopen " + file + ": " + (why ? why : "?"));
  }
  qmsConLog("Plug-in load failed - " + library);
  return false;
}

bool GetHookAddress(void* handle, const std::string& entry, qmsHookEntry& address) {
  jvbTraceScope trace("GetHookAddress");
  address = nullptr;
  if (handle && !entry.empty()) {
    dlerror();
    address = reinterpret_cast<qmsHookEntry>(dlsym(handle, entry.c_str()));
  }
  if (address) return true;
  qmsConLog("Plug-in procedure not found - " + entry);
  return false;
}

void FreeHook(void* /*handle*/) {
  // Unloading could pull code from under another session's call, or from under memory a
  // plug-in still refers to; the loader only counts the library again on the next load.
  jvbTraceScope trace("FreeHook");
}

int CallGeneralHook(std::string& output, qmsTSession& session, const std::string& arguments,
                    const std::string& entry, const std::string& library) {
  jvbTraceScope trace("CallGeneralHook");
  const std::string args = arguments;  // the plug-in gets its own stable copy
  qmsCallData data{args.c_str(), nullptr};
  qmsHookInfo info;
  SetHookInfo(&session, info, &data);
  void* handle = nullptr;
  if (!LoadHook(library, handle)) return 0;
  qmsHookEntry address = nullptr;
  if (!GetHookAddress(handle, entry, address)) {
    FreeHook(handle);
    return 0;
  }
  int32_t result = 0;
  bool completed;
  {
    CallScope scope(&info, &session, &data);
    completed = Invoke(address, &info, result,
                       [&] { qmsConLog("Plug-in call exception - " + entry + "@" + library); });
    if (completed && scope.State().outputSet) output = scope.State().output;
  }
  FreeHook(handle);
  return completed ? result : 0;
}

bool CallHttpRequest(qmsTSession& session, const std::string& library) {
  jvbTraceScope trace("CallHttpRequest");
  // The entry gets a call data record it does not use; an output it sets is dropped.
  qmsCallData data{"", nullptr};
  qmsHookInfo info;
  SetHookInfo(&session, info, &data);
  void* handle = nullptr;
  if (!LoadHook(library, handle)) return false;
  qmsHookEntry address = nullptr;
  if (!GetHookAddress(handle, "qmsHttpRequest", address)) {
    FreeHook(handle);
    return false;
  }
  int32_t result = 0;
  bool completed;
  {
    CallScope scope(&info, &session, &data);
    completed = Invoke(address, &info, result,
                       [&] { qmsConLog("Plug-in call exception - HttpRequest@" + library); });
  }
  FreeHook(handle);
  return completed && result != 0;
}

}  // namespace qmsHook
