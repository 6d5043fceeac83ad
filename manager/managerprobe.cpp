#include "manager/managerprobe.h"

#include <QAction>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTabWidget>
#include <QTextBlock>
#include <QToolButton>
#include <QTreeWidget>

#include "manager/formconsole.h"
#include "manager/formconsolescreen.h"
#include "manager/formservicestatus.h"

namespace {

constexpr int kHistoryCap = 1000;
constexpr int kMemoLines = 300;

QJsonObject WindowState(const QWidget& w) {
  return {{"title", w.windowTitle()},
          {"visible", w.isVisible()},
          {"width", w.width()},
          {"height", w.height()}};
}

}  // namespace

TManagerProbe::TManagerProbe(const QString& dir, TFormConsole& main, TFormConsoleScreen& console,
                             TFormServiceStatus& status)
    : dir_(dir), main_(main), console_(console), status_(status) {
  connect(&main_, &TFormConsole::PanelChanged, this, [this](int panel, const QString& text) {
    if (panel == 2 && history_.size() < kHistoryCap) history_.append(text);
  });
  connect(&timer_, &QTimer::timeout, this, &TManagerProbe::Tick);
  timer_.start(200);
}

void TManagerProbe::Tick() {
  RunCommands();
  WriteState();
}

void TManagerProbe::RunCommands() {
  QFile file(dir_ + "/commands");
  if (!file.open(QIODevice::ReadOnly)) return;
  QStringList commands = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  file.close();
  file.remove();
  for (const QString& command : commands) Run(command.trimmed());
}

void TManagerProbe::Run(const QString& command) {
  QString verb = command.section(' ', 0, 0);
  QString name = command.section(' ', 1);
  if (verb == "click") {
    if (auto* button = main_.findChild<QToolButton*>(name)) button->click();
  } else if (verb == "trigger") {
    if (auto* action = main_.findChild<QAction*>(name)) action->trigger();
  } else if (verb == "grab") {
    Grab();
  }
  ++done_;
}

void TManagerProbe::Grab() {
  for (QWidget* w : {static_cast<QWidget*>(&main_), static_cast<QWidget*>(&console_),
                     static_cast<QWidget*>(&status_)})
    w->grab().save(dir_ + "/" + w->objectName() + ".png");
}

QJsonObject TManagerProbe::Windows() const {
  return {{main_.objectName(), WindowState(main_)},
          {console_.objectName(), WindowState(console_)},
          {status_.objectName(), WindowState(status_)}};
}

QJsonObject TManagerProbe::Controls() const {
  QJsonObject buttons, actions;
  for (auto* b : main_.findChildren<QToolButton*>())
    if (b->objectName().startsWith("ToolButton"))
      buttons[b->objectName()] = QJsonObject{{"text", b->text()}, {"checked", b->isChecked()}};
  for (auto* a : main_.findChildren<QAction*>())
    if (!a->objectName().isEmpty()) actions[a->objectName()] = a->text();
  QJsonArray tabs;
  if (auto* pages = main_.findChild<QTabWidget*>("PageControl1"))
    for (int i = 0; i < pages->count(); ++i) tabs.append(pages->tabText(i));
  QJsonArray panels{main_.Panel(0), main_.Panel(1), main_.Panel(2)};
  return {{"buttons", buttons},
          {"actions", actions},
          {"tabs", tabs},
          {"panels", panels},
          {"panel2_history", QJsonArray::fromStringList(history_)}};
}

QJsonObject TManagerProbe::Lists() const {
  QJsonArray memo;
  const QTextDocument* doc = console_.MemoConsole()->document();
  int count = doc->blockCount();
  for (QTextBlock b = doc->findBlockByNumber(std::max(0, count - kMemoLines)); b.isValid();
       b = b.next())
    memo.append(b.text());
  QTreeWidget* list = status_.ListViewServiceStatus();
  QJsonArray columns, rows;
  for (int c = 0; c < list->columnCount(); ++c) columns.append(list->headerItem()->text(c));
  for (int r = 0; r < list->topLevelItemCount(); ++r) {
    QJsonArray row;
    for (int c = 0; c < list->columnCount(); ++c) row.append(list->topLevelItem(r)->text(c));
    rows.append(row);
  }
  return {{"memo", memo}, {"memo_count", count}, {"columns", columns}, {"rows", rows}};
}

void TManagerProbe::WriteState() {
  QJsonObject state = Controls();
  state["windows"] = Windows();
  QJsonObject lists = Lists();
  for (auto it = lists.begin(); it != lists.end(); ++it) state[it.key()] = it.value();
  state["commands_done"] = done_;
  QSaveFile out(dir_ + "/state.json");
  if (!out.open(QIODevice::WriteOnly)) return;
  out.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
  out.commit();
}
