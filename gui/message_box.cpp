#include "gui/message_box.h"

#include <QLabel>

#include "base/settings.h"
#include "gui/toolkit/texts.h"

namespace kestrio {
namespace {

int ValidKind(int kind) { return kind >= 0 && kind <= 4 ? kind : 0; }

}  // namespace

MessageBox::MessageBox(int kind, QWidget* owner)
    : PopupWindow(owner, SkinName(kind), "MessageBox"), kind_(ValidKind(kind)) {}

QString MessageBox::SkinName(int kind) {
  static const char* const kSkins[] = {"MessageBox_Error", "MessageBox_Confirm",
                                       "MessageBox_Information", "MessageBox_Warning",
                                       "MessageBox_Question"};
  return kSkins[ValidKind(kind)];
}

const char* MessageBox::TitleId(int kind) {
  static const char* const kTitles[] = {"MSG0401", "MSG0402", "MSG0403", "MSG0405", "MSG0404"};
  return kTitles[ValidKind(kind)];
}

bool MessageBox::Create(const QString& title, const QString& message, int width, int height) {
  if (!PopupWindow::Create(width, height)) return false;
  const QString shown = title.isEmpty() ? toolkit::MessageText(TitleId(kind_)) : title;
  setWindowTitle(shown);
  if (auto* label = Content()->findChild<QLabel*>("title")) label->setText(shown);
  if (auto* label = Content()->findChild<QLabel*>("message")) label->setText(message);
  return true;
}

int MessageBox::Show(int kind, QWidget* owner, const QString& title, const QString& message,
                     int width, int height) {
  MessageBox box(kind, owner);
  if (!box.Create(title, message, width, height)) return kCancel;
  return box.ShowModal();
}

}  // namespace kestrio
