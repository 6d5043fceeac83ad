// The server with the test-only echo sessions registered for every site protocol.
#include <string>
#include <vector>

#include "server/core/protocols.h"
#include "server/core/runserver.h"
#include "tests/support/echosession.h"
#include "toolbox/qmstools.h"
#include "toolbox/trace.h"

int main(int argc, char** argv) {
  jvbInstallTraps();
  qmsDebug();
  qmsRegisterProtocols();
  qmsRegisterEchoSessions();
  std::vector<std::string> args(argv + 1, argv + argc);
  return qmsEncodeExit(qmsRunServer(args));
}
