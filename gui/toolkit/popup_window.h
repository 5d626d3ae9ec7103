// The modal popup every dialog of the program is built on: a frameless dialog whose content is
// a window file, dragged by its "caption" strip, closed with 1 by "okbtn" and with 2 by
// "cancelbtn", "closebtn", Escape or the window manager's close.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

#include "gui/toolkit/notify.h"

namespace kestrio::toolkit {

class PopupWindow : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kOk = 1;
  static constexpr int kCancel = 2;

  // `skin`: the window file; `languageSection`: the texts applied to its controls.
  PopupWindow(QWidget* owner, QString skin, QString languageSection);

  // Loads the window file at width x height, applies the texts and runs OnInit. False (with
  // the reason in Error()) when the window file is missing or broken.
  bool Create(int width, int height);
  // Centres the popup on its owner (or the screen) and runs it modally: 1 or 2. A popup whose
  // window file did not load answers 2 at once.
  int ShowModal();

  QWidget* Content() const { return content_; }
  const QString& Error() const { return error_; }

 protected:
  // After the texts are applied ("windowinit").
  virtual void OnInit() {}
  // A notification of a control; the default closes on "okbtn", "cancelbtn" and "closebtn".
  virtual void OnNotify(const Notification& notification);
  // Closes with `result` (1 or 2).
  void Close(int result) { done(result); }
  // Makes the window invisible (or visible again) while a question is asked over it, without
  // hiding it: hiding a dialog ends its modal loop.
  void Conceal(bool concealed) { setWindowOpacity(concealed ? 0.0 : 1.0); }
  void reject() override { done(kCancel); }
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString skin_;
  QString languageSection_;
  QWidget* content_ = nullptr;
  QString error_;
  QPoint dragOffset_;
  bool dragging_ = false;
};

// Centres `window` on `owner`, or on the available area of the screen, kept inside that area.
void CentreWindow(QWidget* window, const QWidget* owner);

// True when `widget` takes the mouse itself, so a press on it does not drag the window
// (buttons, edits, lists).
bool TakesMouse(const QWidget* widget);

}  // namespace kestrio::toolkit
