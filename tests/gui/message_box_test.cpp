// Message boxes and the password dialog: their window files, titles and answers.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "base/settings.h"
#include "gui/decryption_dialog.h"
#include "gui/message_box.h"
#include "tests/gui/gui_support.h"

namespace kestrio {
namespace {

using toolkit::PopupWindow;

void Click(QDialog* dialog, const char* name) {
  auto* button = dialog->findChild<QPushButton*>(name);
  ASSERT_NE(button, nullptr) << name;
  button->click();
}

void PressKey(QDialog* dialog, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(dialog->focusWidget() ? dialog->focusWidget() : dialog, &press);
}

TEST(MessageBoxes, KindsHaveTheirSkinsButtonsAndDefaultTitles) {
  const struct {
    MessageBoxKind kind;
    const char* skin;
    const char* title;
    bool cancel;
  } kinds[] = {{MessageBoxKind::kError, "MessageBox_Error", "MSG0401", false},
               {MessageBoxKind::kConfirm, "MessageBox_Confirm", "MSG0402", true},
               {MessageBoxKind::kInformation, "MessageBox_Information", "MSG0403", false},
               {MessageBoxKind::kWarning, "MessageBox_Warning", "MSG0405", true},
               {MessageBoxKind::kQuestion, "MessageBox_Question", "MSG0404", true},
               // Values cast from numbers outside the kinds.
               {static_cast<MessageBoxKind>(7), "MessageBox_Error", "MSG0401", false},
               {static_cast<MessageBoxKind>(-1), "MessageBox_Error", "MSG0401", false}};
  for (const auto& k : kinds) {
    MessageBox box(k.kind, nullptr);
    ASSERT_TRUE(box.Create("", "text of the box", 550, 200)) << box.Error().toStdString();
    EXPECT_EQ(MessageBox::SkinName(k.kind), k.skin);
    const QString expected = QString::fromStdString(Settings::Get().Message(k.title));
    EXPECT_FALSE(expected.isEmpty()) << k.title;
    EXPECT_EQ(box.findChild<QLabel*>("title")->text(), expected) << static_cast<int>(k.kind);
    EXPECT_EQ(box.findChild<QLabel*>("message")->text(), "text of the box");
    EXPECT_NE(box.findChild<QPushButton*>("okbtn"), nullptr);
    EXPECT_NE(box.findChild<QPushButton*>("closebtn"), nullptr);
    EXPECT_EQ(box.findChild<QPushButton*>("cancelbtn") != nullptr, k.cancel)
        << static_cast<int>(k.kind);
    EXPECT_EQ(box.size(), QSize(550, 200));
  }
  MessageBox titled(MessageBoxKind::kInformation, nullptr);
  ASSERT_TRUE(titled.Create("Given title", "m", 350, 150));
  EXPECT_EQ(titled.findChild<QLabel*>("title")->text(), "Given title");
}

TEST(MessageBoxes, OkAnswersOneCancelCloseAndEscapeAnswerTwo) {
  testing::OnNextModal([](QDialog* d) { Click(d, "okbtn"); });
  EXPECT_EQ(MessageBox::Show(MessageBoxKind::kQuestion, nullptr, "", "ok?", 550, 200), 1);
  testing::OnNextModal([](QDialog* d) { Click(d, "cancelbtn"); });
  EXPECT_EQ(MessageBox::Show(MessageBoxKind::kQuestion, nullptr, "", "cancel?", 550, 200), 2);
  testing::OnNextModal([](QDialog* d) { Click(d, "closebtn"); });
  EXPECT_EQ(MessageBox::Show(MessageBoxKind::kQuestion, nullptr, "", "close?", 550, 200), 2);
  testing::OnNextModal([](QDialog* d) { PressKey(d, Qt::Key_Escape); });
  EXPECT_EQ(MessageBox::Show(MessageBoxKind::kInformation, nullptr, "", "escape?", 550, 200), 2);
}

TEST(PasswordDialog, ModesDescribeAndOkKeepsThePassword) {
  using Mode = DecryptionDialog::Mode;
  for (Mode mode : {Mode::kBackup, Mode::kDevice}) {
    DecryptionDialog dialog(nullptr, mode);
    ASSERT_TRUE(dialog.Create(550, 200));
    const char* id = mode == Mode::kBackup ? "MSG0601" : "MSG0602";
    EXPECT_EQ(dialog.findChild<QLabel*>("Description")->text().toStdString(),
              Settings::Get().Message(id));
    EXPECT_EQ(dialog.findChild<QLineEdit*>("EditPassword")->echoMode(), QLineEdit::Password);
  }
  QString password = "untouched";
  testing::OnNextModal([](QDialog* d) {
    d->findChild<QLineEdit*>("EditPassword")->setText("s3cret pass");
    Click(d, "BtnOK");
  });
  EXPECT_EQ(AskPassword(nullptr, Mode::kBackup, password), 1);
  EXPECT_EQ(password, "s3cret pass");
  testing::OnNextModal([](QDialog* d) {
    d->findChild<QLineEdit*>("EditPassword")->setText("typed");
    Click(d, "BtnCancel");
  });
  password = "kept";
  EXPECT_EQ(AskPassword(nullptr, Mode::kDevice, password), 2);
  EXPECT_EQ(password, "kept");
  testing::OnNextModal([](QDialog* d) { PressKey(d, Qt::Key_Escape); });
  EXPECT_EQ(AskPassword(nullptr, Mode::kBackup, password), 2);
}

TEST(Popups, MissingWindowFileIsAnErrorNotACrash) {
  PopupWindow popup(nullptr, "NoSuchWindow", "MessageBox");
  EXPECT_FALSE(popup.Create(300, 200));
  EXPECT_NE(popup.Error().indexOf("NoSuchWindow"), -1);
  EXPECT_EQ(popup.ShowModal(), 2);
}

}  // namespace
}  // namespace kestrio
