// TFormConsole: the manager's main window. A "Real time" page with two tool buttons that
// open and close the Console Screen and Service Status windows (each button shows whether
// its window is open), a status bar of three panels (0: time of the server's last
// keep-alive, 1: the server's uptime, 2: the state of the connection) and the menus
// Command (Exit) and Action (Restart, Shutdown). The program ends when it is closed.
// Window thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>

class QAction;
class QLabel;
class QToolButton;
class TFormConsoleScreen;
class TFormServiceStatus;

class TFormConsole : public QMainWindow {
  Q_OBJECT

 public:
  TFormConsole();
  // The two tool windows, created after this window and owned by it.
  void Attach(TFormConsoleScreen* console, TFormServiceStatus* status);
  // Where the Action menu's command words go.
  void SetCommandSender(std::function<void(const char*)> send) { send_ = std::move(send); }
  void SetPanel(int panel, const QString& text);
  QString Panel(int panel) const;

 signals:
  void PanelChanged(int panel, const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private slots:
  void ToolButton4Click();
  void ToolButton1Click();
  void Restart1Click();
  void Shutdown1Click();

 private:
  void CreateMenus();
  QWidget* CreatePage();
  void CreateStatusBar();
  QToolButton* CreateButton(const char* name, const char* caption);

  std::array<QLabel*, 3> panels_{};
  QToolButton* button4_ = nullptr;
  QToolButton* button1_ = nullptr;
  TFormConsoleScreen* console_ = nullptr;
  TFormServiceStatus* status_ = nullptr;
  std::function<void(const char*)> send_;
};
