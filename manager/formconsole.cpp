#include "manager/formconsole.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "manager/formconsolescreen.h"
#include "manager/formservicestatus.h"
#include "toolbox/names.h"

TFormConsole::TFormConsole()
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName("TFormConsole");
  setWindowTitle("Quillmar/32 Manager");
  CreateMenus();
  setCentralWidget(CreatePage());
  CreateStatusBar();
  setWindowTitle(QString(qms::kProductTitle) + " Manager");
  // The client area below the menu bar keeps its size; the menu bar adds its own height.
  setFixedSize(292, 79 + menuBar()->sizeHint().height());
}

void TFormConsole::CreateMenus() {
  QMenu* command = menuBar()->addMenu("&Command");
  command->setObjectName("Command1");
  QAction* exit = command->addAction("E&xit");
  exit->setObjectName("Exit1");
  connect(exit, &QAction::triggered, this, &QWidget::close);
  QMenu* action = menuBar()->addMenu("&Action");
  action->setObjectName("Action1");
  QAction* restart = action->addAction("Restart");
  restart->setObjectName("Restart1");
  connect(restart, &QAction::triggered, this, &TFormConsole::Restart1Click);
  QAction* shutdown = action->addAction("Shutdown");
  shutdown->setObjectName("Shutdown1");
  connect(shutdown, &QAction::triggered, this, &TFormConsole::Shutdown1Click);
}

QToolButton* TFormConsole::CreateButton(const char* name, const char* caption) {
  auto* button = new QToolButton;
  button->setObjectName(name);
  button->setText(caption);
  button->setCheckable(true);
  button->setAutoRaise(true);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  return button;
}

QWidget* TFormConsole::CreatePage() {
  auto* pages = new QTabWidget;
  pages->setObjectName("PageControl1");
  auto* page = new QWidget;
  page->setObjectName("TabSheet1");
  auto* bar = new QToolBar(page);
  bar->setObjectName("ToolBar1");
  bar->setMovable(false);
  button4_ = CreateButton("ToolButton4", "Console Screen");
  button1_ = CreateButton("ToolButton1", "Service Status");
  bar->addWidget(button4_);
  bar->addWidget(button1_);
  connect(button4_, &QToolButton::clicked, this, &TFormConsole::ToolButton4Click);
  connect(button1_, &QToolButton::clicked, this, &TFormConsole::ToolButton1Click);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(bar);
  layout->addStretch(1);
  pages->addTab(page, "Real time");
  return pages;
}

void TFormConsole::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName("StatusBar");
  bar->setSizeGripEnabled(false);
  for (size_t i = 0; i < panels_.size(); ++i) {
    panels_[i] = new QLabel;
    panels_[i]->setObjectName(QString("Panel%1").arg(i));
    panels_[i]->setFrameShape(QFrame::Panel);
    panels_[i]->setFrameShadow(QFrame::Sunken);
  }
  // At least the classic widths; wider where the font needs it for "hh:nn:ss" and an uptime.
  auto fit = [](QLabel* label, int width, const char* sample) {
    int need = label->fontMetrics().horizontalAdvance(sample) + 2 * label->frameWidth() + 6;
    label->setFixedWidth(std::max(width, need));
  };
  fit(panels_[0], 50, "88:88:88");
  fit(panels_[1], 80, "88/88:88:88");
  panels_[0]->setAlignment(Qt::AlignCenter);
  panels_[1]->setAlignment(Qt::AlignCenter);
  bar->addWidget(panels_[0]);
  bar->addWidget(panels_[1]);
  bar->addWidget(panels_[2], 1);
}

void TFormConsole::Attach(TFormConsoleScreen* console, TFormServiceStatus* status) {
  console_ = console;
  status_ = status;
  connect(console, &TFormConsoleScreen::VisibilityChanged, button4_, &QToolButton::setChecked);
  connect(status, &TFormServiceStatus::VisibilityChanged, button1_, &QToolButton::setChecked);
  button4_->setChecked(console->isVisible());
  button1_->setChecked(status->isVisible());
}

void TFormConsole::SetPanel(int panel, const QString& text) {
  if (panel < 0 || static_cast<size_t>(panel) >= panels_.size()) return;
  panels_[panel]->setText(text);
  emit PanelChanged(panel, text);
}

QString TFormConsole::Panel(int panel) const {
  if (panel < 0 || static_cast<size_t>(panel) >= panels_.size()) return {};
  return panels_[panel]->text();
}

void TFormConsole::ToolButton4Click() {
  if (console_) console_->setVisible(!console_->isVisible());
}

void TFormConsole::ToolButton1Click() {
  if (status_) status_->setVisible(!status_->isVisible());
}

void TFormConsole::Restart1Click() {
  if (send_) send_("restart");
}

void TFormConsole::Shutdown1Click() {
  if (send_) send_("shutdown");
}

// The program ends with its main window, whichever tool windows are open.
void TFormConsole::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  if (event->isAccepted()) QCoreApplication::quit();
}
