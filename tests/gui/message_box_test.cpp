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
    int kind;
    const char* skin;
    const char* title;
    bool cancel;
  } kinds[] = {
      {0, "MessageBox_Error", "MSG0401", false},       {1, "MessageBox_Confirm", "MSG0402", true},
      {2, "MessageBox_Information", "MSG0403", false}, {3, "MessageBox_Warning", "MSG0405", true},
      {4, "MessageBox_Question", "MSG0404", true},     {7, "MessageBox_Error", "MSG0401", false},
      {-1, "MessageBox_Error", "MSG0401", false}};
  for (const auto& k : kinds) {
    MessageBox box(k.kind, nullptr);
    ASSERT_TRUE(box.Create("", "text of the box", 550, 200)) << box.Error().toStdString();
    EXPECT_EQ(MessageBox::SkinName(k.kind), k.skin);
    const QString expected = QString::fromStdString(Settings::Get().Message(k.title));
    EXPECT_FALSE(expected.isEmpty()) << k.title;
    EXPECT_EQ(box.findChild<QLabel*>("title")->text(), expected) << k.kind;
    EXPECT_EQ(box.findChild<QLabel*>("message")->text(), "text of the box");
    EXPECT_NE(box.findChild<QPushButton*>("okbtn"), nullptr);
    EXPECT_NE(box.findChild<QPushButton*>("closebtn"), nullptr);
    EXPECT_EQ(box.findChild<QPushButton*>("cancelbtn") != nullptr, k.cancel) << k.kind;
    EXPECT_EQ(box.size(), QSize(550, 200));
  }
  MessageBox titled(2, nullptr);
  ASSERT_TRUE(titled.Create("Given title", "m", 350, 150));
  EXPECT_EQ(titled.findChild<QLabel*>("title")->text(), "Given title");
}

TEST(MessageBoxes, OkAnswersOneCancelCloseAndEscapeAnswerTwo) {
  testing::OnNextModal([](QDialog* d) { Click(d, "okbtn"); });
  EXPECT_EQ(MessageBox::Show(4, nullptr, "", "ok?", 550, 200), 1);
  testing::OnNextModal([](QDialog* d) { Click(d, "cancelbtn"); });
  EXPECT_EQ(MessageBox::Show(4, nullptr, "", "cancel?", 550, 200), 2);
  testing::OnNextModal([](QDialog* d) { Click(d, "closebtn"); });
  EXPECT_EQ(MessageBox::Show(4, nullptr, "", "close?", 550, 200), 2);
  testing::OnNextModal([](QDialog* d) { PressKey(d, Qt::Key_Escape); });
  EXPECT_EQ(MessageBox::Show(2, nullptr, "", "escape?", 550, 200), 2);
}

TEST(PasswordDialog, ModesDescribeAndOkKeepsThePassword) {
  for (int mode : {0, 1}) {
    DecryptionDialog dialog(nullptr, mode);
    ASSERT_TRUE(dialog.Create(550, 200));
    const char* id = mode == 0 ? "MSG0601" : "MSG0602";
    EXPECT_EQ(dialog.findChild<QLabel*>("Description")->text().toStdString(),
              Settings::Get().Message(id));
    EXPECT_EQ(dialog.findChild<QLineEdit*>("EditPassword")->echoMode(), QLineEdit::Password);
  }
  QString password = "untouched";
  testing::OnNextModal([](QDialog* d) {
    d->findChild<QLineEdit*>("EditPassword")->setText("s3cret pass");
    Click(d, "BtnOK");
  });
  EXPECT_EQ(AskPassword(nullptr, 0, password), 1);
  EXPECT_EQ(password, "s3cret pass");
  testing::OnNextModal([](QDialog* d) {
    d->findChild<QLineEdit*>("EditPassword")->setText("typed");
    Click(d, "BtnCancel");
  });
  password = "kept";
  EXPECT_EQ(AskPassword(nullptr, 1, password), 2);
  EXPECT_EQ(password, "kept");
  testing::OnNextModal([](QDialog* d) { PressKey(d, Qt::Key_Escape); });
  EXPECT_EQ(AskPassword(nullptr, 0, password), 2);
}

TEST(Popups, MissingWindowFileIsAnErrorNotACrash) {
  PopupWindow popup(nullptr, "NoSuchWindow", "MessageBox");
  EXPECT_FALSE(popup.Create(300, 200));
  EXPECT_NE(popup.Error().indexOf("NoSuchWindow"), -1);
  EXPECT_EQ(popup.ShowModal(), 2);
}

}  // namespace
}  // namespace kestrio
