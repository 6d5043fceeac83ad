#include "server/mail/delivery.h"

#include "server/mail/smtpsession.h"

// Delivery is not part of this build yet: complete messages stay queued untouched.
void qmsDeliveryPass(qmsTSMTPSession& session) { (void)session; }
