#include "manager/formservicestatus.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

enum Column { kPersonality, kService, kProtocol, kStatus, kPool, kSessions };

void SetIfDifferent(QTreeWidgetItem* item, int column, const QString& text) {
  if (item->text(column) != text) item->setText(column, text);
}

}  // namespace

TFormServiceStatus::TFormServiceStatus(QWidget* owner)
    : QWidget(owner, Qt::Tool), list_(new QTreeWidget(this)) {
  setObjectName("TFormServiceStatus");
  setWindowTitle("Service Status");
  list_->setObjectName("ListViewServiceStatus");
  list_->setColumnCount(6);
  list_->setHeaderLabels({"Personality", "Service", "Protocol", "Status", "Pool", "Sessions"});
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list_);
  resize(460, 200);
}

void TFormServiceStatus::Update(const mgr::ServiceStatus& s) {
  row_ = (s.groupIndex == 0 && s.serviceIndex == 0) ? 0 : row_ + 1;
  if (row_ >= kMaxRows) return;
  QString pool = QString::number(s.pool);
  QString sessions = QString::number(s.sessions);
  if (list_->topLevelItemCount() < row_ + 1) {
    list_->addTopLevelItem(new QTreeWidgetItem({s.group, s.service, mgr::ProtocolName(s.protocol),
                                                mgr::StateName(s.state), pool, sessions}));
    return;
  }
  QTreeWidgetItem* item = list_->topLevelItem(row_);
  SetIfDifferent(item, kStatus, mgr::StateName(s.state));
  SetIfDifferent(item, kPool, pool);
  SetIfDifferent(item, kSessions, sessions);
}

void TFormServiceStatus::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  emit VisibilityChanged(isVisible());
}

void TFormServiceStatus::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  emit VisibilityChanged(isVisible());
}
