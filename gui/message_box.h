// The program's message boxes: five kinds of skinned modal box with a title, a text and OK (and
// for some kinds Cancel). The answer is 1 for OK and 2 for Cancel, the close button or Escape.
#pragma once

#include <QString>

#include "gui/toolkit/popup_window.h"

namespace kestrio {

enum class MessageBoxKind {
  kError = 0,
  kConfirm = 1,
  kInformation = 2,
  kWarning = 3,
  kQuestion = 4
};

class MessageBox : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  // A value outside the five kinds is shown as an error.
  MessageBox(MessageBoxKind kind, QWidget* owner);

  // The window file of a kind ("MessageBox_Error", ...) and the id of its default title.
  static QString SkinName(MessageBoxKind kind);
  static const char* TitleId(MessageBoxKind kind);

  // Builds the box at width x height with `title` (empty: the kind's default title from the
  // language) and `message`.
  bool Create(const QString& title, const QString& message, int width, int height);

  // The whole call: a fresh box, shown modally; 2 when the box could not be built.
  static int Show(MessageBoxKind kind, QWidget* owner, const QString& title, const QString& message,
                  int width, int height);

 private:
  MessageBoxKind kind_;
};

}  // namespace kestrio
