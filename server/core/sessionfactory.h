// Session classes by protocol number. Each protocol library registers its factory at start
// (qmsRegisterProtocols in the server's main); ClientThread creates sessions through it.
#pragma once

#include <memory>

class qmsTService;
class qmsTSession;

using qmsTSessionFactory = std::unique_ptr<qmsTSession> (*)(qmsTService* service);

void qmsRegisterSession(int protocol, qmsTSessionFactory factory);
qmsTSessionFactory qmsFindSession(int protocol);
void qmsClearSessionFactories();  // tests
