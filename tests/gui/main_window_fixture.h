// A main window over a generated backup root and a fake device, for the window tests: the
// backup "roots/one" (seed 21) is listed, no device is attached, web pages are recorded.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "backup/backup_summary.h"
#include "gui/main_window.h"
#include "gui/scan_page.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio::testing {

namespace fs = std::filesystem;
namespace fx = fixtures;

class MainWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    fx::BackupOptions options;
    options.seed = 21;
    fx::WriteBackup(dir_ / "roots" / "one", options);
    MainWindow::Options o;
    o.folders.workFolder = dir_ / "work";
    o.folders.programFolder = dir_ / "program";
    const fs::path scratch = dir_ / "scratch";
    o.folders.temporaryBackupFolder = [scratch] { return scratch; };
    o.folders.backupRoots = {dir_ / "roots"};
    driver_.connected = false;
    driver_.attached = false;
    o.device = &driver_;
    o.deviceSupport = [this] { return support_; };
    o.openUrl = [this](const QUrl& url) { opened_ << url; };
    o.helpFolder = dir_ / "help";
    options_ = o;
    Recreate();
  }
  // Builds the window again from options_.
  void Recreate() {
    window_.reset();
    window_ = std::make_unique<MainWindow>(options_);
    QString error;
    ASSERT_TRUE(window_->Create(&error)) << error.toStdString();
  }
  template <typename T>
  T* Find(const char* name) {
    return window_->Content()->findChild<T*>(name);
  }
  // Lets queued messages and the scan worker's posts arrive, until `done` or ~20 s.
  template <typename Done>
  void ProcessUntil(Done done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      QApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Scans a fresh backup written with `seed` (spoilt by `spoil` first) to its end.
  fx::BackupModel ScanBackup(std::uint32_t seed,
                             const std::function<void(const fs::path&)>& spoil = {}) {
    fx::BackupOptions options;
    options.seed = seed;
    const fs::path folder = dir_ / ("backup" + std::to_string(seed));
    fx::BackupModel model = fx::WriteBackup(folder, options);
    if (spoil) spoil(folder);
    EXPECT_EQ(ReadBackupSummary(folder, window_->ChosenBackup()), kResultOk);
    ScanPage& page = window_->ScanView();
    int started = 0;
    page.SetStartHook([&started](SourceKind) { ++started; });
    window_->RequestScan(SourceKind::kBackupFolder);
    QWidget* home = window_->Content()->findChild<QWidget*>("BtnHome");
    ProcessUntil([&] { return started > 0 && page.Run()->Finished() && home->isEnabled(); });
    page.SetStartHook({});
    EXPECT_TRUE(home->isEnabled());
    return model;
  }

  fx::TempDir dir_;
  FakeDeviceDriver driver_{"udid", false};
  bool support_ = false;
  QList<QUrl> opened_;
  MainWindow::Options options_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace kestrio::testing
