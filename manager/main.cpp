// qms32mgr [password [address]]: the windowed manager of a running server. The address is
// dotted-quad IPv4 (default 127.0.0.1), optionally followed by ":port" for a management
// service that does not listen on the standard port 4321.
#include <QApplication>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <memory>

#include "manager/formconsole.h"
#include "manager/formconsolescreen.h"
#include "manager/formservicestatus.h"
#include "manager/managerprobe.h"
#include "manager/packethandler.h"
#include "manager/serverthread.h"
#include "toolbox/socket.h"

namespace {

constexpr uint16_t kAdminPort = 4321;

struct Target {
  uint32_t address = 0x7F000001;
  uint16_t port = kAdminPort;
};

// "a.b.c.d" or "a.b.c.d:port"; false when the text is neither.
bool ParseTarget(const QString& text, Target* target) {
  QString host = text.section(':', 0, 0);
  if (text.contains(':')) {
    bool ok = false;
    uint port = text.section(':', 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535) return false;
    target->port = static_cast<uint16_t>(port);
  }
  return jvbTSocket::ParseDotted(host.toStdString(), &target->address);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QStringList args = app.arguments();  // Qt's own options taken out
  std::string password = args.value(1).toStdString();
  Target target;
  if (args.size() > 2 && !ParseTarget(args[2], &target)) {
    std::fprintf(stderr, "qms32mgr: \"%s\" is no IPv4 address\n", qPrintable(args[2]));
    return 2;
  }

  TFormConsole main;
  TFormConsoleScreen console(&main);
  TFormServiceStatus status(&main);
  main.Attach(&console, &status);
  TPacketHandler handler(password, main, console, status);
  main.SetCommandSender([&handler](const char* word) { handler.SendCommand(word); });

  std::unique_ptr<TManagerProbe> probe;
  if (qEnvironmentVariableIsSet(TManagerProbe::kVariable))
    probe = std::make_unique<TManagerProbe>(qEnvironmentVariable(TManagerProbe::kVariable), main,
                                            console, status);

  TServerThread thread(
      &main, target.address, target.port,
      [&handler](const qmpTBuffer& packet) { return handler.Handle(packet); },
      [&main](int panel, const QString& text) { main.SetPanel(panel, text); });
  handler.SetThread(&thread);
  main.show();
  thread.start();
  int rc = app.exec();
  thread.Stop();
  return rc;
}
