// qmsTService: one listening TCP endpoint of one protocol inside one group. Runs its accept
// loop on a thread of its own, keeps a pool of pre-started session threads, hands each
// connection to one pooled session, and is watched by the main loop through Monitor.
//
// Locks: the pool lock guards pool_ and pending_; the inherited lock guards the active
// list; Monitor holds it while walking the list. State is an atomic polled every 10 ms.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/class.h"
#include "server/core/metrics.h"
#include "server/core/servicecache.h"
#include "toolbox/semaphore.h"
#include "toolbox/socket.h"
#include "toolbox/timer.h"
#include "toolbox/tls.h"

class qmsTGroup;
class qmsTSession;

enum qmsTProtocol { prADMIN = 0, prFTP = 1, prHTTP = 2, prIMAP4 = 3, prPOP3 = 4, prSMTP = 5 };

struct qmsTProtocolInfo {
  const char* name;      // as printed
  const char* setting;   // value of the Protocol key
  int port;
  const char* messages;  // message file, nullptr for ADMIN
};
const qmsTProtocolInfo& qmsProtocolInfo(int protocol);

// TLS of a service (key TLSMode): none, STARTTLS offered, STARTTLS required before a
// login, or TLS from the first byte (implicit).
enum class qmsTTlsMode { kOff, kOffer, kRequire, kImplicit };

enum qmsTServiceState {
  ssAllocating = 0,
  ssCreated = 1,
  ssRunning = 2,
  ssSuspendRequested = 3,
  ssSuspended = 4,
  ssStopRequested = 5,
  ssLeaving = 6,
  ssReleased = 7,
};

class qmsTService : public qmsTClass {
 public:
  qmsTService(qmsTGroup* group, const std::string& section);
  ~qmsTService() override;

  void AllocateResources() override;
  void FreeResources() override;

  void RunService();
  // Both wait a bounded time (kStopWaitMs); false when the service did not get there.
  bool SuspendService();
  bool StopService();
  void Monitor();
  void Log(const std::string& text) { Logln(text); }
  bool FillPool();
  // Session-thread bookkeeping (ClientThread).
  void PendingFailed() { --pending_; }
  void SessionThreadEnded();
  // Blocks the thread of a finished session until Monitor has released it.
  void WaitReleased(qmsTSession* session);

  // Pool handling for sessions (WaitInPool) and shutdown.
  void EnterPool(qmsTSession* session);
  int ReleasePool();  // terminates and wakes every pooled session; returns how many
  void KillSessions();
  int ActiveCount();
  int PoolCount();
  std::vector<std::string> ActiveKeys();  // sorted as the active list
  // Calls f with the first active session whose key is key, under the session-list lock
  // (the session cannot be released meanwhile); false when there is none. f must not
  // block on anything but the session's own send.
  bool WithSession(const std::string& key, const std::function<void(qmsTSession&)>& f);

  std::string Prefix() const;  // "%s service %s/%s"
  qmsTGroup* Group() const { return group_; }
  const std::string& Section() const { return section_; }
  int Protocol() const { return protocol_; }
  bool ProtocolValid() const { return protocol_valid_; }
  jvbTTextConfig* Messages() const { return messages_.get(); }
  qmsTServiceCache& Cache() { return cache_; }
  int SendBufferSize() const { return send_buffer_size_; }
  uint32_t Address() const { return address_; }
  uint16_t Port() const { return port_; }

  // The TLS mode in effect (kOff when the service has no usable certificate) and the
  // context for a new connection (loaded again when the files changed; null when none).
  qmsTTlsMode TlsMode() const { return tls_mode_; }
  jvb::TlsContext TlsContext();

  qmsTMetrics& Metrics() { return metrics_; }

  std::atomic<int> state{ssAllocating};
  std::atomic<bool> waitingForConnection{false};

  // Settings (limits applied).
  int32_t ClientStack = 128 * 1024;
  int32_t ClientPool = 4;
  int32_t QueueScanFreq = 60;
  int32_t PoolFillFreq = 250;
  int32_t ListenBacklog = 16;  // connections the kernel queues; capped by somaxconn

 private:
  // What ended one wait of the listening loop: nothing (the pool was topped up), the
  // listener (a connection, or the service is stopping), or a due queue scan.
  enum class Wake { kIdle, kListener, kQueueScan };

  // Binds the listener, retrying with a growing pause; false when it never bound or a
  // stop was asked for meanwhile.
  bool BindListener();
  bool StartListening();  // false (listener closed) when it cannot listen
  void OpenLogs();        // the service log and the extended log
  // The loop that hands connections and queue scans to sessions until the service stops.
  void ServeConnections();
  Wake WaitForWork(int64_t queueScanStart);
  // Accepts one connection; false (logged, with a pause after repeated failures) when
  // the accept failed.
  bool AcceptConnection(std::unique_ptr<jvbTSocket>& client, int& acceptErrors);
  // Hands the client (none for a queue scan) to a pooled session, or closes it.
  void StartSession(std::unique_ptr<jvbTSocket> client);
  void ReadSettings();
  // Reads the TLS keys and loads (or first makes) the certificate; false when TLS is
  // required and not available, so the service must not start.
  bool SetUpTls();
  bool TakeSession(qmsTSession** session);
  void HandOver(qmsTSession* session, std::unique_ptr<jvbTSocket> client);

  qmsTGroup* group_;
  std::string section_;
  qmsTServiceCache cache_;
  int send_buffer_size_ = 65536;
  std::mutex pool_lock_;
  std::vector<qmsTSession*> pool_;
  jvbTSemaphore pool_event_{jvbTSemaphore::kEvent, 0x7FFFFFFF};
  std::atomic<int> pending_{0};
  std::atomic<int> threads_{0};  // session threads alive; the service outlives them
  int protocol_ = prADMIN;
  bool protocol_valid_ = false;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  jvbTSocket listener_;
  qmsTTlsMode tls_mode_ = qmsTTlsMode::kOff;
  jvb::TlsServerContext tls_;
  std::unique_ptr<jvbTTextConfig> messages_;
  // Active sessions keyed by socket handle text ("-1" for a queue scan).
  std::multimap<std::string, qmsTSession*> active_;
  std::atomic<int> active_count_{0};  // size of active_, readable without its lock
  std::condition_variable_any released_event_;
  qmsTMetrics metrics_;  // with lock_: Monitor released sessions
};

// Longest wait for one step of stopping a service.
inline constexpr int kStopWaitMs = 30000;

// Polls pred every 10 ms until it holds or ms have passed; returns its last value.
bool qmsWaitUntil(const std::function<bool()>& pred, int ms = kStopWaitMs);

// Starts the service thread of one section of a group (stack 128 KiB).
bool qmsServiceStart(qmsTGroup* group, const std::string& section);
