// The administration pages under "/!admin".
#include "server/http/httpsession.h"

void qmsTHTTPSession::SendAdmin() {
  Fail(500, "Administration pages are not available");
  SendError(500);
}
