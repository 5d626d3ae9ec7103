// The scan page: one scan of one source (a connected device, or the chosen backup), its
// progress, pause and stop, and the result browser built on it: the category tree, the item
// list of the selected category (or of one app's files), ticking, the deleted-only filter,
// the statistics line and the notes and findings of the scan. The main window calls
// StartScan when a page asks for a scan and hands it the run's events; the preview, the
// recovery window and the print window build on this page.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "device/device_backup_driver.h"
#include "gui/page_host.h"
#include "gui/toolkit/notify.h"
#include "scan/scan_backend.h"
#include "scan/scan_run.h"
#include "scan/selection_model.h"

class QTreeView;

namespace kestrio {

class CategoryTree;
class ItemList;
class ItemListModel;
class PreviewPane;

class ScanPage : public QObject {
  Q_OBJECT
 public:
  ScanPage(PageHost& host, QWidget* container, DeviceBackupDriver& device);
  ~ScanPage() override;

  // Loads the page into its container; false when its window file is missing or broken.
  bool Init(QString* error = nullptr);
  void ReloadTexts();

  // Starts a scan of `source` (the device, or the chosen backup with the scan password); a
  // value outside the two, or a scan still running, does nothing.
  void StartScan(SourceKind source);
  // The scan ended (0 or stopped): the page switches to browsing and the device is let go.
  void OnScanFinished();
  // Asked when the main window is closed: 1 close, 2 keep the window (the user declined).
  int CloseQuery();

  // The source of the last scan started (none before any).
  std::optional<SourceKind> CurrentSource() const { return source_; }
  bool Scanning() const { return run_ && !run_->Finished(); }
  // Why the last scan's source could not be opened (0 when it opened or is still opening).
  Result OpenResult() const { return openResult_.load(); }
  // Called with the source of every scan started (tests observe the entry point).
  void SetStartHook(std::function<void(SourceKind source)> hook) { startHook_ = std::move(hook); }
  // Makes the back-end of each scan instead of the source's own (tests stand a scripted one
  // in); null restores the default.
  using BackendFactory = std::function<std::unique_ptr<ScanBackend>(SourceKind source)>;
  void SetBackendFactory(BackendFactory factory) { backendFactory_ = std::move(factory); }
  // Asks for the output folder of a recovery (tests answer instead of the folder browser);
  // an empty answer cancels.
  using FolderChooser = std::function<QString(const QString& title)>;
  void SetFolderChooser(FolderChooser chooser) { chooseFolder_ = std::move(chooser); }
  ScanRun* Run() const { return run_.get(); }
  QWidget* Content() const { return content_; }
  CategoryTree& Tree() const { return *tree_; }
  ItemListModel& Model() const { return *model_; }
  QTreeView* List() const { return list_; }
  PreviewPane& Preview() const { return *preview_; }
  // Shows the files of the app on `row` of the app list; false on another list.
  bool OpenApp(int row);
  // Selects a lit category by its key ("messages", as the command line names it) or its
  // node's name ("Messages"), with the deleted-only filter on or off. False when no lit
  // category has that name.
  bool SelectCategory(const QString& name, bool deletedOnly);
  // The print window over the shown category (its deleted records when filtered).
  void Print();
  // Asks for the output folder, then recovers every ticked item into it.
  void Recover();
  // The rows of the notes and findings list: kind, category or file, what, where, why.
  std::vector<std::array<QString, 5>> FindingRows() const;

  // Emitted on the scan's worker thread; connect them queued (Qt::QueuedConnection) so that
  // they are handled on the window's thread, in the order the run emitted them, and the worker
  // never waits for the window.
 signals:
  // A page event of the run (the source opened far enough to show the page, or could not be
  // opened).
  void scanEvent(ScanEvent event);
  // The counts per category changed: after the source opened and after each category that
  // found something.
  void countsChanged();
  // The percent shown grew.
  void progressChanged(int percent);
  // A category was handed over with this many rows (CategoryCode, its listed count).
  void categoryHanded(int code, qulonglong count);
  // Why a category found nothing or failed (a ScanCategory).
  void categoryExplained(int category, QString file, QString reason);
  // An operation failed (a ScanCategory, or -1 for the opening of the source).
  void operationFailed(int category, int result);
  // The run ended with 0 or 2 (stopped); OnScanFinished shows the results.
  void scanFinished(Result result);

 private:
  void OnNotify(const toolkit::Notification& notification);
  void OnScanEvent(ScanEvent event);
  void OnCategoryHanded(int code, qulonglong count);
  void ShowCategory(CategoryCode code);
  void ShowList(std::unique_ptr<ItemList> list);
  void TickCategory(CategoryCode code, bool ticked);
  void OnRowsTicked();
  void SetDeletedOnly(bool on);
  void ShowFilterCount();
  void TogglePause();
  void Stop();
  void Home();
  void ResetResults();
  void EndRun();
  void ShowProgress(int percent);
  void ShowStatistics();
  // "Scan completed" (or stopped) and how much was found.
  void ShowEndTexts();
  void UpdateRecoverButton();
  void ShowFindingsButton();
  void ShowFindings();
  void SetAnimations(bool playing);
  void ShowResultArea(bool list);
  bool FoundAnything() const;

  PageHost& host_;
  QWidget* container_;
  DeviceBackupDriver& device_;
  QWidget* content_ = nullptr;
  CategoryTree* tree_ = nullptr;
  QTreeView* list_ = nullptr;
  ItemListModel* model_ = nullptr;
  PreviewPane* preview_ = nullptr;
  std::unique_ptr<ScanRun> run_;
  std::optional<SourceKind> source_;
  std::function<void(SourceKind)> startHook_;
  BackendFactory backendFactory_;
  FolderChooser chooseFolder_;
  std::atomic<Result> openResult_{kResultOk};
  bool firstSelected_ = false;
  // What the scan explained and which operations failed, in the order they came.
  std::vector<std::pair<ScanCategory, CategoryExplanation>> explanations_;
  std::map<int, Result> failures_;  // by ScanCategory; -1 the opening
};

}  // namespace kestrio
