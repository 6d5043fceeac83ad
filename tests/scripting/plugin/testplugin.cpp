// A plug-in for the scripting tests: each entry exercises one part of the interface and
// reports what it saw through its output text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "qmsplugin.h"

namespace {

std::string Args(qmsHookInfo* info) {
  auto* data = static_cast<qmsCallData*>(info->calldata);
  return data && data->arguments ? data->arguments : "";
}

void Output(qmsHookInfo* info, const std::string& text) {
  info->callbacks->qmsSetValue(info, QMS_VALUE_OUTPUT, nullptr, text.c_str());
}

int* volatile g_nowhere = nullptr;

// One page that is mapped but cannot be written, and one address that is not mapped.
char* ReadOnlyPage() {
  static char* page = [] {
    void* p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
  }();
  return page;
}
char* const kUnmapped = reinterpret_cast<char*>(16);

}  // namespace

extern "C" {

// Output set twice: only the second text counts; the record shows the current copy.
QMS_PLUGIN_EXPORT int32_t SetTwice(qmsHookInfo* info) {
  Output(info, "first");
  auto* data = static_cast<qmsCallData*>(info->calldata);
  std::string seen = data->output ? data->output : "(null)";
  Output(info, "second after " + seen);
  return 1;
}

// "result output": returns the number, sets the rest as output (none when no rest).
QMS_PLUGIN_EXPORT int32_t Answer(qmsHookInfo* info) {
  std::string a = Args(info);
  size_t blank = a.find(' ');
  if (blank != std::string::npos) Output(info, a.substr(blank + 1));
  return std::atoi(a.c_str());
}

QMS_PLUGIN_EXPORT int32_t SessionVars(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  int a = cb->qmsSetValue(info, QMS_VALUE_SESSION, "session.colour", "blue");
  int b = cb->qmsSetValue(info, QMS_VALUE_SESSION, "colour", "red");
  int c = cb->qmsSetValue(info, QMS_VALUE_SESSION, "SESSION.Shape", "round");
  int d = cb->qmsSetValue(info, 7, "session.x", "y");
  Output(info, std::to_string(a) + std::to_string(b) + std::to_string(c) + std::to_string(d));
  return 1;
}

// "size name": reads the variable into a buffer of size + 1 bytes followed by guard bytes.
QMS_PLUGIN_EXPORT int32_t GetSized(qmsHookInfo* info) {
  std::string a = Args(info);
  int size = std::atoi(a.c_str());
  std::string name = a.substr(a.find(' ') + 1);
  char buf[300];
  memset(buf, '#', sizeof buf);
  int ok = info->callbacks->qmsGetValue(info, QMS_VALUE_SESSION, name.c_str(), buf, size);
  size_t len = strnlen(buf, sizeof buf);
  std::string got = len < sizeof buf ? std::string(buf, len) : "(unterminated)";
  // Every byte after the terminating null must be untouched.
  bool guard = true;
  for (size_t i = len + 1; i < sizeof buf; ++i) guard = guard && buf[i] == '#';
  if (!ok) got = buf[0] == '#' ? "(unchanged)" : "(changed)";
  Output(info, std::to_string(ok) + "|" + got + "|" + (guard ? "guard" : "overrun"));
  return 1;
}

QMS_PLUGIN_EXPORT int32_t Throw(qmsHookInfo* info) {
  Output(info, "partial");
  throw std::runtime_error("plug-in failure");
}

QMS_PLUGIN_EXPORT __attribute__((noinline, no_sanitize("address", "undefined"))) int32_t Fault(
    qmsHookInfo*) {
  *g_nowhere = 1;
  return 0;
}

// Every callback handed pointers it cannot use; each must answer 0 and say so.
QMS_PLUGIN_EXPORT int32_t BadPointers(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  char buf[16];
  std::string r;
  r += std::to_string(cb->qmsGetValue(info, QMS_VALUE_SESSION, kUnmapped, buf, 8));
  r += std::to_string(cb->qmsGetValue(info, QMS_VALUE_SESSION, "remoteip", ReadOnlyPage(), 8));
  r += std::to_string(cb->qmsGetValue(info, QMS_VALUE_SESSION, "remoteip", nullptr, 8));
  r += std::to_string(cb->qmsSetValue(info, QMS_VALUE_OUTPUT, nullptr, kUnmapped));
  r += std::to_string(cb->qmsSetValue(info, QMS_VALUE_SESSION, "session.a", nullptr));
  r += std::to_string(cb->qmsSend(info, kUnmapped, 10));
  r += std::to_string(cb->qmsSend(info, "x", -1));
  r += std::to_string(cb->qmsLog(info, 0, 0, kUnmapped));
  // A text that runs into an unmapped page without its null byte.
  char* page = static_cast<char*>(
      mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (page != MAP_FAILED) {
    munmap(page + 4096, 4096);
    memset(page, 'a', 4096);
    r += std::to_string(cb->qmsLog(info, 0, 0, page + 4000));
    memcpy(page + 4090, "ok\0", 3);
    r += std::to_string(cb->qmsLog(info, 0, 0, page + 4088));
    munmap(page, 4096);
  }
  Output(info, r);
  return 1;
}

// The callbacks refuse calls from another thread and records other than the call's own.
QMS_PLUGIN_EXPORT int32_t ForeignThread(qmsHookInfo* info) {
  int fromThread = -1;
  std::thread([&] {
    fromThread = info->callbacks->qmsLog(info, 0, 0, "from another thread");
  }).join();
  qmsHookInfo copy = *info;  // a copy of the record is not the record
  int fromCopy = info->callbacks->qmsLog(&copy, 0, 0, "from a copy");
  Output(info, std::to_string(fromThread) + std::to_string(fromCopy));
  return 1;
}

// "category text": writes text to the session's log; output "1" when accepted.
QMS_PLUGIN_EXPORT int32_t Log(qmsHookInfo* info) {
  std::string a = Args(info);
  int category = std::atoi(a.c_str());
  std::string text = a.substr(a.find(' ') + 1);
  Output(info, std::to_string(info->callbacks->qmsLog(info, category, 0, text.c_str())));
  return 0;
}

// Sends the arguments with CR LF as raw data; goes on.
QMS_PLUGIN_EXPORT int32_t Send(qmsHookInfo* info) {
  std::string line = Args(info) + "\r\n";
  info->callbacks->qmsSend(info, line.data(), static_cast<int32_t>(line.size()));
  return 0;
}

// The session's socket handle and the record's fixed fields, after a pause, so that
// concurrent calls overlap.
QMS_PLUGIN_EXPORT int32_t Whoami(qmsHookInfo* info) {
  char sock[32];
  usleep(20000);
  if (!info->callbacks->qmsGetValue(info, QMS_VALUE_SESSION, "sock", sock, sizeof sock - 1))
    strcpy(sock, "?");
  Output(info, std::string(sock) + "|" + info->product + "|" + info->build + "|" +
                   std::to_string(info->reserved) + "|" +
                   (info->callbacks->reserved3 ? "slot3" : "null"));
  return 1;
}

QMS_PLUGIN_EXPORT int32_t qmsHttpRequest(qmsHookInfo* info) {
  static const char kReply[] = "HTTP/1.0 200 OK\r\n\r\nfrom plug-in\r\n";
  return info->callbacks->qmsSend(info, kReply, sizeof kReply - 1);
}

}  // extern "C"
