// The password dialog: asks for the password of an encrypted backup or of a device whose
// backups are encrypted. "BtnOK" keeps the typed password and answers 1;
// "BtnCancel", the close button and Escape answer 2.
#pragma once

#include <QString>

#include "gui/toolkit/popup_window.h"

namespace kestrio {

class DecryptionDialog : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  // Whose password is asked for (the description differs).
  enum class Mode { kBackup, kDevice };

  explicit DecryptionDialog(QWidget* owner, Mode mode = Mode::kBackup);
  // The password typed when the dialog was confirmed.
  const QString& Password() const { return password_; }

 protected:
  void OnInit() override;
  void OnNotify(const toolkit::Notification& notification) override;

 private:
  Mode mode_;
  QString password_;
};

// Shows the dialog (550 x 200 over `owner`) and gives its answer, with the password when 1.
int AskPassword(QWidget* owner, DecryptionDialog::Mode mode, QString& password);

}  // namespace kestrio
