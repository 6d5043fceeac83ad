#include "server/mail/delivery.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/deliveryreport.h"
#include "server/mail/mailbox.h"
#include "server/mail/smtpsession.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/dnsquery.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"

namespace {

std::string Dotted(uint32_t hostOrder) { return jvbTSocket::Dotted(hostOrder); }

// The wait for one reply line: the idle limit (Monitor ends the pass then) plus a margin,
// or ten minutes when the service sets no idle limit.
int ReplyTimeoutMs(int32_t timeoutSeconds) {
  return timeoutSeconds > 0 ? (std::min(timeoutSeconds, 24 * 3600) + 60) * 1000 : 600 * 1000;
}

}  // namespace

void qmsDeliveryPass(qmsTSMTPSession& session) {
  jvbTraceScope trace("qmsDeliveryPass");
  // Lets tests (and an operator draining a queue by hand) keep messages where SMTP put them.
  const char* off = std::getenv("QMS_NO_DELIVERY");
  if (off && std::string(off) == "1") return;
  if (session.QueueDirectory.empty() || !jvb::DirectoryExists(session.QueueDirectory)) return;
  qmsTQueuePasses& passes = qmsTQueuePasses::For(session.QueueDirectory);
  std::vector<std::string> own;
  own.swap(session.Queued);
  if (!passes.Enter()) {
    // The running passes list the queue again; the session's own messages go at once all
    // the same, so that none waits behind a pass held up by a slow remote server.
    if (own.empty()) return;
    qmsTDelivery delivery(session);
    for (const std::string& name : own) {
      if (session.terminate) break;
      delivery.ProcessMessage(name);
    }
    return;
  }
  qmsTDelivery delivery(session);
  delivery.SweepOrphans();
  do {
    delivery.ScanQueue();
  } while (passes.Again(session.terminate.load()));
}

// --- Passes of this process --------------------------------------------------------------

qmsTQueuePasses& qmsTQueuePasses::For(const std::string& directory) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<qmsTQueuePasses>> queues;
  std::lock_guard<std::mutex> g(lock);
  std::unique_ptr<qmsTQueuePasses>& entry = queues[directory];
  if (!entry) entry = std::make_unique<qmsTQueuePasses>();
  return *entry;
}

bool qmsTQueuePasses::Enter() {
  std::lock_guard<std::mutex> g(lock_);
  if (running_ >= kRunningMax) {
    asked_ = true;
    return false;
  }
  ++running_;
  // This pass lists the queue after anything asked for so far was queued.
  asked_ = false;
  return true;
}

bool qmsTQueuePasses::Again(bool stop) {
  std::lock_guard<std::mutex> g(lock_);
  if (!stop && asked_) {
    asked_ = false;
    return true;
  }
  --running_;
  return false;
}

bool qmsTQueuePasses::Claim(const std::string& name) {
  std::lock_guard<std::mutex> g(lock_);
  return claimed_.insert(name).second;
}

void qmsTQueuePasses::Unclaim(const std::string& name) {
  std::lock_guard<std::mutex> g(lock_);
  claimed_.erase(name);
}

int qmsTQueuePasses::Running() {
  std::lock_guard<std::mutex> g(lock_);
  return running_;
}

qmsTDelivery::qmsTDelivery(qmsTSMTPSession& session)
    : session_(session),
      passes_(qmsTQueuePasses::For(session.QueueDirectory)),
      client_(
          qmsTSMTPClient::Callbacks{
              [&session](const std::string& line, int kind) { session.Debug(line, kind); },
              [this] { ResetIdle(); }},
          &session.terminate, ReplyTimeoutMs(session.Timeout)) {
  if (session_.Service()) {
    int32_t port = kDefaultPort;
    session_.Group()->Config()->ReadInteger(port, session_.Service()->Section(), "DeliveryPort");
    if (port >= 1 && port <= 65535) port_ = static_cast<uint16_t>(port);
  }
  session_.SetOutgoing(&client_);
}

qmsTDelivery::~qmsTDelivery() {
  session_.SetOutgoing(nullptr);
  client_.Close();
}

void qmsTDelivery::Log(const std::string& text) { session_.Log(text); }

void qmsTDelivery::ResetIdle() {
  std::lock_guard<std::mutex> g(session_.timerLock);
  session_.idleTimer.Reset();
}

bool qmsTDelivery::Terminating() const { return session_.terminate.load(); }

// --- Retry arithmetic ------------------------------------------------------------------

int64_t qmsTDelivery::FailedDomainRetry(int64_t now, bool connectError, bool lookupError,
                                        int32_t connectRetryMinutes, int32_t lookupRetryMinutes) {
  if (connectError) return now + static_cast<int64_t>(connectRetryMinutes) * qmsTDeliveryHeader::kMinuteMs;
  if (lookupError) return now + static_cast<int64_t>(lookupRetryMinutes) * qmsTDeliveryHeader::kMinuteMs;
  return now;
}

int64_t qmsTDelivery::AgeMinutes(int64_t receivedAt, int64_t now) {
  return now > receivedAt ? (now - receivedAt) / qmsTDeliveryHeader::kMinuteMs : 0;
}

bool qmsTDelivery::NameTime(const std::string& name, int64_t& epochMs) {
  if (name.size() < 8) return false;
  uint32_t seconds = 0;
  for (size_t i = 0; i < 8; ++i) {
    char c = name[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    seconds = seconds * 16 + static_cast<uint32_t>(digit);
  }
  // Local wall-clock seconds since 1980-01-01: back to a stamp, which knows the zone.
  jvb::DateTime epoch;
  epoch.year = 1980;
  epoch.month = 1;
  epoch.day = 1;
  int64_t days = jvb::DayNumber(epoch) + seconds / 86400;
  int64_t rest = seconds % 86400;
  // Day number to civil date (1 January of year 1 is day 1).
  int64_t z = days - 1 + 306;  // days since 0000-03-01 in the proleptic calendar
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char b[32];
  snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d.0", static_cast<int>(year), month, day,
           static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
           static_cast<int>(rest % 60));
  return qmsTDeliveryHeader::ParseStamp(b, epochMs);
}

// --- The pass ----------------------------------------------------------------------------

void qmsTDelivery::ScanQueue() {
  jvbTraceScope trace("qmsTSMTPSession.DoServer");
  std::vector<jvb::DirEntry> files;
  if (jvb::FindFiles(session_.QueueDirectory, qmsTQueueFile::Mask(qmsTQueueFile::kHeaderSuffix),
                     jvb::faReadOnly | jvb::faArchive, files) != 0)
    return;
  for (const jvb::DirEntry& file : files) {
    if (Terminating()) break;
    ProcessMessage(qmsTQueueFile::Stem(file.name));
  }
}

void qmsTDelivery::SweepOrphans() {
  const time_t now = time(nullptr);
  for (const char* suffix : {qmsTQueueFile::kIncomingSuffix, qmsTQueueFile::kBodySuffix,
                             qmsTQueueFile::kPrivateSuffix}) {
    std::vector<jvb::DirEntry> files;
    if (jvb::FindFiles(session_.QueueDirectory, qmsTQueueFile::Mask(suffix),
                       jvb::faReadOnly | jvb::faArchive, files) != 0)
      continue;
    for (const jvb::DirEntry& file : files) {
      if (now - file.mtime < kOrphanAgeSeconds) continue;
      const std::string path = session_.QueueDirectory + "/" + file.name;
      if (jvb::PathExists(qmsTQueueFile::Stem(path) + qmsTQueueFile::kHeaderSuffix)) continue;
      // A transaction still writing holds its file locked.
      int fd = jvb::OpenShared(path, jvb::fmReadWriteExclusive, 0, nullptr);
      if (fd < 0) continue;
      const bool removed = jvb::DeleteFile(path);
      ::close(fd);
      if (!removed) continue;
      const std::string text = "Removed incomplete queue file " + qmsQuoted(file.name) +
                               " (no header, unchanged for " +
                               std::to_string(kOrphanAgeSeconds / 60) + " minutes)";
      qmsLog(text);
      Log(text);
    }
  }
}

bool qmsTDelivery::ProcessMessage(const std::string& name) {
  jvbTraceScope trace("qmsTSMTPSession.ProcessMessage");
  if (name.empty() || name.find('/') != std::string::npos) return false;
  ResetIdle();
  message_name_ = name;
  message_path_ = session_.QueueDirectory + "/" + name;
  const std::string hdrPath = message_path_ + qmsTQueueFile::kHeaderSuffix;
  const std::string msgPath = message_path_ + qmsTQueueFile::kBodySuffix;

  // 1. Lock, header, body - or leave the message as it is. Another pass of this process
  // that has it, or has removed it since this pass listed the queue, costs no lock file.
  if (!passes_.Claim(name)) return false;
  struct Unclaim {
    qmsTQueuePasses& passes;
    const std::string& name;
    ~Unclaim() { passes.Unclaim(name); }
  } unclaim{passes_, name};
  if (!jvb::FileExists(hdrPath)) return false;
  jvb::LockFile lock;
  if (!lock.Acquire(message_path_ + qmsTQueueFile::kLockSuffix, 0)) return false;
  header_ = std::make_unique<qmsTDeliveryHeader>();
  if (!header_->Open(hdrPath)) {
    header_.reset();
    return false;
  }
  body_.Init(msgPath, jvb::fmReadDenyWrite, 1, 0, 1000);
  if (!body_.Open()) {
    header_.reset();
    return false;
  }

  now_ = qmsTDeliveryHeader::NowMs();
  int64_t nextTryAfter = 0;
  bool processed = false;
  if (!header_->ReadStamp("HEADER", "NextTryAfter", nextTryAfter) || nextTryAfter <= now_) {
    processed = true;
    next_try_ = now_ + kNextTryMs;
    reverse_path_ = header_->ReadString("HEADER", "ReversePath");
    success_ = header_->ReadList("HEADER", "Success");
    Log("Processing message file " + qmsQuoted(name) + " from " + qmsQuoted(reverse_path_) +
        " (Clients=" + std::to_string(session_.Service() ? session_.Service()->ActiveCount() : 0) +
        ")");
    pending_ = 0;
    DeliverLocal();
    DeliverRemote();
    header_->WriteStamp("HEADER", "NextTryAfter", next_try_);
    header_->WriteList("HEADER", "Success", success_);
    // With nothing left the removal below is the record (or, failing, this save there).
    if (pending_ > 0) SaveHeader();
    if (pending_ > 0) PostDeliveryReport();
    if (pending_ > 0) session_.Count(mcDeferred);
  } else if (PendingRecipients() == 0) {
    // Every recipient was served by a pass that ended (a server killed, possibly another
    // one sharing the queue) after it wrote the header and before it removed the message.
    processed = true;
    pending_ = 0;
    Log("Removing message file " + qmsQuoted(name) + ", every recipient served");
  }

  // Release; delete what is done. The lock goes last.
  body_.Close();
  const bool done = processed && pending_ == 0;
  bool removed = false;
  if (done) {
    removed = jvb::DeleteFile(hdrPath);
    // A header that cannot go records what was done, so that the next pass only removes it.
    if (!removed && header_->Dirty()) SaveHeader();
  }
  const std::string temp = header_->TempPath();
  header_.reset();
  if (removed) jvb::DeleteFile(msgPath);
  if (done) {
    // Leftovers of a save cut short; looked for first, as an unlink of a missing name
    // still takes the directory's write lock.
    for (const std::string& extra : {temp, message_path_ + qmsTQueueFile::kBackupSuffix})
      if (jvb::PathExists(extra)) jvb::DeleteFile(extra);
  }
  lock.Release();
  return processed;
}

int qmsTDelivery::PendingRecipients() const {
  size_t count = header_->ReadList("LOCAL", "Idents").size();
  for (const std::string& domain : header_->ReadList("HEADER", "Domains"))
    count += header_->ReadList(domain, "Idents").size();
  return static_cast<int>(count);
}

void qmsTDelivery::SaveHeader() {
  if (header_->Save()) return;
  const std::string text = "Unable to write header file " +
                           qmsQuoted(message_name_ + qmsTQueueFile::kHeaderSuffix) + " (" +
                           std::to_string(header_->LastError()) + ")";
  qmsLog(text);
  Log(text);
}

// --- Local recipients ----------------------------------------------------------------------

void qmsTDelivery::DeliverLocal() {
  std::vector<std::string> idents = header_->ReadList("LOCAL", "Idents");
  if (idents.empty()) return;
  pending_ += static_cast<int>(idents.size());
  qmsTUserDatabase* users = session_.Group() ? session_.Group()->Users() : nullptr;
  const int64_t bodySize = body_.Size();
  std::vector<std::string> kept;
  for (size_t i = 0; i < idents.size(); ++i) {
    const std::string& ident = idents[i];
    if (Terminating()) {
      kept.push_back(ident);
      continue;
    }
    std::unique_ptr<qmsTUser> user;
    if (!users || !users->FindUser(ident, user)) {
      Log("Unable to deliver message to local user " + qmsQuoted(ident));
      kept.push_back(ident);
      continue;
    }
    const std::string username = user->GetUsername();
    qmsTMailbox mailbox(session_.FileSys(), session_.HomeDirectory, username);
    const std::string shown = mailbox.VirtualInbox().empty()
                                  ? session_.HomeDirectory + "/" + username + "/.mailbox/Inbox"
                                  : mailbox.VirtualInbox();
    auto mailboxFailed = [&] {
      const std::string text = "Unable to create mailbox " + qmsQuoted(shown);
      qmsLog(text);
      Log(text);
      kept.push_back(ident);
    };
    if (!mailbox.CreateInbox()) {
      mailboxFailed();
      continue;
    }
    const qmsTMailbox::StoreResult stored =
        mailbox.StoreMessage(message_name_, reverse_path_, body_, [this] {
          ResetIdle();
          return !Terminating();
        });
    if (stored == qmsTMailbox::stNoMailbox) {
      mailboxFailed();
      continue;
    }
    if (stored != qmsTMailbox::stStored) {
      // A partial copy never counts: the mailbox removed it, the recipient stays.
      if (stored == qmsTMailbox::stWriteFailed || stored == qmsTMailbox::stInterrupted)
        Log("Unable to write message file " + qmsQuoted(message_name_) + " for user " +
            qmsQuoted(ident));
      else
        Log("Unable to create message file " + qmsQuoted(message_name_) + " for user " +
            qmsQuoted(ident));
      kept.push_back(ident);
      continue;
    }
    if (user->OpenStat()) {
      user->Stat().Add(Tqms_user::smtpRecv, 1);
      user->Stat().Add(Tqms_user::smtpRecvKB, static_cast<uint32_t>(std::max<int64_t>(bodySize, 0) / 1024));
      user->CloseStat();
    }
    --pending_;
    session_.Count(mcDeliveredLocal);
    success_.push_back(username);
    Log("Delivered message to local user " + qmsQuoted(username));
    // Recorded at once: a pass killed later does not deliver this copy again. The last
    // copy of a message with nothing else to do needs no record: the message goes with
    // this pass, and a pass that ends before that finds the copy in place and adds none.
    std::vector<std::string> left = kept;
    left.insert(left.end(), idents.begin() + static_cast<long>(i) + 1, idents.end());
    header_->WriteList("LOCAL", "Idents", left);
    header_->WriteList("HEADER", "Success", success_);
    if (!left.empty() || !header_->ReadList("HEADER", "Domains").empty()) SaveHeader();
  }
  header_->WriteList("LOCAL", "Idents", kept);
}

// --- Remote recipients ---------------------------------------------------------------------

void qmsTDelivery::DeliverRemote() {
  const std::vector<std::string> domains = header_->ReadList("HEADER", "Domains");
  if (domains.empty()) return;
  std::vector<std::string> kept;
  for (size_t i = 0; i < domains.size(); ++i) {
    const std::string& domain = domains[i];
    std::vector<std::string> idents = header_->ReadList(domain, "Idents");
    pending_ += static_cast<int>(idents.size());
    int64_t retryAfter = 0;
    if (header_->ReadStamp(domain, "RetryAfter", retryAfter) && retryAfter > now_) {
      // Its own retry time must not be lost behind the four hours of this pass.
      if (!idents.empty()) next_try_ = EarlierOf(next_try_, retryAfter);
      kept.push_back(domain);
      continue;
    }
    if (Terminating()) {
      kept.push_back(domain);  // untouched: the next pass tries it
      continue;
    }
    domain_retry_ = next_try_;
    const bool hadNone = idents.empty();
    if (!hadNone) DeliverDomain(domain, idents);
    // Removed once its recipients are served; one that came without any stays listed.
    if (hadNone || !idents.empty()) kept.push_back(domain);
    header_->WriteStamp(domain, "RetryAfter", domain_retry_);
    std::vector<std::string> listed = kept;
    listed.insert(listed.end(), domains.begin() + static_cast<long>(i) + 1, domains.end());
    header_->WriteList("HEADER", "Domains", listed);
    SaveHeader();
  }
  header_->WriteList("HEADER", "Domains", kept);
}

void qmsTDelivery::DeliverDomain(const std::string& domain, std::vector<std::string>& idents) {
  if (!ConnectToDomainMX(domain)) return;
  std::vector<std::string> accepted;
  bool ok = DoHELO(domain) && DoMAIL(domain);
  for (size_t i = 0; ok && i < idents.size(); ++i) {
    if (!DoRCPT(idents[i], domain)) ok = false;
    else accepted.push_back(idents[i]);
  }
  if (ok && DoData(domain)) {
    for (const std::string& ident : accepted) success_.push_back(ident + domain);
    pending_ -= static_cast<int>(accepted.size());
    idents.clear();
    header_->WriteList(domain, "Idents", idents);
    header_->WriteList("HEADER", "Success", success_);
    // Recorded before anything else can go wrong: the server has the message.
    SaveHeader();
    DoQUIT(domain);
  }
  client_.Close();
}

// --- Finding and reaching a server -------------------------------------------------------

bool qmsTDelivery::Connect(uint32_t address, const std::string& host) {
  server_name_ = host;
  const uint32_t own = session_.Service() ? session_.Service()->Address() : 0;
  return client_.Connect(address, port_, session_.BindOnDelivery, own) == 0;
}

bool qmsTDelivery::ConnectToDomainMX(const std::string& domain) {
  jvbTraceScope trace("qmsTSMTPSession.ConnectToDomainMX");
  const std::string name = !domain.empty() && domain[0] == '@' ? domain.substr(1) : domain;
  lookup_errors_ = header_->ReadInteger(domain, "LookupErrors", 0);
  connect_errors_ = header_->ReadInteger(domain, "ConnectErrors", 0);
  const int32_t storedLookupErrors = lookup_errors_;
  lookup_recorded_ = connect_recorded_ = false;
  if (ReachDomain(domain, name, storedLookupErrors) && Greeted()) return true;
  domain_retry_ = FailedDomainRetry(now_, connect_recorded_, lookup_recorded_,
                                    session_.ConnectRetryDelay, session_.LookupRetryDelay);
  next_try_ = EarlierOf(next_try_, domain_retry_);
  Log("Unable to lookup/connect to any server for delivery to " + qmsQuoted(name));
  return false;
}

bool qmsTDelivery::ReachDomain(const std::string& domain, const std::string& name,
                               int32_t storedLookupErrors) {
  uint32_t forward = 0;
  if (!session_.ForwardToServer.empty() &&
      jvbTSocket::ParseDotted(session_.ForwardToServer, &forward))
    return ConnectToForwardServer(domain, name, forward);
  jvbTDnsQuery mx;
  if (mx.Query(jvbTDnsQuery::kTypeMX, name)) return ConnectToExchangers(domain, name, mx);
  // No exchanger after several tries: the domain's own address may take mail.
  if (storedLookupErrors > session_.LookupRetries / 2) return ConnectToDomainAddress(domain, name);
  RecordLookupError(domain, "Unable to lookup MX record(s) for " + qmsQuoted(name));
  return false;
}

bool qmsTDelivery::ConnectToForwardServer(const std::string& domain, const std::string& name,
                                          uint32_t forward) {
  Log("Connecting to server " + qmsQuoted(Dotted(forward)) + " for forward to " + qmsQuoted(name));
  if (Connect(forward, Dotted(forward))) return true;
  RecordConnectError(domain, "Connection to " + qmsQuoted(Dotted(forward)) + " failed");
  return false;
}

bool qmsTDelivery::ConnectToExchangers(const std::string& domain, const std::string& name,
                                       const jvbTDnsQuery& mx) {
  jvbTDnsQuery a;
  for (int index = 0; !Terminating(); ++index) {
    std::string host;
    if (!mx.GetMX(index, host)) {
      if (index == 0)
        RecordLookupError(
            domain, "Query returned success, but unable to find MX record for " + qmsQuoted(name));
      return false;
    }
    uint32_t address = 0;
    if (!ResolveExchanger(domain, a, host, address)) continue;
    const std::string where =
        qmsQuoted(host) + " [" + Dotted(address) + "] for delivery to " + qmsQuoted(name);
    Log("Connecting to MX server " + where);
    if (Connect(address, host)) return true;
    RecordConnectError(domain, "Unable to connect to MX server " + where);
  }
  return false;
}

bool qmsTDelivery::ResolveExchanger(const std::string& domain, jvbTDnsQuery& a, std::string& host,
                                    uint32_t& address) {
  if (!a.Query(jvbTDnsQuery::kTypeA, host)) {
    RecordLookupError(domain, "Unable to lookup A/CNAME record for MX server " + qmsQuoted(host));
    return false;
  }
  std::string target;
  if (a.FindCNAME(host, target)) host = target;
  if (a.FindA(host, address)) return true;
  RecordLookupError(domain,
                    "Query returned success, but unable to find A record for " + qmsQuoted(host));
  return false;
}

bool qmsTDelivery::ConnectToDomainAddress(const std::string& domain, const std::string& name) {
  jvbTDnsQuery a;
  a.Query(jvbTDnsQuery::kTypeA, name);
  std::string host = name, target;
  if (a.FindCNAME(name, target)) host = target;
  uint32_t address = 0;
  if (!a.FindA(host, address)) {
    RecordLookupError(domain, "Unable to lookup MX/A record(s) for " + qmsQuoted(name));
    return false;
  }
  Log("Connecting to A server " + qmsQuoted(Dotted(address)) + " for delivery to " +
      qmsQuoted(name));
  if (Connect(address, name)) return true;
  RecordConnectError(domain, "Unable to connect to A server " + qmsQuoted(name) + " [" +
                                 Dotted(address) + "] for delivery to " + qmsQuoted(name));
  return false;
}

bool qmsTDelivery::Greeted() {
  Log("- Connected to " + qmsQuoted(server_name_));
  std::string reply;
  if (client_.RecvRes(reply) == 220) return true;
  Log("Unknown server greeting " + qmsQuoted(reply));
  client_.Close();
  return false;
}

void qmsTDelivery::RecordLookupError(const std::string& domain, const std::string& text) {
  ++lookup_errors_;
  lookup_recorded_ = true;
  header_->WriteInteger(domain, "LookupErrors", lookup_errors_);
  header_->Write(domain, "LookupError[" + std::to_string(lookup_errors_) + "]",
                 qmsTDeliveryHeader::FormatStamp(now_) + " " + text);
  Log(text);
}

void qmsTDelivery::RecordConnectError(const std::string& domain, const std::string& text) {
  ++connect_errors_;
  connect_recorded_ = true;
  header_->WriteInteger(domain, "ConnectErrors", connect_errors_);
  header_->Write(domain, "ConnectError[" + std::to_string(connect_errors_) + "]",
                 qmsTDeliveryHeader::FormatStamp(now_) + " " + text);
  Log(text);
}

void qmsTDelivery::RecordError(const std::string& key, const std::string& text) {
  header_->Write("ERROR", key, text);
  Log(text);
}

// --- Client steps --------------------------------------------------------------------------

bool qmsTDelivery::DoEHLO(const std::string& domain, bool verify) {
  std::string reply;
  const std::string ehlo = "EHLO " + session_.LocalDomain;
  if (client_.SendCom(reply, ehlo) != 250) {
    if (verify || !client_.Connected()) {
      RecordError(domain, ehlo + " returned " + qmsQuoted(reply));
      return false;
    }
    // An old server: HELO as ever, without TLS.
    return DoPlainHELO(domain);
  }
  if (!UpgradeToTls(domain, verify)) return false;
  if (!client_.TlsSummary().empty() && client_.SendCom(reply, ehlo) != 250) {
    RecordError(domain, ehlo + " over TLS returned " + qmsQuoted(reply));
    return false;
  }
  return true;
}

bool qmsTDelivery::UpgradeToTls(const std::string& domain, bool verify) {
  std::string reply;
  if (!client_.ReplyHas("STARTTLS")) {
    if (verify) {
      RecordError(domain, "Server " + qmsQuoted(server_name_) +
                              " offers no STARTTLS, verified TLS required");
      return false;
    }
    Log("Delivery to " + qmsQuoted(server_name_) + " without TLS (not offered)");
    return true;
  }
  if (client_.SendCom(reply, "STARTTLS") != 220) {
    if (verify) {
      RecordError(domain, "STARTTLS returned " + qmsQuoted(reply) + ", verified TLS required");
      return false;
    }
    Log("Delivery to " + qmsQuoted(server_name_) + " without TLS (STARTTLS returned " +
        qmsQuoted(reply) + ")");
    return true;
  }
  std::string error;
  if (!client_.StartTls(verify, server_name_, error)) {
    RecordError(domain, "TLS with " + qmsQuoted(server_name_) + " failed: " + error);
    return false;
  }
  Log("Delivery to " + qmsQuoted(server_name_) + " over TLS: " + client_.TlsSummary() +
      (verify ? ", certificate verified" : ", certificate not verified"));
  return true;
}

bool qmsTDelivery::DoHELO(const std::string& domain) {
  const bool verify = session_.DeliveryTlsVerified(domain);
  if (session_.DeliveryTls != 0 || verify) return DoEHLO(domain, verify);
  return DoPlainHELO(domain);
}

bool qmsTDelivery::DoPlainHELO(const std::string& domain) {
  std::string reply;
  if (client_.SendCom(reply, "HELO " + session_.LocalDomain) == 250) return true;
  RecordError(domain, "HELO " + qmsQuoted(session_.LocalDomain) + " returned " + qmsQuoted(reply));
  return false;
}

bool qmsTDelivery::DoMAIL(const std::string& domain) {
  std::string reply;
  if (client_.SendCom(reply, "MAIL FROM:<" + reverse_path_ + ">") == 250) return true;
  RecordError(domain, "MAIL " + qmsQuoted(reverse_path_) + " returned " + qmsQuoted(reply));
  return false;
}

bool qmsTDelivery::DoRCPT(const std::string& ident, const std::string& domain) {
  std::string reply;
  const int code = client_.SendCom(reply, "RCPT TO:<" + ident + domain + ">");
  if (code == 250 || code == 251) return true;
  header_->Write("ERROR", ident + domain, "RCPT returned " + qmsQuoted(reply));
  Log("RCPT " + qmsQuoted(ident + domain) + " returned " + qmsQuoted(reply));
  return false;
}

bool qmsTDelivery::DoData(const std::string& domain) {
  std::string reply;
  if (client_.SendCom(reply, "DATA") != 354) {
    RecordError(domain, "DATA1 returned " + qmsQuoted(reply));
    return false;
  }
  // The final "." only follows a complete body: anything less must not become a message.
  if (!client_.SendBody(body_)) {
    RecordError(domain, "DATA2 returned " + qmsQuoted("(message not sent)"));
    client_.Close();
    return false;
  }
  if (client_.SendCom(reply, ".") != 250) {
    RecordError(domain, "DATA2 returned " + qmsQuoted(reply));
    return false;
  }
  Log("Message delivered to " + qmsQuoted(server_name_));
  session_.Count(mcDeliveredRemote);
  return true;
}

bool qmsTDelivery::DoQUIT(const std::string& domain) {
  std::string reply;
  if (client_.SendCom(reply, "QUIT") == 221) return true;
  RecordError(domain, "QUIT returned " + qmsQuoted(reply));
  return false;
}

// --- Reports and expiry ------------------------------------------------------------------------

void qmsTDelivery::PostDeliveryReport() {
  jvbTraceScope trace("qmsTSMTPSession.PostDeliveryReport");
  const std::string intermediate = header_->ReadString("ERROR", "IntermediateReport");
  const std::string final = header_->ReadString("ERROR", "FinalReport");
  int64_t received = 0;
  // Without a readable reception time the name's time serves; without either the message
  // counts as expired rather than staying for ever.
  if (!header_->ReadStamp("HEADER", "ReceivedAt", received)) NameTime(message_name_, received);
  const bool expired = AgeMinutes(received, now_) > session_.MessageAgeMax;

  bool queue = false;
  qmsTDeliveryReport::Kind kind = qmsTDeliveryReport::kIntermediate;
  if (!reverse_path_.empty()) {
    if (intermediate.empty()) {
      queue = true;
    } else if (expired && final.empty()) {
      queue = true;
      kind = qmsTDeliveryReport::kFinal;
    }
  }
  if (queue) {
    const std::string text = qmsTDeliveryReport::Build(session_, kind, *header_, message_name_,
                                                       reverse_path_, now_);
    std::string name;
    int error = 0;
    if (!qmsTDeliveryReport::Queue(session_, reverse_path_, text, now_, name, error)) {
      // Nothing is cleared before its report exists; the next pass tries again.
      const std::string line = "Unable to queue delivery report (" + std::to_string(error) + ")";
      qmsLog(line);
      Log(line);
      return;
    }
    if (kind == qmsTDeliveryReport::kFinal) {
      Log("Queued final delivery report");
      header_->WriteStamp("ERROR", "FinalReport", now_);
      pending_ = 0;
      session_.Count(mcExpired);
    } else {
      Log("Queued intermediate delivery report");
      header_->WriteStamp("ERROR", "IntermediateReport", now_);
    }
    SaveHeader();
    return;
  }
  if (expired && final.empty()) {
    Log("Unable to send delivery report, clearing message");
    header_->WriteStamp("ERROR", "FinalReport", now_);
    pending_ = 0;
    session_.Count(mcExpired);
    SaveHeader();
  } else if (expired) {
    // The final report went out on a pass that ended before the message was removed.
    pending_ = 0;
  }
}
