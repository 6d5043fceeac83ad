// qmsTDeliveryReport: the delivery report about one queued message - which recipients
// failed and why (taken from the message's header), the report text (the "DELIVERY.*"
// templates of the SMTP message file, expanded with the session's variables) and its
// queueing as a new message from the empty reverse path to the reported message's
// sender and the local "postmaster".
//
// Report variables set on the session (besides the names of the message file's own
// documentation): smtp.lookupfailures, smtp.connectfailures, smtp.mailboxfailures,
// smtp.failures, smtp.from, smtp.date, smtp.timezone ("+hhmm" of smtp.date),
// smtp.reversepath (the reported message's sender), and while the report is expanded
// messagename / messagepath and smtp.!FIELD of the reported message.
//
// Static helpers; used on the session's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "toolbox/timeutil.h"

class qmsTDeliveryHeader;
class qmsTSMTPSession;

class qmsTDeliveryReport {
 public:
  enum Kind { kIntermediate, kFinal };

  // Lines of TAB, recipient or domain, TAB, reason, CR LF.
  struct Lists {
    std::string lookup;   // pending domains whose exchangers could not be found
    std::string connect;  // pending domains whose servers could not be reached
    std::string mailbox;  // pending recipients a remote server refused
  };

  // Where a report about a message from reversePath goes.
  struct Recipients {
    std::vector<std::string> local;  // local users ("postmaster" always among them)
    std::string domain;              // the sender's remote domain with "@", or empty
    std::string ident;               // the sender's local part at that domain
  };

  // The failure lists of a header as the pass has just written it.
  static Lists FailureLists(const qmsTDeliveryHeader& header);
  // The report recipients for a sender address; isLocalDomain gets a domain with "@".
  static Recipients ReportRecipients(const std::string& reversePath,
                                     const std::function<bool(const std::string&)>& isLocalDomain);

  // "ddd, d mmm yyyy hh:nn:ss" of a local time (English names).
  static std::string DateText(const jvb::DateTime& local);
  // The local time's offset from UTC at that instant, "+hhmm" or "-hhmm".
  static std::string ZoneText(int64_t epochMs);

  // Sets the report variables and returns the expanded report of the given kind (empty
  // when the message file has no such section). header is the reported message's.
  static std::string Build(qmsTSMTPSession& session, Kind kind, const qmsTDeliveryHeader& header,
                           const std::string& messageName, const std::string& reversePath,
                           int64_t nowMs);

  // Queues text as a complete new message in the session's queue directory. True (and
  // the new message's name) only once its header carries the final name.
  static bool Queue(qmsTSMTPSession& session, const std::string& reversePath,
                    const std::string& text, int64_t nowMs, std::string& name, int& error);
};
