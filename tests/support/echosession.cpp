#include "tests/support/echosession.h"

#include "server/core/service.h"
#include "server/core/session.h"
#include "server/core/sessionfactory.h"

namespace {

class EchoSession : public qmsTSession {
 public:
  using qmsTSession::qmsTSession;

  bool Start() override {
    qmsTSession::Start();
    if (!WaitInPool()) return false;
    if (!Socket()) return true;  // a queue scan has nothing to serve
    if (!AcceptClient(ClientAddress, Socket()->peerHostName, Socket()->PeerDotted())) {
      Log("Client rejected: " + Socket()->PeerDotted());
      SendIt("-ERR access denied");
      return true;
    }
    SendIt("+OK echo ready " + Host);
    std::string line;
    for (;;) {
      int rc = ReadLine(line, 4096);
      if (rc == -3) {
        SendIt("-ERR line too long");
        continue;
      }
      if (rc != 1) break;
      if (line == "QUIT") {
        SendIt("+OK bye");
        break;
      }
      std::string value;
      if (line.rfind("VAR ", 0) == 0) {
        SendIt(GetVars(line.substr(4), value) ? "+OK " + value : "-ERR unknown");
        continue;
      }
      SendIt(line);
    }
    return true;
  }
};

std::unique_ptr<qmsTSession> MakeEcho(qmsTService* service) {
  return std::make_unique<EchoSession>(service);
}

}  // namespace

void qmsRegisterEchoSessions() {
  for (int p = prFTP; p <= prSMTP; ++p) qmsRegisterSession(p, MakeEcho);
}
