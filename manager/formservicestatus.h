// TFormServiceStatus: the "Service Status" tool window, one row per service of every group.
// The server sends the status of all its services in order each period, starting with the
// first service of the first group; a row counter follows that order. Rows are added when a
// round has more services than rows and are never removed. Window thread only.
#pragma once

#include <QWidget>

#include "manager/managertext.h"

class QTreeWidget;

class TFormServiceStatus : public QWidget {
  Q_OBJECT

 public:
  // Rows a server can make the list grow to.
  static constexpr int kMaxRows = 4096;

  explicit TFormServiceStatus(QWidget* owner);
  void Update(const mgr::ServiceStatus& status);
  QTreeWidget* ListViewServiceStatus() const { return list_; }

 signals:
  void VisibilityChanged(bool visible);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QTreeWidget* list_;
  int row_ = 0;  // row of the last status received
};
