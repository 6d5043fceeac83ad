#include <memory>

#include "server/core/service.h"
#include "server/core/sessionfactory.h"
#include "server/mail/mailregister.h"
#include "server/mail/smtpsession.h"

namespace {

std::unique_ptr<qmsTSession> MakeSmtpSession(qmsTService* service) {
  return std::make_unique<qmsTSMTPSession>(service);
}

}  // namespace

void qmsRegisterSmtp() { qmsRegisterSession(prSMTP, MakeSmtpSession); }
