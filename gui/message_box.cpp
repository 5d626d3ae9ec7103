#include "gui/message_box.h"

#include <QLabel>

#include "base/settings.h"
#include "gui/toolkit/texts.h"

namespace kestrio {
namespace {

// The kind's index in the tables below; a value outside the enumerators (a cast from a number)
// is an error box.
int Index(MessageBoxKind kind) {
  switch (kind) {
    case MessageBoxKind::kError:
    case MessageBoxKind::kConfirm:
    case MessageBoxKind::kInformation:
    case MessageBoxKind::kWarning:
    case MessageBoxKind::kQuestion:
      return static_cast<int>(kind);
  }
  return static_cast<int>(MessageBoxKind::kError);
}

}  // namespace

MessageBox::MessageBox(MessageBoxKind kind, QWidget* owner)
    : PopupWindow(owner, SkinName(kind), "MessageBox"),
      kind_(static_cast<MessageBoxKind>(Index(kind))) {}

QString MessageBox::SkinName(MessageBoxKind kind) {
  static const char* const kSkins[] = {"MessageBox_Error", "MessageBox_Confirm",
                                       "MessageBox_Information", "MessageBox_Warning",
                                       "MessageBox_Question"};
  return kSkins[Index(kind)];
}

const char* MessageBox::TitleId(MessageBoxKind kind) {
  static const char* const kTitles[] = {"MSG0401", "MSG0402", "MSG0403", "MSG0405", "MSG0404"};
  return kTitles[Index(kind)];
}

bool MessageBox::Create(const QString& title, const QString& message, int width, int height) {
  if (!PopupWindow::Create(width, height)) return false;
  const QString shown = title.isEmpty() ? toolkit::MessageText(TitleId(kind_)) : title;
  setWindowTitle(shown);
  if (auto* label = Content()->findChild<QLabel*>("title")) label->setText(shown);
  if (auto* label = Content()->findChild<QLabel*>("message")) label->setText(message);
  return true;
}

int MessageBox::Show(MessageBoxKind kind, QWidget* owner, const QString& title,
                     const QString& message, int width, int height) {
  MessageBox box(kind, owner);
  if (!box.Create(title, message, width, height)) return kCancel;
  return box.ShowModal();
}

}  // namespace kestrio
