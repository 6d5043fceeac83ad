#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "server/mail/imap4session.h"
#include "server/mail/mailregister.h"

void qmsRegisterImap4() { qmsRegisterSession(prIMAP4, qmsMakeIMAP4Session); }
