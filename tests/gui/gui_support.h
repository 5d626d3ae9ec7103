// Helpers of the window tests: answering the next modal popup, and a temporary home for the
// program's settings and backups.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>

namespace kestrio::testing {

// Runs `act` on the next modal dialog once it is shown (polling every 10 ms, up to `tries`
// times), e.g. to click one of its buttons. The dialog is passed; nothing happens when none
// appears in time.
inline void OnNextModal(std::function<void(QDialog*)> act, int tries = 300) {
  auto* timer = new QTimer;
  auto left = std::make_shared<int>(tries);
  QObject::connect(timer, &QTimer::timeout, [timer, act, left] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
    } else if (--*left <= 0) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

}  // namespace kestrio::testing
