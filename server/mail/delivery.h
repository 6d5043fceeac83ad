// The delivery pass over the mail queue: local copies into the users' mailboxes, remote
// recipients over SMTP, retry times and delivery reports. It runs on an SMTP session's
// thread - after each client session and whenever the service's queue-scan timer
// releases a session without a client - using that session's settings and log.
//
// Ownership of a message: whoever holds its "N.lck" (created and locked exclusively; a
// crashed holder's lock dies with it, and the file is removed while still locked) and
// its header "N.hdr" (held exclusively). Several passes may run at once; each skips the
// messages another one holds. Within one process, qmsTQueuePasses keeps the number of
// passes per queue small and hands each message to one of them before its lock file is
// made: a pass per finished client session would otherwise have every pass try every
// message, and the directory churn of their lock files grows with the square of the load.
//
// Crash safety: the header is replaced whole at every step that changes what has been
// delivered (see qmsTDeliveryHeader), right after each local copy and right after each
// remote server accepted the message; only the last local copy of a message that has
// nothing else left is not recorded, since removing the message is its record. A pass
// killed at any point therefore repeats at most the one step it was in: a local copy is
// written again, finds its own bytes under its name and adds nothing (so the user sees it
// once), a remote transaction whose "250" had arrived but was not yet recorded is sent
// again (the unavoidable duplicate of SMTP).
//
// Settings: those of qmsTSMTPSession (read from the service section), and "DeliveryPort"
// (default 25): the port remote servers are connected to.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "server/mail/deliveryheader.h"
#include "server/mail/smtpclient.h"
#include "toolbox/textfile.h"

class jvbTDnsQuery;
class qmsTSMTPSession;

// One pass over every complete message ("*.hdr") of the session's QueueDirectory.
// Returns when the pass is done or the session is terminating. When enough passes of this
// process run over that queue, only the messages the session queued itself are tried, and
// one of the running passes lists the queue again.
void qmsDeliveryPass(qmsTSMTPSession& session);

// The delivery passes of this process over one queue directory.
class qmsTQueuePasses {
 public:
  // Passes that may run over one queue at once: enough to keep the disk's write cache
  // and the processors busy while others wait for their sync.
  static constexpr int kRunningMax = 4;

  // The one object of a queue directory (by its name, as the settings give it).
  static qmsTQueuePasses& For(const std::string& directory);

  // A pass asks to run. False when kRunningMax run already: the first of them to finish
  // its listing lists the queue again, so whatever the caller queued before still goes.
  bool Enter();
  // A running pass finished a listing: true when it is to list again (asked for since it
  // entered or last listed); false when it has left. stop: leave in any case.
  bool Again(bool stop);
  // A message is worked on by one pass of this process at a time.
  bool Claim(const std::string& name);
  void Unclaim(const std::string& name);

  int Running();

 private:
  std::mutex lock_;
  int running_ = 0;
  bool asked_ = false;
  std::set<std::string> claimed_;
};

class qmsTDelivery {
 public:
  static constexpr int64_t kNextTryMs = 4 * 60 * qmsTDeliveryHeader::kMinuteMs;
  static constexpr uint16_t kDefaultPort = 25;
  // Age after which a body or an unfinished header without "N.hdr" is a crash's leftover.
  static constexpr int64_t kOrphanAgeSeconds = 3600;

  explicit qmsTDelivery(qmsTSMTPSession& session);
  ~qmsTDelivery();
  qmsTDelivery(const qmsTDelivery&) = delete;
  qmsTDelivery& operator=(const qmsTDelivery&) = delete;

  // Removes what transactions cut off by a crash left in the queue: "N.inc" and "N.msg"
  // files without "N.hdr", and private ".new" files, that have not changed for an hour
  // and that no session holds open (each removal is logged). A pass does it first.
  void SweepOrphans();
  // Every complete message of the queue, once, in name order.
  void ScanQueue();
  // One message by name (without extension); false when it was left alone (held by
  // another pass, incomplete, or its retry time has not come).
  bool ProcessMessage(const std::string& name);
  // Recipients the held header still lists (local idents and the idents of its domains).
  int PendingRecipients() const;

  uint16_t Port() const { return port_; }

  // Retry arithmetic. The message's next try after a pass that tried domains: four
  // hours, or the earliest domain retry time when that comes first.
  static int64_t EarlierOf(int64_t a, int64_t b) { return a < b ? a : b; }
  // A domain's retry time after a failed ConnectToDomainMX.
  static int64_t FailedDomainRetry(int64_t now, bool connectError, bool lookupError,
                                   int32_t connectRetryMinutes, int32_t lookupRetryMinutes);
  // Whole minutes from receivedAt to now (0 when now lies before it).
  static int64_t AgeMinutes(int64_t receivedAt, int64_t now);
  // The local time a queue name was formed at (seconds since 1980), as epoch milliseconds.
  static bool NameTime(const std::string& name, int64_t& epochMs);

  // --- The steps of one message (public for the tests; the header must be open) ---
  bool ConnectToDomainMX(const std::string& domain);
  bool DoHELO(const std::string& domain);
  // EHLO, and STARTTLS when the server offers it; false (recorded) when verified TLS was
  // asked for and did not come about, or the connection failed.
  bool DoEHLO(const std::string& domain, bool verify);
  bool UpgradeToTls(const std::string& domain, bool verify);
  bool DoPlainHELO(const std::string& domain);
  bool DoMAIL(const std::string& domain);
  bool DoRCPT(const std::string& ident, const std::string& domain);
  bool DoData(const std::string& domain);
  bool DoQUIT(const std::string& domain);
  void PostDeliveryReport();

 private:
  void DeliverLocal();
  void DeliverRemote();
  void DeliverDomain(const std::string& domain, std::vector<std::string>& idents);
  void RecordLookupError(const std::string& domain, const std::string& text);
  void RecordConnectError(const std::string& domain, const std::string& text);
  void RecordError(const std::string& key, const std::string& text);
  bool Connect(uint32_t address, const std::string& host);
  // The ways to a domain's server; each records its lookup or connect errors, true
  // when connected. ReachDomain picks the way: the forward server, the exchangers, or
  // after repeated lookup failures the domain's own address.
  bool ReachDomain(const std::string& domain, const std::string& name, int32_t storedLookupErrors);
  bool ConnectToForwardServer(const std::string& domain, const std::string& name, uint32_t forward);
  bool ConnectToExchangers(const std::string& domain, const std::string& name,
                           const jvbTDnsQuery& mx);
  // The address of exchanger host (host becomes its canonical name), or false.
  bool ResolveExchanger(const std::string& domain, jvbTDnsQuery& a, std::string& host,
                        uint32_t& address);
  bool ConnectToDomainAddress(const std::string& domain, const std::string& name);
  // True when the connected server greets with 220; otherwise the connection is closed.
  bool Greeted();
  void SaveHeader();
  void ResetIdle();
  bool Terminating() const;
  void Log(const std::string& text);

  qmsTSMTPSession& session_;
  qmsTQueuePasses& passes_;  // of the session's queue
  uint16_t port_ = kDefaultPort;
  qmsTSMTPClient client_;

  // Per message.
  std::string message_name_;
  std::string message_path_;  // QueueDirectory + "/" + name, without extension
  std::unique_ptr<qmsTDeliveryHeader> header_;
  jvbTTextFile body_;
  std::string reverse_path_;
  std::vector<std::string> success_;
  int64_t now_ = 0;
  int64_t next_try_ = 0;
  int pending_ = 0;
  // Per domain (ConnectToDomainMX and the client steps).
  int64_t domain_retry_ = 0;
  int32_t lookup_errors_ = 0;
  int32_t connect_errors_ = 0;
  bool lookup_recorded_ = false;
  bool connect_recorded_ = false;
  std::string server_name_;  // the connected server, for "Message delivered to"
};
