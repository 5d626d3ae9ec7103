#include "gui/toolkit/popup_window.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QTextEdit>
#include <QVBoxLayout>

#include "base/settings.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio::toolkit {

bool TakesMouse(const QWidget* widget) {
  for (const QWidget* w = widget; w; w = w->parentWidget()) {
    if (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
        qobject_cast<const QTextEdit*>(w) || qobject_cast<const QAbstractItemView*>(w))
      return true;
    if (w->isWindow()) break;
  }
  return false;
}

void CentreWindow(QWidget* window, const QWidget* owner) {
  QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
  QRect frame(QPoint(0, 0), window->size());
  frame.moveCenter(owner && owner->isVisible() ? owner->frameGeometry().center() : area.center());
  if (frame.right() > area.right()) frame.moveRight(area.right());
  if (frame.bottom() > area.bottom()) frame.moveBottom(area.bottom());
  if (frame.left() < area.left()) frame.moveLeft(area.left());
  if (frame.top() < area.top()) frame.moveTop(area.top());
  window->move(frame.topLeft());
}

PopupWindow::PopupWindow(QWidget* owner, QString skin, QString languageSection)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint),
      skin_(std::move(skin)),
      languageSection_(std::move(languageSection)) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setModal(true);
}

bool PopupWindow::Create(int width, int height) {
  content_ = LoadSkin(skin_, this, &error_);
  if (!content_) return false;
  setObjectName(content_->objectName() + "Popup");
  resize(width, height);
  ApplyTexts(content_, Settings::Get().Section(languageSection_.toStdString()));
  if (QWidget* caption = content_->findChild<QWidget*>("caption"))
    caption->installEventFilter(this);
  new Notifier(content_, [this](const Notification& n) { OnNotify(n); });
  OnInit();
  return true;
}

int PopupWindow::ShowModal() {
  if (!content_) return kCancel;
  CentreWindow(this, parentWidget());
  return exec();
}

void PopupWindow::OnNotify(const Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "okbtn") {
    Close(kOk);
  } else if (notification.name == "cancelbtn" || notification.name == "closebtn") {
    Close(kCancel);
  }
}

bool PopupWindow::eventFilter(QObject* watched, QEvent* event) {
  auto* caption = qobject_cast<QWidget*>(watched);
  if (caption && event->type() == QEvent::MouseButtonPress) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    QWidget* under = caption->childAt(mouse->position().toPoint());
    if (mouse->button() == Qt::LeftButton && !TakesMouse(under)) {
      dragging_ = true;
      dragOffset_ = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
      return true;
    }
  } else if (caption && event->type() == QEvent::MouseMove && dragging_) {
    move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - dragOffset_);
    return true;
  } else if (caption && event->type() == QEvent::MouseButtonRelease) {
    dragging_ = false;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace kestrio::toolkit
