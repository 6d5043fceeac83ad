#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "server/mail/mailregister.h"
#include "server/mail/pop3session.h"

void qmsRegisterPop3() { qmsRegisterSession(prPOP3, qmsMakePOP3Session); }
