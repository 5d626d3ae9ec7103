#include "gui/decryption_dialog.h"

#include <QLabel>
#include <QLineEdit>

#include "gui/toolkit/texts.h"

namespace kestrio {

DecryptionDialog::DecryptionDialog(QWidget* owner, Mode mode)
    : PopupWindow(owner, "DecryptionWnd", "DecryptionWnd"), mode_(mode) {}

void DecryptionDialog::OnInit() {
  if (auto* edit = Content()->findChild<QLineEdit*>("EditPassword")) edit->setFocus();
  if (auto* description = Content()->findChild<QLabel*>("Description"))
    description->setText(toolkit::MessageText(mode_ == Mode::kDevice ? "MSG0602" : "MSG0601"));
}

void DecryptionDialog::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "BtnOK") {
    if (auto* edit = Content()->findChild<QLineEdit*>("EditPassword")) password_ = edit->text();
    Close(kOk);
  } else if (notification.name == "BtnCancel" || notification.name == "closebtn") {
    Close(kCancel);
  }
}

int AskPassword(QWidget* owner, DecryptionDialog::Mode mode, QString& password) {
  DecryptionDialog dialog(owner, mode);
  if (!dialog.Create(550, 200)) return toolkit::PopupWindow::kCancel;
  const int answer = dialog.ShowModal();
  if (answer == toolkit::PopupWindow::kOk) password = dialog.Password();
  return answer;
}

}  // namespace kestrio
