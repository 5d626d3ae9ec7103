// Helpers of the window tests: answering modal popups, and a main window for a page alone.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QTreeWidgetItem>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "gui/category_tree.h"
#include "gui/page_host.h"

namespace kestrio::testing {

// Runs `act` on the next modal dialog once it is shown (polling every 10 ms, up to `tries`
// times), e.g. to click one of its buttons. The dialog is passed; nothing happens when none
// appears in time. The timer that waits is returned (it deletes itself once done).
inline QTimer* OnNextModal(std::function<void(QDialog*)> act, int tries = 300) {
  auto* timer = new QTimer;
  auto left = std::make_shared<int>(tries);
  QObject::connect(timer, &QTimer::timeout, [timer, act, left] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
    } else if (--*left <= 0) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
  return timer;
}

// The count a category node shows in its "(n)".
inline int NodeCount(const CategoryTree& tree, CategoryCode code) {
  const QString text = tree.Node(code)->text(0);
  const qsizetype open = text.lastIndexOf('(');
  return open < 0 ? -1 : text.mid(open + 1, text.size() - open - 2).toInt();
}

// A main window for one page: records what the page requests and asks, with a backup store
// over `roots`.
class FakeHost : public PageHost {
 public:
  FakeHost(std::vector<std::filesystem::path> roots, const std::filesystem::path& work)
      : store_(BackupStoreFolders{work / "work", work, [work] { return work / "scratch"; },
                                  std::move(roots)}) {}

  QWidget* Window() override { return &window_; }
  void RequestScan(SourceKind source) override { scanRequests.push_back(source); }
  BackupSummary& ChosenBackup() override { return chosen; }
  std::string& ScanPassword() override { return password; }
  std::unique_ptr<EncryptionSwitch>& DeviceEncryption() override { return encryption; }
  BackupStore& Store() override { return store_; }
  void LockMainTab(bool locked) override { mainTabLocked = locked; }
  void ShowMainPage(MainPage page) override { mainPage = page; }
  void OpenHelpPage(const QString& fileName) override { helpPages << fileName; }

  std::vector<SourceKind> scanRequests;
  BackupSummary chosen;
  std::string password = "left over";
  std::unique_ptr<EncryptionSwitch> encryption;
  bool mainTabLocked = false;
  std::optional<MainPage> mainPage;
  QStringList helpPages;

 private:
  QWidget window_;
  BackupStore store_;
};

// What a modal dialog showed.
struct Shown {
  QString dialog;  // the popup's name: "MessageBoxPopup", "DecryptionWndPopup"
  QString title;
  QString message;
  QSize size;
};

// One answer: the button to click, and the password typed first into a password dialog.
struct Answer {
  Answer(const char* button) : button(button) {}
  Answer(const char* button, QString password) : button(button), password(std::move(password)) {}
  const char* button;
  std::optional<QString> password;
};

// Answers the next modal dialogs in order and records what each showed. A dialog beyond the
// answers fails the test and is cancelled.
class DialogScript {
 public:
  DialogScript(std::initializer_list<Answer> answers = {}) : state_(std::make_shared<State>()) {
    state_->answers.assign(answers.begin(), answers.end());
    Arm(state_);
  }
  ~DialogScript() {
    state_->active = false;
    delete state_->waiting;  // the wait for a dialog that will not come
  }
  const std::vector<Shown>& Dialogs() const { return state_->shown; }
  bool Done() const { return state_->answers.empty(); }

 private:
  struct State {
    std::deque<Answer> answers;
    std::vector<Shown> shown;
    bool active = true;
    QPointer<QTimer> waiting;
  };

  static void Arm(std::shared_ptr<State> state) {
    state->waiting = OnNextModal([state](QDialog* dialog) {
      if (!state->active) return;  // a later test's dialog
      Shown shown{dialog->objectName(), {}, {}, dialog->size()};
      if (auto* label = dialog->findChild<QLabel*>("title")) shown.title = label->text();
      if (auto* label = dialog->findChild<QLabel*>("message")) shown.message = label->text();
      state->shown.push_back(shown);
      Arm(state);
      if (state->answers.empty()) {
        ADD_FAILURE() << "unexpected dialog " << shown.dialog.toStdString() << ": "
                      << shown.message.toStdString();
        dialog->reject();
        return;
      }
      const Answer answer = state->answers.front();
      state->answers.pop_front();
      if (answer.password) {
        auto* edit = dialog->findChild<QLineEdit*>("EditPassword");
        ASSERT_NE(edit, nullptr);
        edit->setText(*answer.password);
      }
      auto* button = dialog->findChild<QPushButton*>(answer.button);
      ASSERT_NE(button, nullptr) << answer.button;
      button->click();
    });
  }

  std::shared_ptr<State> state_;
};

}  // namespace kestrio::testing
