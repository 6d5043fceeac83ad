#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "server/ftp/ftpsession.h"

void qmsRegisterFtp() { qmsRegisterSession(prFTP, qmsMakeFTPSession); }
