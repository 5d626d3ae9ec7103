// The password dialog: asks for the password of an encrypted backup (mode 0) or of a device
// whose backups are encrypted (mode 1). "BtnOK" keeps the typed password and answers 1;
// "BtnCancel", the close button and Escape answer 2.
#pragma once

#include <QString>

#include "gui/toolkit/popup_window.h"

namespace kestrio {

class DecryptionDialog : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  enum Mode { kBackup = 0, kDevice = 1 };

  explicit DecryptionDialog(QWidget* owner, int mode = kBackup);
  void SetMode(int mode) { mode_ = mode; }
  // The password typed when the dialog was confirmed.
  const QString& Password() const { return password_; }

 protected:
  void OnInit() override;
  void OnNotify(const toolkit::Notification& notification) override;

 private:
  int mode_;
  QString password_;
};

// Shows the dialog (550 x 200 over `owner`) and gives its answer, with the password when 1.
int AskPassword(QWidget* owner, int mode, QString& password);

}  // namespace kestrio
