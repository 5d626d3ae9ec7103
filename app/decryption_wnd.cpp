#include "app/decryption_wnd.h"

#include <QLabel>
#include <QLineEdit>

#include "toolkit/texts.h"

namespace kestrio {

CDecryptionWnd::CDecryptionWnd(QWidget* owner, int mode)
    : CPopUpWnd(owner, "DecryptionWnd", "DecryptionWnd"), mode_(mode) {}

void CDecryptionWnd::OnInit() {
  if (auto* edit = Content()->findChild<QLineEdit*>("EditPassword")) edit->setFocus();
  if (auto* description = Content()->findChild<QLabel*>("Description"))
    description->setText(toolkit::MessageText(mode_ == kDevice ? "MSG0602" : "MSG0601"));
}

void CDecryptionWnd::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "BtnOK") {
    if (auto* edit = Content()->findChild<QLineEdit*>("EditPassword")) password_ = edit->text();
    Close(kOk);
  } else if (notification.name == "BtnCancel" || notification.name == "closebtn") {
    Close(kCancel);
  }
}

int AskPassword(QWidget* owner, int mode, QString& password) {
  CDecryptionWnd dialog(owner, mode);
  if (!dialog.Create(550, 200)) return toolkit::CPopUpWnd::kCancel;
  const int answer = dialog.ShowModal();
  if (answer == toolkit::CPopUpWnd::kOk) password = dialog.Password();
  return answer;
}

}  // namespace kestrio
