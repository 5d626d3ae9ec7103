// The desktop program: one copy per user, the main window, and what is cleaned up at exit.
//
//   kestrio [--page device|backup] [--screenshot FILE]
//   kestrio --scan BACKUP [--category NAME] [--deleted-only] [--select TEXT]
//           [--print | --recover-to FOLDER] [--screenshot FILE]
//   kestrio --html-to-pdf PAGE.html FILE.pdf
// --scan opens the backup folder and scans it as if it had been chosen on the backup page,
// then shows the category NAME (its command-line key, "messages", or its name in the tree),
// optionally with only the deleted items, and previews the first row with a cell reading TEXT.
// --print opens the print window over that category; --recover-to recovers every ticked item
// into FOLDER through the recovery window. --screenshot saves the window as an image once it
// is shown (after a --scan: once the scan ended and the category is shown, or once the print
// or recovery window has finished, which is what is saved then) and quits; with
// QT_QPA_PLATFORM=offscreen it needs no display.
// --html-to-pdf prints a page into a PDF file without showing anything (kestrio-cli's print
// runs it for PDF output) and exits with 0, or 1 when nothing was written.
#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QTreeView>
#include <string_view>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/platform_storage.h"
#include "base/players.h"
#include "base/single_instance.h"
#include "gui/item_list_model.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/print_window.h"
#include "gui/recover_window.h"
#include "gui/scan_page.h"
#include "gui/toolkit/popup_window.h"
#include "gui/toolkit/skin.h"

namespace {

using kestrio::MainWindow;

constexpr char kComponentFailure[] =
    "COM component registration failed, the application can not complete initialization!";

// Asks the running copy to show its window; false when no window answered.
bool RaiseRunningCopy(const kestrio::InstanceLock& lock) {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(lock.SocketPath().string()));
  if (!socket.waitForConnected(2000)) return false;
  socket.write("raise\n");
  socket.flush();
  socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return true;
}

// The preview's image support: without Qt's JPEG and PNG readers the program cannot work.
bool ImageReadersPresent() {
  const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  return formats.contains("jpeg") && formats.contains("png");
}

// Prints an HTML page into a PDF file: 0, or 1 when the page cannot be read or nothing was
// written.
int HtmlToPdf(const QString& page, const QString& pdf) {
  QFile file(page);
  if (!file.open(QIODevice::ReadOnly)) {
    kestrio::LogLine(("cannot read " + page).toStdString());
    return 1;
  }
  QTextDocument document;
  document.setHtml(QString::fromUtf8(file.readAll()));
  return kestrio::SaveAsPdf(document, pdf) ? 0 : 1;
}

// The first row of the shown list with a cell reading `text`, or -1.
int RowWithText(const kestrio::ItemListModel& model, const QString& text) {
  for (int row = 0; row < model.rowCount(); ++row) {
    for (int column = 0; column < model.columnCount(); ++column) {
      if (model.data(model.index(row, column), Qt::DisplayRole).toString() == text) return row;
    }
  }
  return -1;
}

void ShutDown() {
  kestrio::PlayerProcesses::Get().StopAll();
  kestrio::RemovePreviewCopies(kestrio::WorkFolder());
}

}  // namespace

int main(int argc, char** argv) {
  // Printing to PDF needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--html-to-pdf" && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  app.setApplicationName(kestrio::kMainWindowTitle);
  QString screenshot;
  QString page = "device";
  QString scan;
  QString category;
  bool deletedOnly = false;
  QString select;
  bool print = false;
  QString recoverTo;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--html-to-pdf")
      return i + 2 < args.size() ? HtmlToPdf(args[i + 1], args[i + 2]) : 1;
    if (args[i] == "--select" && i + 1 < args.size()) select = args[++i];
    if (args[i] == "--print") print = true;
    if (args[i] == "--recover-to" && i + 1 < args.size()) recoverTo = args[++i];
    if (args[i] == "--screenshot" && i + 1 < args.size()) screenshot = args[++i];
    if (args[i] == "--page" && i + 1 < args.size()) page = args[++i];
    if (args[i] == "--scan" && i + 1 < args.size()) scan = args[++i];
    if (args[i] == "--category" && i + 1 < args.size()) category = args[++i];
    if (args[i] == "--deleted-only") deletedOnly = true;
  }

  kestrio::toolkit::SetSkinFolder(
      QString::fromStdString((kestrio::ProgramFolder() / "Skins").string()));
  app.setStyleSheet(kestrio::toolkit::StyleSheet());

  // One copy per user: a second one shows the first one's window and ends.
  kestrio::InstanceLock lock;
  if (!lock.Acquire()) {
    if (!RaiseRunningCopy(lock))
      kestrio::MessageBox::Show(kestrio::MessageBoxKind::kInformation, nullptr, "",
                                "Kestrio is running.", 350, 150);
    return 0;
  }

  if (!ImageReadersPresent()) {
    QMessageBox::information(nullptr, "Information", kComponentFailure);
    return 0;
  }

  MainWindow window(MainWindow::Options{});
  QString error;
  if (!window.Create(&error)) {
    kestrio::LogLine(("cannot start: " + error).toStdString());
    QMessageBox::critical(nullptr, kestrio::kMainWindowTitle,
                          "Kestrio cannot start: " + error +
                              "\nPlease reinstall Kestrio or remove the Skins folder beside it.");
    ShutDown();
    return 1;
  }

  QLocalServer server;
  const QString socket = QString::fromStdString(lock.SocketPath().string());
  QLocalServer::removeServer(socket);  // left by a copy that crashed
  if (server.listen(socket)) {
    QObject::connect(&server, &QLocalServer::newConnection, &window, [&server, &window] {
      while (QLocalSocket* peer = server.nextPendingConnection()) {
        peer->deleteLater();
        window.showNormal();
        window.raise();
        window.activateWindow();
        kestrio::LogLine("a second copy asked for the window");
      }
    });
  }

  if (page == "backup" || !scan.isEmpty()) {
    if (auto* option = window.Content()->findChild<QPushButton*>("OptBackupFile")) option->click();
  }
  kestrio::toolkit::CentreWindow(&window, nullptr);
  window.show();
  const auto saveScreenshot = [&window, screenshot] {
    const bool saved = window.grab().save(screenshot);
    if (!saved) kestrio::LogLine(("cannot save the screenshot " + screenshot).toStdString());
    QApplication::exit(saved ? 0 : 1);
  };
  if (!scan.isEmpty()) {
    kestrio::BackupSummary backup;
    if (kestrio::ReadBackupSummary(scan.toStdString(), backup) != kestrio::kResultOk) {
      kestrio::LogLine(("not a backup folder: " + scan).toStdString());
      ShutDown();
      return 1;
    }
    window.ChosenBackup() = backup;
    window.RequestScan(kestrio::SourceKind::kBackupFolder);
    // Once the scan has ended and the page shows its results: the category, then the picture.
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
      kestrio::ScanPage& page = window.ScanView();
      if (!page.Run() || !page.Run()->Finished() || page.Scanning()) return;
      auto* home = page.Content()->findChild<QWidget*>("BtnHome");
      if (home && !home->isEnabled()) return;
      poll->stop();
      if (!category.isEmpty() && !page.SelectCategory(category, deletedOnly))
        kestrio::LogLine(("no category " + category + " with items").toStdString());
      if (!select.isEmpty()) {
        const int row = RowWithText(page.Model(), select);
        if (row < 0) kestrio::LogLine(("no row reads " + select).toStdString());
        if (row >= 0) page.List()->setCurrentIndex(page.Model().index(row, 0));
      }
      if (print || !recoverTo.isEmpty()) {
        // The window runs modally: it is watched from here and saved once it has finished.
        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window, [watch, screenshot] {
          QWidget* shown = QApplication::activeModalWidget();
          auto* printing = qobject_cast<kestrio::PrintWindow*>(shown);
          auto* recovering = qobject_cast<kestrio::RecoverWindow*>(shown);
          if (!(printing && printing->Ready()) && !(recovering && recovering->Finished())) return;
          watch->stop();
          QTimer::singleShot(300, shown, [shown, screenshot] {
            if (!screenshot.isEmpty() && !shown->grab().save(screenshot))
              kestrio::LogLine(("cannot save the screenshot " + screenshot).toStdString());
            static_cast<QDialog*>(shown)->done(1);
            QApplication::exit(0);
          });
        });
        watch->start(100);
        if (!recoverTo.isEmpty())
          page.SetFolderChooser([recoverTo](const QString&) { return recoverTo; });
        QTimer::singleShot(0, &window, [&page, print] {
          if (print) {
            page.Print();
          } else {
            page.Recover();
          }
        });
        return;
      }
      if (!screenshot.isEmpty()) QTimer::singleShot(300, &window, saveScreenshot);
    });
    poll->start(100);
  } else if (!screenshot.isEmpty()) {
    QTimer::singleShot(500, &window, saveScreenshot);
  }
  const int result = app.exec();
  ShutDown();
  return screenshot.isEmpty() ? 0 : result;
}
