// qmsTSMTPSession: the SMTP service's session. Released with a client connection it runs
// the receiving dialogue (srvRun) and writes each accepted message into the mail queue
// as a header file and a body file (qmsTQueueFile); released without one, or after the
// client has quit, it runs one delivery pass over the queue (cliRun).
//
// Replies come from the "smtp" message file by key and section (SendTxt). Client text
// never reaches template expansion: hook arguments carry it neutralised, and replies
// only name variables whose values are inserted as they are.
//
// Threads: one session object lives on one pool thread; nothing here is shared with
// other sessions except the queue directory, where every file is created exclusively.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/core/session.h"
#include "server/mail/messagereader.h"
#include "server/mail/queuefile.h"

class qmsTSMTPClient;
class qmsTUser;

class qmsTSMTPSession : public qmsTSession {
 public:
  // Limits of one transaction and of the lines read.
  static constexpr size_t kCommandLineMax = 4096;
  static constexpr size_t kDataLineMax = 1024 * 1024;
  static constexpr int kRecipientsMax = 1000;
  static constexpr size_t kHeaderFieldsMax = qmsTMessageReader::kFieldsMax;
  static constexpr size_t kHeaderValueMax = qmsTMessageReader::kValueMax;
  static constexpr size_t kHeaderIndexMax = qmsTMessageReader::kIndexMax;
  static constexpr int kForwardDepthMax = 32;

  // Where the dialogue stands, as the command table checks it (see Phase).
  enum PhaseValue : int {
    phConnected = 0,   // no HELO or EHLO yet
    phGreeted = 1,     // greeted, no transaction open
    phMail = 2,        // MAIL accepted, no recipient yet
    phRecipients = 3,  // at least one recipient accepted
  };

  // Results of AddRecipient.
  enum RecipientResult {
    rcForwardNotAllowed = -1,
    rcNotFound = 0,
    rcLocal = 1,
    rcCatchAll = 2,
    rcRemote = 3,
  };

  // Local names met while following the "ForwardTo" settings of one recipient. The
  // followed list holds the targets that were taken, in the order taken.
  struct ForwardTrail {
    enum Mark { kInProgress, kTaken, kFailed };
    std::map<std::string, Mark> marks;  // lower-cased local names
    std::vector<std::string> followed;
  };

  explicit qmsTSMTPSession(qmsTService* service);
  ~qmsTSMTPSession() override;

  bool Start() override;
  bool GetVars(const std::string& name, std::string& value) override;

  // Reads the service settings (Start does it before waiting in the pool).
  void ReadSettings();

  void srvRun();
  // One delivery pass on this thread (see delivery.h).
  void cliRun();
  // The outgoing connection of the running delivery pass (null outside one). Monitor
  // shuts it down once the session is to end (idle time-out, stop), so that a pass
  // blocked on a remote server wakes up.
  void SetOutgoing(qmsTSMTPClient* client);
  void MonitorHook() override;

  void srvHELO(const std::string& argument, bool ehlo);
  void srvMAIL(const std::string& argument);
  void srvRCPT(const std::string& argument);
  void srvDATA(const std::string& argument = {});
  void srvRSET(bool silent);
  void srvNOOP(const std::string& argument = {});
  void srvNI(const std::string& argument = {});
  // STARTTLS: the handshake, then a session as fresh as after the greeting.
  void srvSTARTTLS(const std::string& argument);

  // The dialogue's phase: Greeted, the open transaction and its recipients.
  PhaseValue Phase() const;
  // MAIL accepted and its message neither queued nor discarded: the header file of the
  // transaction is the one record of it.
  bool TransactionOpen() const { return Header && !Header->Committed(); }

  int AddRecipient(const std::string& address, ForwardTrail& trail);
  bool AddLocal(const std::string& from, const std::string& name, ForwardTrail& trail,
                int depth = 0);
  void AddForward(bool primaryOnly, const std::string& domain, const std::string& ident);

  // The address inside the first "<" ... ">" of a MAIL or RCPT argument (double quotes
  // protect brackets; surrounding quotes trimmed); empty without "<".
  static std::string ExtractPath(const std::string& argument);
  // The address of a RCPT argument: ExtractPath without a source route ("@a,@b:").
  static std::string RecipientPath(const std::string& argument);

  // The client's host name and dotted address ("" and "0.0.0.0" without a connection).
  std::string ClientHost() const;
  std::string ClientIP() const;
  // True when the client may relay to any remote domain.
  bool ForwardAllowed() const;
  bool IsLocalDomain(const std::string& domain) const;
  bool IsForwardDomain(const std::string& domain) const;

  // --- Settings (read by ReadSettings; delivery uses them too) ---
  std::string HomeDirectory;
  bool BindOnDelivery = false;
  std::string CatchAllIdent;
  int32_t ConnectRetryDelay = 30;  // minutes
  std::string ForwardAddress;
  std::vector<std::string> ForwardDomains;  // sorted, compared without regard to case
  std::string ForwardToServer;
  std::string LocalDomain;
  std::vector<std::string> LocalDomains;  // sorted, compared without regard to case
  int32_t LookupRetries = 5;
  int32_t LookupRetryDelay = 5;  // minutes
  int32_t MessageAgeMax = 7200;  // minutes
  std::string QueueDirectory;
  // One hex digit that the queue names of this server carry (servers sharing one queue
  // directory each get their own); -1: none.
  int QueueNameTag = -1;
  // The thread id queue names are formed with.
  long QueueThreadId() const { return qmsTQueueFile::TaggedThreadId(threadId, QueueNameTag); }
  int32_t MessageSizeMax = 51200;  // KiB
  // Outgoing TLS (DeliveryTLS): 0 none (HELO as ever), 1 STARTTLS when offered, without
  // checking the certificate, 2 verified TLS for all mail; DeliveryTLSVerifyDomains
  // lists the domains that need verified TLS whatever DeliveryTLS says.
  int DeliveryTls = 0;
  std::vector<std::string> DeliveryTlsVerifyDomains;  // sorted, compared without regard to case
  bool DeliveryTlsVerified(const std::string& domain) const;

  // --- Dialogue state ---
  bool Ehlo = false;
  std::string RemoteDomain;
  bool Greeted = false;  // HELO or EHLO received
  std::string MessageName;
  std::string MessagePath;
  std::unique_ptr<qmsTQueueFile> Header;
  std::string Ident;
  std::string Domain;
  int Recipients = 0;  // recipients accepted in the open transaction
  // Names of the messages this session queued (the first kQueuedKept): when enough passes
  // run over the queue already, the session's own pass delivers these and no others.
  static constexpr size_t kQueuedKept = 100;
  std::vector<std::string> Queued;

 private:
  // Reads and runs command lines until QUIT or the end of the connection.
  void ServeCommands();
  // Runs one command line's command through the command table.
  void Dispatch(const std::string& command, const std::string& argument);
  // The reply and log line of a command given out of sequence.
  void RefuseOutOfSequence(const std::string& command, const std::string& argument);
  // RCPT: the address checked (syntax, limits; sends the refusal), then recorded.
  bool checkRCPT(const std::string& path);
  void proceedRCPT(const std::string& path);
  void ReplyRecipient(int result, const std::string& path);
  // The forwarding targets taken, once each, in name order.
  void LogFollowed(const ForwardTrail& trail);
  // DATA: the body file opened and the go-ahead sent; the text read into the reader;
  // its end and size checked (sends the refusal); the message indexed, passed to the
  // hook and queued. written: the body file was closed whole.
  bool BeginBody();
  void ReadMessage(qmsTMessageReader& reader);
  bool checkMessage(const qmsTMessageReader& reader);
  void proceedDATA(const qmsTMessageReader& reader, bool written);
  void cmdHELO(const std::string& argument) { srvHELO(argument, false); }
  void cmdEHLO(const std::string& argument) { srvHELO(argument, true); }
  void cmdRSET(const std::string& /*argument*/) { srvRSET(false); }
  bool RunHook(const char* key, const std::string& argument, std::string& output);
  void SendHookReply(const std::string& output);
  // Adds a user name to "LOCAL"/"Idents" (once).
  void AddLocalIdent(const std::string& username);
  bool ForwardTarget(qmsTUser& user, const std::string& target, ForwardTrail& trail, int depth,
                     bool& circular);
  std::string ReceivedLine() const;

  std::mutex outgoing_lock_;  // guards outgoing_ between the pass and Monitor
  qmsTSMTPClient* outgoing_ = nullptr;
};
