#include "manager/formconsolescreen.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

TFormConsoleScreen::TFormConsoleScreen(QWidget* owner)
    : QWidget(owner, Qt::Tool), memo_(new QPlainTextEdit(this)) {
  setObjectName("TFormConsoleScreen");
  setWindowTitle("Console Screen");
  memo_->setObjectName("MemoConsole");
  memo_->setReadOnly(true);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo_->setMaximumBlockCount(kMaxLines);
  memo_->setFont(QFont("Monospace"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(memo_);
  resize(620, 320);
}

void TFormConsoleScreen::AddLine(const QString& line) { memo_->appendPlainText(line); }

void TFormConsoleScreen::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  emit VisibilityChanged(isVisible());
}

void TFormConsoleScreen::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  emit VisibilityChanged(isVisible());
}
