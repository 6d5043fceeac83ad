// TManagerProbe: a view of the manager's windows for the process-level tests, switched on
// only by the environment variable QMS_MANAGER_PROBE naming a directory. Every 200 ms it
// carries out the commands found in "<dir>/commands" (one a line: "click <button>",
// "trigger <action>", "grab": each window as "<window>.png") and then writes
// "<dir>/state.json": window captions and visibility, panel texts (with every text panel 2
// has shown), tool buttons, menu actions, the last console lines and the status rows.
// Without the variable nothing of it exists. Window thread only.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class TFormConsole;
class TFormConsoleScreen;
class TFormServiceStatus;

class TManagerProbe : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kVariable = "QMS_MANAGER_PROBE";

  TManagerProbe(const QString& dir, TFormConsole& main, TFormConsoleScreen& console,
                TFormServiceStatus& status);

 private:
  void Tick();
  void RunCommands();
  void Run(const QString& command);
  void Grab();
  void WriteState();
  QJsonObject Windows() const;
  QJsonObject Controls() const;
  QJsonObject Lists() const;

  QString dir_;
  TFormConsole& main_;
  TFormConsoleScreen& console_;
  TFormServiceStatus& status_;
  QTimer timer_;
  QStringList history_;  // every text of panel 2, oldest first
  int done_ = 0;         // commands carried out
};
