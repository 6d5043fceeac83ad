// The delivery pass over the mail queue: local copies into the users' mailboxes, remote
// recipients over SMTP, retry times and delivery reports. It runs on an SMTP session's
// thread - after each client session and whenever the service's queue-scan timer
// releases a session without a client - using that session's settings and log.
#pragma once

class qmsTSMTPSession;

// One pass over every complete message ("*.hdr") of the session's QueueDirectory.
// Returns when the pass is done or the session is terminating.
void qmsDeliveryPass(qmsTSMTPSession& session);
