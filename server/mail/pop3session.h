// qmsTPOP3Session: the POP3 service (protocol 4). A client proves who it is (USER and
// PASS, or APOP with the digest of the greeting's time stamp and the account's APOP
// secret), which locks the account's Inbox for the rest of the connection; it then lists,
// reads and marks messages, and QUIT deletes the marked ones. A connection that ends any
// other way leaves every message in place. The mailbox store is qmsTMailbox, the lock and
// index qmsTMailboxLock.
//
// Replies come from "messages/pop3/pop3.res" by section (the command, "GLOB", "CONNECT",
// "QUIT") and key ("OKa", "OKb", "ERRa" ... "ERRd"). A few texts carry the literal forms
// %(message), %(messagesize), %(messageid) and %(usr.username), which the session fills in
// before sending; what it fills in is made inert first, so a client's text never becomes
// a template expression.
//
// Threads: everything runs on the session's own pooled thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/core/session.h"
#include "server/mail/mailboxlock.h"

class qmsTService;

class qmsTPOP3Session : public qmsTSession {
 public:
  // Longest command line read; longer lines are answered with GLOB/ERRa.
  static constexpr size_t kMaxLine = 4096;
  // Body blocks read from a message file per send.
  static constexpr size_t kBlockSize = 32768;

  explicit qmsTPOP3Session(qmsTService* service);
  ~qmsTPOP3Session() override;

  bool Start() override;
  bool GetVars(const std::string& name, std::string& value) override;

  // Message-number argument: a decimal number (optional sign) and nothing else; anything
  // else counts as 0, which is never a valid message number.
  static int64_t MessageNumber(const std::string& text);

  // The dialogue's state; the numbers are what the "status" variable shows.
  enum StatusValue : int {
    stAuthorization = 0,  // nobody identified yet
    stUserGiven = 1,      // USER accepted, PASS expected
    stTransaction = 2,    // logged in, the Inbox locked
  };

  std::string HomeDirectory;
  StatusValue Status = stAuthorization;
  std::string Greeting;
  int64_t MessageCount = 0;  // "Messages" (the base has Messages() for the message file)
  int64_t MessagesSize = 0;
  std::string Mailbox;  // the Inbox, real path with a trailing "/"

 private:
  void Serve();
  // Reads and runs command lines until QUIT or the end of the connection.
  void ServeCommands();
  // The greeting with its APOP time stamp (kept in Greeting).
  void Greet();
  // Runs one command through the command table (QUIT is the serving loop's own).
  void Dispatch(const std::string& command, const std::string& argument);
  // The reply to a command given in a state that does not allow it.
  void RefuseOutOfState(const std::string& command);
  // Command handlers: the command word as given and its argument.
  void cAPOP(const std::string& command, const std::string& argument);
  void cDELE(const std::string& command, const std::string& argument);
  void cLIST(const std::string& command, const std::string& argument);
  void cNOOP(const std::string& command, const std::string& argument);
  // CAPA and STLS exist only on a service with TLS; a plain one answers them as before.
  void cCAPA(const std::string& command, const std::string& argument);
  void cSTLS(const std::string& command, const std::string& argument);
  // A plain login refused on a service that requires TLS first (answered and logged).
  bool RefusedWithoutTls();
  void cPASS(const std::string& command, const std::string& argument);
  void cQUIT();
  void cRETR(const std::string& command, const std::string& argument);
  // RETR and TOP: the message number and line count checked (sends the refusal), giving
  // the entry, n and the body-line limit; then the file opened and sent.
  const qmsTMailboxEntry* checkRETR(const std::string& command, const std::string& argument,
                                    int64_t& n, int64_t& limit);
  void proceedRETR(const std::string& command, const qmsTMailboxEntry& e, int64_t n, int64_t limit);
  void cRSET(const std::string& command, const std::string& argument);
  void cSTAT(const std::string& command, const std::string& argument);
  void cUSER(const std::string& command, const std::string& argument);
  bool LockMailbox();
  // The identified user may not use this service, whatever kind of account it is.
  bool MailDenied();

  using Values = std::vector<std::pair<std::string, std::string>>;
  // The expanded reply line of a message-file text, literal placeholders filled in.
  std::string ReplyLine(const std::string& key, const std::string& section,
                        const Values& values = {});
  // Reply built from a message-file text with literal placeholders filled in.
  void SendFilled(const std::string& key, const std::string& section, const Values& values);
  // Streams a message file after the reply line through a qmsTDotStuffer (limit: body
  // lines, negative for all). The reply line travels with the first data, so the client
  // never waits for a lone segment.
  void SendMessage(const std::string& reply, jvbTTextFile& file, int64_t limit);
  void LogFormat(const char* format, const std::string& text, int64_t number);

  qmsTMailboxLock lock_;
  bool quit_failed_ = false;  // QUIT could not delete every marked message
};

// The session factory of protocol 4 (POP3), registered by qmsRegisterPop3.
std::unique_ptr<qmsTSession> qmsMakePOP3Session(qmsTService* service);
