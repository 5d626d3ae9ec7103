#include "gui/toolkit/notify.h"

#include <QAbstractButton>
#include <QTimer>
#include <QTreeWidget>

#include "gui/toolkit/controls.h"

namespace kestrio::toolkit {

Notifier::Notifier(QWidget* root, Handler handler) : QObject(root), handler_(std::move(handler)) {
  if (!root) return;
  Connect(root);
  for (QObject* child : root->findChildren<QObject*>()) Connect(child);
}

void Notifier::Connect(QObject* control) {
  if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    connect(button, &QAbstractButton::clicked, this, [this, button] { Send("click", button); });
    connect(button, &QAbstractButton::toggled, this, [this, button](bool checked) {
      if (checked) Send("selectchanged", button);
    });
    if (auto* hot = qobject_cast<ButtonEx*>(control)) {
      connect(hot, &ButtonEx::hotChanged, this,
              [this, hot](bool on) { Send(on ? "onhot" : "offhot", hot); });
    }
  } else if (auto* tree = qobject_cast<QTreeWidget*>(control)) {
    connect(tree, &QTreeWidget::itemSelectionChanged, this, [this, tree] {
      QTreeWidgetItem* current = tree->currentItem();
      Send("itemselect", tree, current ? tree->indexOfTopLevelItem(current) : -1, current);
    });
    connect(tree, &QTreeWidget::itemClicked, this, [this, tree](QTreeWidgetItem* item, int) {
      Send("itemclick", tree, tree->indexOfTopLevelItem(item), item);
    });
    connect(tree, &QTreeWidget::itemDoubleClicked, this, [this, tree](QTreeWidgetItem* item, int) {
      Send("list_item_dbclick", tree, tree->indexOfTopLevelItem(item), item);
    });
    connect(tree, &QTreeWidget::itemChanged, this, [this, tree](QTreeWidgetItem* item, int column) {
      if (column == 0) Send("list_check_click", tree, tree->indexOfTopLevelItem(item), item);
    });
  }
}

void Notifier::Send(const QString& type, QObject* sender, int index, QTreeWidgetItem* item) {
  if (!handler_) return;
  Notification notification{type, sender, sender ? sender->objectName() : QString(), index, item};
  handler_(notification);
}

void Notifier::StartTimer(QObject* owner, int id, int milliseconds) {
  QPointer<QTimer>& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(this);
    QPointer<QObject> sender(owner);
    connect(timer, &QTimer::timeout, this, [this, sender, id] { Send("timer", sender, id); });
  }
  timer->start(milliseconds);
}

void Notifier::StopTimer(int id) {
  const auto it = timers_.find(id);
  if (it != timers_.end() && it->second) it->second->stop();
}

bool Notifier::TimerActive(int id) const {
  const auto it = timers_.find(id);
  return it != timers_.end() && it->second && it->second->isActive();
}

}  // namespace kestrio::toolkit
