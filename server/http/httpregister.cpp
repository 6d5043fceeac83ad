#include "server/http/httpregister.h"

#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "server/http/httpsession.h"

void qmsRegisterHttp() { qmsRegisterSession(prHTTP, qmsMakeHTTPSession); }
