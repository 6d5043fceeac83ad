#include "server/core/protocols.h"

#include "server/admin/adminsession.h"
#include "server/ftp/ftpsession.h"
#include "server/http/httpregister.h"
#include "server/mail/mailregister.h"
#include "server/scripting/scriptregister.h"

// Each protocol library adds its registration here as it joins the server.
void qmsRegisterProtocols() {
  qmsRegisterScripting();
  qmsRegisterAdmin();
  qmsRegisterSmtp();
  qmsRegisterPop3();
  qmsRegisterImap4();
  qmsRegisterFtp();
  qmsRegisterHttp();
}
