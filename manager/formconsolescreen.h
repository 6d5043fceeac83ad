// TFormConsoleScreen: the "Console Screen" tool window with the server's console lines.
// Created once at start and kept until the program ends; window thread only.
#pragma once

#include <QWidget>

class QPlainTextEdit;

class TFormConsoleScreen : public QWidget {
  Q_OBJECT

 public:
  // Lines kept in the memo; older lines scroll out.
  static constexpr int kMaxLines = 10000;

  explicit TFormConsoleScreen(QWidget* owner);
  void AddLine(const QString& line);
  QPlainTextEdit* MemoConsole() const { return memo_; }

 signals:
  // After every show and hide: whether the window is now open.
  void VisibilityChanged(bool visible);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QPlainTextEdit* memo_;
};
