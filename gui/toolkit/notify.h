// Notifications: the signals of a window's controls turned into named events for the window's
// one handler, so each window reacts in one place by event type and control name:
//   "click"              a button was clicked
//   "selectchanged"      a checkable button (option) became checked
//   "itemselect"         the selected row of a list or tree changed
//   "itemclick"          a row was clicked
//   "list_item_dbclick"  a row was double-clicked
//   "list_check_click"   a row's check box changed
//   "timer"              a timer started with StartTimer fired (index: its id)
//   "onhot", "offhot"    the mouse entered or left a ButtonEx
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>

class QTreeWidgetItem;
class QTimer;
class QWidget;

namespace kestrio::toolkit {

struct Notification {
  QString type;
  QObject* sender = nullptr;
  QString name;  // the sender's objectName
  int index = -1;
  QTreeWidgetItem* item = nullptr;
};

class Notifier : public QObject {
  Q_OBJECT
 public:
  using Handler = std::function<void(const Notification&)>;

  // Connects the controls below `root` (as they are now) to `handler`.
  Notifier(QWidget* root, Handler handler);

  // Starts (or restarts) timer `id` on `owner` (a control name, for the notification's
  // sender) with the period in milliseconds.
  void StartTimer(QObject* owner, int id, int milliseconds);
  void StopTimer(int id);
  bool TimerActive(int id) const;

  // Delivers a notification as if a control had sent it (tests, and windows that forward).
  void Send(const QString& type, QObject* sender, int index = -1, QTreeWidgetItem* item = nullptr);

 private:
  void Connect(QObject* control);

  Handler handler_;
  std::map<int, QPointer<QTimer>> timers_;
};

}  // namespace kestrio::toolkit
