#include "server/core/service.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/session.h"
#include "server/core/sessionfactory.h"
#include "toolbox/netfile.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

const qmsTProtocolInfo kProtocols[] = {
    {"ADMIN", "", 4321, nullptr},
    {"FTP", "ftpd", 21, "messages/ftp/ftp.res"},
    {"HTTP", "httpd", 80, "messages/http/http.res"},
    {"IMAP4", "-imap4d-", 143, "messages/imap4/imap4.res"},
    {"POP3", "pop3d", 110, "messages/pop3/pop3.res"},
    {"SMTP", "smtpd", 25, "messages/smtp/smtp.res"},
};

// Thread stacks below this size are not safe with the resolver, PAM and the interpreter on
// the stack; the configured figure is kept for display.
constexpr size_t kMinStack = 256 * 1024;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Format(const char* fmt, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
  char buf[1024];
  snprintf(buf, sizeof buf, fmt, a.c_str(), b.c_str(), c.c_str());
  return buf;
}

bool StartThread(void* (*fn)(void*), void* arg, size_t stack, int* rc) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, std::max(stack, kMinStack));
  // Signals are taken by the server's signal thread only.
  sigset_t all, old;
  sigfillset(&all);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigdelset(&all, s);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  pthread_t t;
  *rc = pthread_create(&t, &attr, fn, arg);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  return *rc == 0;
}

struct ServiceStartRecord {
  qmsTGroup* group;
  std::string section;
};

void* ServiceThread(void* arg);
void* ClientThread(void* arg);

}  // namespace

bool qmsWaitUntil(const std::function<bool()>& pred, int ms) {
  for (int waited = 0;; waited += 10) {
    if (pred()) return true;
    if (waited >= ms) return false;
    Sleep(10);
  }
}

const qmsTProtocolInfo& qmsProtocolInfo(int protocol) {
  return kProtocols[(protocol >= 0 && protocol <= 5) ? protocol : 0];
}

// ---------------------------------------------------------------------------------------
// Service thread

bool qmsServiceStart(qmsTGroup* group, const std::string& section) {
  auto* rec = new ServiceStartRecord{group, section.substr(0, 255)};
  group->ServiceThreadStarted();
  int rc = 0;
  if (!StartThread(ServiceThread, rec, 128 * 1024, &rc)) {
    group->ServiceThreadEnded();
    delete rec;
    qmsLog("Unable to create service thread (rc=" + std::to_string(rc) + ")");
    return false;
  }
  return true;
}

namespace {

void* ServiceThread(void* arg) {
  std::unique_ptr<ServiceStartRecord> rec(static_cast<ServiceStartRecord*>(arg));
  qmsTGroup* group = rec->group;
  jvbTraceThreadStart();
  jvbGuardThread([&] {
    auto* service = new qmsTService(group, rec->section);
    service->AllocateResources();
    if (!group->AddService(service)) {
      qmsConLog(service->Prefix() + " already in list, not started");
      service->FreeResources();
      delete service;
      return;
    }
    service->RunService();
    if (!group->RemoveService(service)) qmsConLog(service->Prefix() + " not found in list");
    qmsConLog(service->Prefix() + " stopped");
    service->state = ssLeaving;
    while (service->state != ssReleased) Sleep(10);
    service->FreeResources();
    delete service;
  });
  jvbTraceThreadEnd();
  group->ServiceThreadEnded();
  return nullptr;
}

struct ClientStartRecord {
  qmsTService* service;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// qmsTService

qmsTService::qmsTService(qmsTGroup* group, const std::string& section)
    : group_(group), section_(section) {}

qmsTService::~qmsTService() = default;

std::string qmsTService::Prefix() const {
  return Format("%s service %s/%s", qmsProtocolInfo(protocol_).name, group_->Name(), section_);
}

void qmsTService::AllocateResources() {
  jvbTraceScope trace("qmsTService.AllocateResources");
  state = ssAllocating;
  qmsTClass::AllocateResources();
  jvbTTextConfig* cfg = group_->Config();
  if (group_->Name().empty() && section_ == "ADMIN") {
    protocol_ = prADMIN;
    protocol_valid_ = true;
  } else {
    std::string value;
    if (!cfg->ReadValue(section_, "Protocol", value)) {
      qmsConLog(Format("--- No protocol setting found for \"%s\"", section_));
    } else {
      std::string lower = jvb::AsciiLower(value);
      for (int p = 1; p <= 5; ++p)
        if (lower == kProtocols[p].setting) {
          protocol_ = p;
          protocol_valid_ = true;
        }
      if (!protocol_valid_)
        qmsConLog(Format("--- Unknown protocol selection \"%s\" for \"%s\"", value, section_));
    }
  }
  // A section that runs no known protocol must never fall back to administration sessions:
  // it has no password of its own, and anyone reaching it could steer the server.
  if (protocol_valid_ && !qmsFindSession(protocol_)) {
    qmsConLog(Format("--- Protocol \"%s\" of \"%s\" is not available in this server",
                     qmsProtocolInfo(protocol_).name, section_));
    protocol_valid_ = false;
  }
  std::string address;
  cfg->ReadString(address, section_, "Address");
  if (!address.empty() && !jvbTSocket::ParseDotted(address, &address_)) {
    qmsConLog(Format("--- Bad address setting found for \"%s\"", section_));
    address_ = 0;
  }
  std::string port;
  cfg->ReadString(port, section_, "Port");
  int32_t p = qmsProtocolInfo(protocol_).port;
  if (!port.empty()) cfg->ReadInteger(p, section_, "Port");
  port_ = static_cast<uint16_t>(p);
  if (protocol_ != prADMIN && qmsProtocolInfo(protocol_).messages) {
    messages_ = std::make_unique<jvbTTextConfig>(qmsProtocolInfo(protocol_).messages);
    // Read for every reply: an edit is picked up within a second, without a stat per reply.
    messages_->SetCheckInterval(1000);
  }
  char b[512];
  if (address_ == 0)
    snprintf(b, sizeof b, "%s created (any address:%d)", Prefix().c_str(), port_);
  else
    snprintf(b, sizeof b, "%s created (%s:%d)", Prefix().c_str(),
             jvbTSocket::Dotted(address_).c_str(), port_);
  qmsConLog(b);
  state = ssCreated;
}

void qmsTService::FreeResources() {
  listener_.Close();
  messages_.reset();
  CloseLogs();
  qmsTClass::FreeResources();
}

void qmsTService::ReadSettings() {
  jvbTTextConfig* cfg = group_->Config();
  auto clamp = [](int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); };
  int32_t stack = 128;
  cfg->ReadInteger(stack, section_, "ClientStack");
  ClientStack = clamp(stack, 16, 1024) * 1024;
  ClientPool = protocol_ == prHTTP ? 8 : (protocol_ == prADMIN ? 1 : 4);
  cfg->ReadInteger(ClientPool, section_, "ClientPool");
  ClientPool = clamp(ClientPool, 1, 99);
  QueueScanFreq = 60;
  cfg->ReadInteger(QueueScanFreq, section_, "QueueScanFreq");
  QueueScanFreq = clamp(QueueScanFreq, 30, 900);
  PoolFillFreq = 250;
  cfg->ReadInteger(PoolFillFreq, section_, "PoolFillFreq");
  PoolFillFreq = clamp(PoolFillFreq, 50, 30000);
  int32_t count = 32, sizeKb = 1024;
  cfg->ReadInteger(count, section_, "CacheMaxCount");
  cfg->ReadInteger(sizeKb, section_, "CacheMaxSize");
  count = std::max(count, 4);
  int64_t size = std::max<int64_t>(static_cast<int64_t>(sizeKb) * 1024, 64 * 1024);
  cache_.SetMaxCount(count);
  cache_.SetMaxSize(size);
  std::string sb;
  if (cfg->ReadValue(section_, "SendBufferSize", sb)) {
    int32_t kb = 64;
    cfg->ReadInteger(kb, section_, "SendBufferSize");
    int64_t bytes = static_cast<int64_t>(std::max(kb, 0)) * 1024;
    bytes = std::min<int64_t>(bytes, 4 * 1024 * 1024);
    bytes = std::min<int64_t>(bytes, 4 * (size / count));
    bytes = std::max<int64_t>(bytes, 16384);
    send_buffer_size_ = static_cast<int>(bytes);
  }
}

void qmsTService::RunService() {
  jvbTraceScope trace("qmsTService.RunService");
  if (protocol_valid_ && BindListener() && StartListening()) {
    OpenLogs();
    ReadSettings();
    if (SetUpTls()) ServeConnections();
    listener_.Close();
  }
  qmsConLog(Prefix() + " suspended");
  state = ssSuspended;
  while (state != ssStopRequested) Sleep(10);
  Sleep(1000);
}

bool qmsTService::BindListener() {
  for (int attempt = 1; attempt <= 10; ++attempt) {
    int rc = listener_.Bind(address_, port_);
    if (rc == 0) return true;
    char b[512];
    snprintf(b, sizeof b, "%s cannot bind (rc=%d)", Prefix().c_str(), rc);
    qmsConLog(b);
    if (attempt == 10) break;
    // Back off, but give up at once when the stop has already been asked for.
    for (int waited = 0; waited < attempt * attempt * 250 && state == ssCreated; waited += 10)
      Sleep(10);
    if (state != ssCreated) return false;
  }
  return false;
}

bool qmsTService::StartListening() {
  // Listen first: a client that reads "running" may connect at once.
  ListenBacklog = 16;
  group_->Config()->ReadInteger(ListenBacklog, section_, "ListenBacklog");
  ListenBacklog = std::min(std::max(ListenBacklog, 1), jvb::ListenBacklogLimit());
  int rc = listener_.Listen(ListenBacklog);
  if (rc == 0) return true;
  char b[512];
  snprintf(b, sizeof b, "%s cannot listen (rc=%d)", Prefix().c_str(), rc);
  qmsConLog(b);
  listener_.Close();
  return false;
}

void qmsTService::OpenLogs() {
  std::string group = jvb::AsciiLower(group_->Name()), section = jvb::AsciiLower(section_);
  SetLogFile("log/" + group + "-" + section + ".log");
  std::string ext;
  group_->Config()->ReadString(ext, section_, "ExtendedLogFile");
  if (!ext.empty()) SetExtFile(jvb::NativePath(ext));
}

void qmsTService::ServeConnections() {
  // The first queue scan comes five seconds after the start.
  int64_t queueScanStart = jvb::MonotonicMs() - (static_cast<int64_t>(QueueScanFreq) - 5) * 1000;
  int created = ssCreated;
  if (state.compare_exchange_strong(created, ssRunning)) qmsConLog(Prefix() + " running");
  int acceptErrors = 0;
  while (state == ssRunning) {
    const Wake wake = WaitForWork(queueScanStart);
    if (wake == Wake::kIdle) continue;
    waitingForConnection = false;
    queueScanStart = jvb::MonotonicMs();
    if (state != ssRunning) break;
    std::unique_ptr<jvbTSocket> client;
    if (wake == Wake::kListener && !AcceptConnection(client, acceptErrors)) continue;
    StartSession(std::move(client));
  }
  waitingForConnection = false;
}

qmsTService::Wake qmsTService::WaitForWork(int64_t queueScanStart) {
  waitingForConnection = true;
  int ready = listener_.WaitReadable(PoolFillFreq);
  if (ready > 0 || state != ssRunning) return Wake::kListener;
  if (protocol_ == prSMTP && jvb::MonotonicMs() - queueScanStart > QueueScanFreq * 1000LL)
    return Wake::kQueueScan;
  int pool = PoolCount();
  if (pool + pending_ < ClientPool || (pool == 0 && pending_ == 0)) FillPool();
  return Wake::kIdle;
}

bool qmsTService::AcceptConnection(std::unique_ptr<jvbTSocket>& client, int& acceptErrors) {
  client = std::make_unique<jvbTSocket>();
  int rc = listener_.Accept(*client);
  if (rc == 0) {
    acceptErrors = 0;
    return true;
  }
  char b[256];
  snprintf(b, sizeof b, "\"Null\" socket received from socket API (rc=%d)", rc);
  Log(b);
  // Out of descriptors: wait before the next try instead of flooding the log.
  if (++acceptErrors > 1) Sleep(std::min(PoolFillFreq * acceptErrors, 5000));
  return false;
}

void qmsTService::StartSession(std::unique_ptr<jvbTSocket> client) {
  qmsTSession* session = nullptr;
  if (!TakeSession(&session)) {
    char b[256];
    snprintf(b, sizeof b, "%s no session thread available, connection from %s closed",
             Prefix().c_str(), client ? client->PeerDotted().c_str() : "queue scan");
    Log(b);
    if (client) metrics_.Add(mcRefused);
    return;  // the client socket closes here
  }
  HandOver(session, std::move(client));
  // While connections keep arriving the loop never idles to refill the pool: start the
  // next session now, so the next client finds one waiting instead of a thread start.
  if (PoolCount() + pending_ < ClientPool) FillPool();
}

bool qmsTService::TakeSession(qmsTSession** session) {
  // Wait a bounded time for a pooled session: a server that cannot start threads must not
  // hold the connection (and this loop) forever.
  for (int attempt = 0; attempt < 10 && state == ssRunning; ++attempt) {
    {
      std::lock_guard<std::mutex> g(pool_lock_);
      if (!pool_.empty()) {
        *session = pool_.front();
        pool_.erase(pool_.begin());
        return true;
      }
      pool_event_.Reset();
    }
    FillPool();
    pool_event_.SetWaitTime(PoolFillFreq);
    pool_event_.Wait();
  }
  std::lock_guard<std::mutex> g(pool_lock_);
  if (!pool_.empty()) {
    *session = pool_.front();
    pool_.erase(pool_.begin());
    return true;
  }
  return false;
}

void qmsTService::HandOver(qmsTSession* session, std::unique_ptr<jvbTSocket> client) {
  session->HandOver(std::move(client));
  {
    std::lock_guard<std::recursive_mutex> g(lock_);
    active_.emplace(session->Key(), session);
    active_count_ = static_cast<int>(active_.size());
  }
  session->Wake();
}

bool qmsTService::FillPool() {
  auto* rec = new ClientStartRecord{this};
  ++threads_;
  int rc = 0;
  if (!StartThread(ClientThread, rec, static_cast<size_t>(ClientStack), &rc)) {
    --threads_;
    delete rec;
    char b[256];
    snprintf(b, sizeof b, "Unable to create client thread (rc=%d) %8.8llx %8.8llx", rc,
             static_cast<unsigned long long>(jvb::HeapBytesAllocated()),
             static_cast<unsigned long long>(jvb::HeapBytesFree()));
    qmsLog(b);
    return false;
  }
  ++pending_;
  return true;
}

void qmsTService::EnterPool(qmsTSession* session) {
  std::lock_guard<std::mutex> g(pool_lock_);
  --pending_;
  pool_.push_back(session);
  if (pool_.size() == 1) pool_event_.Set();
}

void qmsTService::SessionThreadEnded() { --threads_; }

int qmsTService::ReleasePool() {
  std::lock_guard<std::mutex> g(pool_lock_);
  int n = static_cast<int>(pool_.size());
  for (auto it = pool_.rbegin(); it != pool_.rend(); ++it) {
    (*it)->terminate = true;
    (*it)->Wake();
  }
  pool_.clear();
  return n;
}

void qmsTService::KillSessions() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  int index = static_cast<int>(active_.size());
  for (auto it = active_.rbegin(); it != active_.rend(); ++it) {
    --index;
    char b[512];
    snprintf(b, sizeof b, "%s killing session %d", Prefix().c_str(), index);
    qmsConLog(b);
    it->second->terminate = true;
  }
}

int qmsTService::ActiveCount() { return active_count_; }

int qmsTService::PoolCount() {
  std::lock_guard<std::mutex> g(pool_lock_);
  return static_cast<int>(pool_.size());
}

std::vector<std::string> qmsTService::ActiveKeys() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<std::string> keys;
  for (auto& [k, s] : active_) keys.push_back(k);
  return keys;
}

bool qmsTService::WithSession(const std::string& key,
                              const std::function<void(qmsTSession&)>& f) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto it = active_.lower_bound(key);
  if (it == active_.end() || it->first != key) return false;
  f(*it->second);
  return true;
}

bool qmsTService::SuspendService() {
  int expected = ssRunning;
  if (!state.compare_exchange_strong(expected, ssSuspendRequested)) {
    // A service still retrying its bind gives up and reports itself suspended.
    return false;
  }
  return qmsWaitUntil([this] {
    if (state != ssSuspended) return false;
    // Threads still starting enter the pool; release them as they arrive.
    if (pending_ > 0) ReleasePool();
    return pending_ <= 0;
  });
}

bool qmsTService::StopService() {
  if (state == ssCreated) {
    // Still retrying its bind: it leaves its loop when the state moves on.
    int expected = ssCreated;
    state.compare_exchange_strong(expected, ssSuspendRequested);
    if (!qmsWaitUntil([this] { return state == ssSuspended; })) return false;
  }
  if (state != ssSuspended) return false;
  state = ssStopRequested;
  if (!qmsWaitUntil([this] { return state == ssLeaving; })) return false;
  // Session threads of this service must be gone before it is freed; while one is left
  // the service stays (its thread waits) rather than be freed under it.
  if (!qmsWaitUntil([this] {
        ReleasePool();
        return threads_ <= 0;
      }))
    return false;
  state = ssReleased;
  return true;
}

void qmsTService::Monitor() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  bool releasedAny = false;
  for (auto it = active_.begin(); it != active_.end();) {
    qmsTSession* s = it->second;
    bool idled = false;
    if (s->Timeout > 0 && !s->terminate) {
      int64_t idle;
      {
        std::lock_guard<std::mutex> tg(s->timerLock);
        idle = s->idleTimer.ElapsedMs();
      }
      if (idle > static_cast<int64_t>(s->Timeout) * 1000) {
        char b[256];
        snprintf(b, sizeof b, "Idle timeout after %d seconds, closing session on socket %d",
                 static_cast<int>(idle / 1000), s->socketHandle.load());
        s->Log(b);
        s->OnIdleTimeout();
        s->terminate = true;
        idled = true;
      }
    }
    // Wake the owner; only the owner closes its descriptor. An idle owner waits in a read:
    // shutting only the receive side lets it still send its closing reply. The next pass
    // shuts both sides of whatever is still open.
    if (s->terminate && s->Socket()) {
      if (idled)
        s->Socket()->ShutdownReceive();
      else
        s->Socket()->Shutdown();
    }
    s->MonitorHook();
    if (s->done) {
      it = active_.erase(it);
      active_count_ = static_cast<int>(active_.size());
      s->done = false;
      s->released = true;
      releasedAny = true;
      continue;
    }
    ++it;
  }
  // One wake-up per pass for every finished session, however many there are.
  if (releasedAny) released_event_.notify_all();
}

void qmsTService::WaitReleased(qmsTSession* session) {
  std::unique_lock<std::recursive_mutex> g(lock_);
  released_event_.wait(g, [session] { return session->released.load(); });
}

namespace {

void* ClientThread(void* arg) {
  std::unique_ptr<ClientStartRecord> rec(static_cast<ClientStartRecord*>(arg));
  qmsTService* service = rec->service;
  jvbTraceThreadStart();
  jvbGuardThread([&] {
    qmsTSessionFactory factory = qmsFindSession(service->Protocol());
    std::unique_ptr<qmsTSession> session = factory ? factory(service) : nullptr;
    if (!session) {
      service->PendingFailed();
      return;
    }
    session->threadId = jvb::CurrentThreadId();
    bool served = false;
    jvbGuardThread([&] { served = session->Start(); });
    if (!session->EnteredPool()) service->PendingFailed();
    if (served || session->HandedOver()) {
      session->done = true;
      // Sleeps until Monitor releases it (no polling: a busy server has many such threads).
      service->WaitReleased(session.get());
    }
    session.reset();
  });
  jvbTraceThreadEnd();
  service->SessionThreadEnded();
  return nullptr;
}

}  // namespace
