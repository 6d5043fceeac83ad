// qmsTLoginThrottle: failed logins counted per client address, for every service of one
// group, to slow down password guessing and account discovery.
//
// Every failure (wrong password, unknown account, wrong admin digest) is answered only after
// a wait. The first kFreeFailures failures of an address wait the base delay; each further
// one waits twice as long as the one before, up to kMaxDelayMs. From the first longer wait
// on, the address is held back until that wait is over: attempts from it in that time are
// refused without their password being checked, so parallel connections gain nothing.
// A successful login clears the count of an address that has not been held back; once held
// back, an address keeps its count (so a client with one valid account cannot clear it
// between guesses) until kForgetAfter has passed without a failure. At most kMaxAddresses
// addresses are tracked; the one whose last failure is the oldest makes room for a new one.
//
// Thread safety: all members may be called from any session thread at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class qmsTLoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  static constexpr int kFreeFailures = 5;
  static constexpr int kMaxDelayMs = 60000;
  static constexpr size_t kMaxAddresses = 4096;
  static constexpr std::chrono::minutes kForgetAfter{15};

  // What a failure leads to: the wait before the refusal, the address's failure count, and
  // whether this failure is the one that starts holding the address back.
  struct Failure {
    int delayMs = 0;
    int failures = 0;
    bool heldBackNow = false;
  };

  // now: the clock, the steady clock unless a test gives its own.
  explicit qmsTLoginThrottle(Now now = {});

  // The wait after the failures-th failure in a row (counted from 1) of one address.
  static int DelayFor(int failures, int baseMs);

  // True while the address is held back: refuse the attempt without checking it.
  bool HeldBack(const std::string& address);
  // Counts a failure of the address and tells how long to wait before answering.
  Failure Failed(const std::string& address, int baseMs);
  // A successful login: the address starts afresh unless it has been held back.
  void Succeeded(const std::string& address);

  // The address's current failure count (0 when not tracked); the number tracked.
  int Failures(const std::string& address);
  size_t Size();

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
    Clock::time_point heldUntil;
  };
  using Map = std::map<std::string, Entry>;

  // The address's live entry, or end() once it is unknown or forgotten (lock held).
  Map::iterator Live(const std::string& address, Clock::time_point now);
  void MakeRoom(Clock::time_point now);

  Now now_;
  std::mutex mutex_;
  Map entries_;
};

// Waits ms milliseconds, or less when cancel becomes true (checked every 50 ms).
void qmsWaitUnless(int ms, const std::atomic<bool>* cancel);
