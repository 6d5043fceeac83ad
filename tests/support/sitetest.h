// What every test of a running site shares: file helpers that work relative to the site,
// free loopback ports, polling instead of sleeping, and ServiceRunner, which runs the
// services of a test's groups the way the server's main loop does (a Monitor pass every few
// milliseconds) and takes them down again in the server's order.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/service.h"
#include "tests/toolbox/tempdir.h"

namespace sitetest {

inline constexpr uint32_t kLoopback = 0x7F000001;
// Upper bound for anything the server should do at once.
inline constexpr int kWaitMs = 15000;

inline void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls cond every 10 ms until it holds or ms have passed.
template <class F>
bool WaitFor(F cond, int ms = kWaitMs) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

// Writes a file, creating its folders.
inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// True when the name exists (a dangling link counts).
inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Plain names in a directory, sorted (dot files included); empty when it cannot be read.
inline std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The names of Names(dir) that end in ext.
inline std::vector<std::string> NamesWith(const std::string& dir, const std::string& ext) {
  std::vector<std::string> out;
  for (const auto& f : Names(dir))
    if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
      out.push_back(f);
  return out;
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The source tree, found from this file's place.
inline std::string SourceDir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

// A file of the shipped installation data, e.g. Shipped("messages/smtp/smtp.res").
inline std::string Shipped(const std::string& path) {
  return ReadFile(SourceDir() + "/documentation/" + path);
}

// A port on 127.0.0.1 that was free a moment ago, taken below the range the kernel hands
// out to client sockets (so no outgoing connection of any test can occupy it before the
// service binds it), and never the same one twice in this process.
inline uint16_t FreePort() {
  static std::mutex lock;
  static std::set<int> given;
  static std::mt19937 random(
      static_cast<unsigned>(getpid()) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> g(lock);
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low;
  const int top = std::max(low - 1, 12000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int port = std::uniform_int_distribution<int>(10000, top)(random);
    if (given.count(port)) continue;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    if (!free) continue;
    given.insert(port);
    return static_cast<uint16_t>(port);
  }
  return 0;
}

// Runs the services of an application's groups as the main loop would. Wait() blocks until
// every service of the groups listens with a filled pool; Stop() (also run by the
// destructor) suspends them all at once, ends their sessions, stops the Monitor passes and
// waits for the service threads. Owned by the test fixture, stopped before the application
// is destroyed.
class ServiceRunner {
 public:
  ServiceRunner() = default;
  ~ServiceRunner() { Stop(); }
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  // True when each group runs `count` services (0: at least one), all listening.
  bool Wait(const std::vector<qmsTGroup*>& groups, size_t count = 0) {
    groups_ = groups;
    return WaitFor([&] {
      for (qmsTGroup* g : groups_) {
        auto s = g->Services();
        if (s.empty() || (count && s.size() != count)) return false;
        for (const auto& x : s)
          if (x->state != ssRunning || x->PoolCount() == 0) return false;
      }
      return true;
    });
  }

  // Starts the Monitor passes (every periodMs).
  void Monitor(int periodMs = 10) {
    stop_ = false;
    monitor_ = std::thread([this, periodMs] {
      while (!stop_) {
        for (qmsTGroup* g : groups_)
          for (const auto& s : g->Services()) s->Monitor();
        Sleep(periodMs);
      }
    });
  }

  void Stop() {
    std::vector<Service> services;
    for (qmsTGroup* g : groups_)
      for (const auto& s : g->Services()) services.push_back(s);
    // All at once: each waits for its accept loop to notice.
    auto each = [&](auto f) {
      std::vector<std::thread> threads;
      for (auto* s : services) threads.emplace_back([s, f] { f(s); });
      for (auto& t : threads) t.join();
    };
    each([](const Service& s) {
      s->SuspendService();
      s->ReleasePool();
      s->KillSessions();
      WaitFor([&] { return s->ActiveCount() == 0; });
    });
    stop_ = true;
    if (monitor_.joinable()) monitor_.join();
    each([](const Service& s) { s->StopService(); });
    for (qmsTGroup* g : groups_) WaitFor([&] { return g->ServiceThreads() == 0; });
    groups_.clear();
  }

 private:
  // What the group's list holds for a service.
  using Service = std::decay_t<decltype(std::declval<qmsTGroup&>().Services())>::value_type;
  std::vector<qmsTGroup*> groups_;
  std::thread monitor_;
  std::atomic<bool> stop_{false};
};

}  // namespace sitetest
