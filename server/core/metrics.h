// qmsTMetrics: the running counters of one service, bumped on the sessions' threads without
// a lock (relaxed atomic increments: each counter is independent, readers only need a
// recent value) and read by the metrics page. They live as long as the service; a service
// started again begins at zero, which scrapers take as a counter reset.
//
// qmsTExposition writes the text exposition format (version 0.0.4) of the metrics page:
// one HELP and one TYPE line per family, then its samples with escaped label values.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum qmsTCounter : int {
  mcAccepted = 0,  // connections greeted
  mcRefused,       // connections turned away (address rules, hooks, no session free)
  mcBytesIn,       // bytes received from clients (control and data connections)
  mcBytesOut,      // bytes sent to clients
  mcLoginsOk,
  mcLoginsFailed,
  mcMailReceived,     // SMTP: messages accepted from clients
  mcMailQueued,       // SMTP: messages put into the queue (received ones and reports)
  mcDeliveredLocal,   // SMTP: copies stored in local mailboxes
  mcDeliveredRemote,  // SMTP: transactions accepted by remote servers
  mcDeferred,         // SMTP: delivery passes that left a message for a later try
  mcExpired,          // SMTP: messages given up after their maximum age
  mcCounterCount,
};

class qmsTMetrics {
 public:
  void Add(qmsTCounter c, uint64_t n = 1) { v_[c].fetch_add(n, std::memory_order_relaxed); }
  uint64_t Get(qmsTCounter c) const { return v_[c].load(std::memory_order_relaxed); }
  // The cell itself, for code that counts without knowing the service (socket byte counts).
  std::atomic<uint64_t>* Cell(qmsTCounter c) { return &v_[c]; }
  std::array<uint64_t, mcCounterCount> Snapshot() const {
    std::array<uint64_t, mcCounterCount> out{};
    for (int i = 0; i < mcCounterCount; ++i) out[i] = Get(static_cast<qmsTCounter>(i));
    return out;
  }

 private:
  std::array<std::atomic<uint64_t>, mcCounterCount> v_{};
};

class qmsTExposition {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;
  // Starts a family; its samples must follow before the next family starts.
  void Family(const std::string& name, const char* type, const std::string& help);
  void Sample(const std::string& name, const Labels& labels, double value);
  const std::string& Text() const { return text_; }

  // Label values: backslash, double quote and line feed escaped.
  static std::string EscapeLabel(const std::string& value);
  // HELP text: backslash and line feed escaped.
  static std::string EscapeHelp(const std::string& text);
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

 private:
  std::string text_;
};
