#include "gui/scan_page.h"

#include <unistd.h>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>

#include "base/paths.h"
#include "gui/category_tree.h"
#include "gui/findings_window.h"
#include "gui/item_list_model.h"
#include "gui/message_box.h"
#include "gui/preview_pane.h"
#include "gui/print_window.h"
#include "gui/recover_window.h"
#include "gui/toolkit/controls.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"
#include "output/formatters.h"
#include "output/item_list.h"
#include "output/preview.h"
#include "scan/device_source.h"

namespace kestrio {
namespace {

using toolkit::FindControl;
using toolkit::MessageText;

constexpr char kBackupAnimation[] = ":/xml/images/iTunesScanning.gif";
constexpr char kDeviceAnimation[] = ":/xml/images/DeviceScanning.gif";
constexpr char kLoadingAnimation[] = ":/xml/images/loading.gif";

void SetVisible(QWidget* root, const char* name, bool visible) {
  if (auto* widget = FindControl<QWidget>(root, name)) widget->setVisible(visible);
}
void SetEnabled(QWidget* root, const char* name, bool enabled) {
  if (auto* widget = FindControl<QWidget>(root, name)) widget->setEnabled(enabled);
}
void SetText(QWidget* root, const char* name, const QString& text) {
  if (auto* label = FindControl<QLabel>(root, name)) label->setText(text);
}

// A message used as a format: each %s and %d in turn takes the next value.
QString Format(const QString& format, std::initializer_list<QString> values) {
  QString shown;
  auto next = values.begin();
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() &&
        (format[i + 1] == 's' || format[i + 1] == 'd')) {
      if (next != values.end()) shown += *next++;
      ++i;
    } else {
      shown += format[i];
    }
  }
  return shown;
}

QString MessageOr(const char* id, const char* fallback) {
  const QString text = MessageText(id);
  return text.isEmpty() ? QString(fallback) : text;
}

// Space ticks or unticks the selected rows of the item list (all alike: unticked when the
// current row is ticked, else ticked).
class SpaceTicks : public QObject {
 public:
  SpaceTicks(QTreeView* view, ItemListModel* model) : QObject(view), view_(view), model_(model) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Space && key != Qt::Key_Select) return false;
    const QModelIndex current = view_->currentIndex();
    if (!current.isValid()) return true;
    QList<int> rows;
    for (const QModelIndex& index : view_->selectionModel()->selectedRows()) rows << index.row();
    if (!rows.contains(current.row())) rows = {current.row()};
    model_->Tick(rows, model_->CheckState(current.row()) == Qt::Unchecked);
    return true;
  }

 private:
  QTreeView* view_;
  ItemListModel* model_;
};

}  // namespace

ScanPage::ScanPage(PageHost& host, QWidget* container, DeviceBackupDriver& device)
    : QObject(container), host_(host), container_(container), device_(device) {
  connect(this, &ScanPage::progressChanged, this, &ScanPage::ShowProgress, Qt::QueuedConnection);
  connect(this, &ScanPage::scanEvent, this, &ScanPage::OnScanEvent, Qt::QueuedConnection);
  connect(this, &ScanPage::categoryHanded, this, &ScanPage::OnCategoryHanded, Qt::QueuedConnection);
  connect(
      this, &ScanPage::categoryExplained, this,
      [this](int category, const QString& file, const QString& reason) {
        explanations_.emplace_back(static_cast<ScanCategory>(category),
                                   CategoryExplanation{file.toStdString(), reason.toStdString()});
        ShowFindingsButton();
      },
      Qt::QueuedConnection);
  connect(
      this, &ScanPage::operationFailed, this,
      [this](int category, int result) {
        failures_[category] = result;
        ShowFindingsButton();
      },
      Qt::QueuedConnection);
}

// The worker's callbacks read run_: it is stopped and waited for while run_ still points at
// it, and only then let go.
void ScanPage::EndRun() {
  if (run_) {
    if (!run_->Finished()) run_->Stop();
    run_->Wait();
  }
  run_.reset();
}

ScanPage::~ScanPage() { EndRun(); }

bool ScanPage::Init(QString* error) {
  content_ = toolkit::LoadSkin("PageScan", container_, error);
  if (!content_) return false;
  new toolkit::Notifier(content_, [this](const toolkit::Notification& n) { OnNotify(n); });

  auto* tree = FindControl<QTreeWidget>(content_, "NodeTree");
  list_ = FindControl<QTreeView>(content_, "DataList");
  if (!tree || !list_) {
    if (error) *error = "the scan page lacks its tree or its list";
    return false;
  }
  tree_ = new CategoryTree(tree);
  connect(tree_, &CategoryTree::categorySelected, this, &ScanPage::ShowCategory);
  connect(tree_, &CategoryTree::categoryTicked, this, &ScanPage::TickCategory);

  model_ = new ItemListModel(list_);
  list_->setModel(model_);
  list_->header()->setStretchLastSection(true);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(false);
  list_->installEventFilter(new SpaceTicks(list_, model_));
  connect(model_, &ItemListModel::ticksChanged, this, &ScanPage::OnRowsTicked);
  connect(list_->header(), &QHeaderView::sectionClicked, this, [this](int section) {
    QHeaderView* header = list_->header();
    const bool again = header->isSortIndicatorShown() && header->sortIndicatorSection() == section;
    const Qt::SortOrder order = again && header->sortIndicatorOrder() == Qt::AscendingOrder
                                    ? Qt::DescendingOrder
                                    : Qt::AscendingOrder;
    header->setSortIndicatorShown(true);
    header->setSortIndicator(section, order);
    model_->sort(section, order);
  });
  connect(list_, &QTreeView::doubleClicked, this,
          [this](const QModelIndex& index) { OpenApp(index.row()); });

  if (auto* filter = FindControl<QAbstractButton>(content_, "OptOnOffFilter"))
    connect(filter, &QAbstractButton::toggled, this, &ScanPage::SetDeletedOnly);
  preview_ = new PreviewPane(content_, host_.Window(), this);
  if (auto* splitter = FindControl<QSplitter>(content_, "ListSplitter")) {
    splitter->setStretchFactor(0, 3);  // the list keeps the larger part
    splitter->setStretchFactor(1, 2);
  }
  connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (run_ && model_->List() && current.isValid())
              preview_->ShowRow(*model_->List(), static_cast<std::size_t>(current.row()), *run_);
          });

  ReloadTexts();
  SetVisible(content_, "ScanToolBar", false);
  SetVisible(content_, "ReocveryToolBar", false);
  SetVisible(content_, "DataListToolBar", false);
  ShowResultArea(true);
  return true;
}

void ScanPage::ReloadTexts() {
  toolkit::ApplyTexts(content_, Settings::Get().Section("PageScan"));
  if (source_) {
    const bool device = *source_ == SourceKind::kDevice;
    if (run_ && run_->Finished()) {
      ShowEndTexts();
    } else {
      SetText(content_, "LblScanType", MessageText(device ? "MSG0503" : "MSG0501"));
      SetText(content_, "LblRemark", MessageText(device ? "MSG0504" : "MSG0502"));
    }
    if (auto* pause = FindControl<QPushButton>(content_, "BtnScanPause"))
      pause->setText(MessageText(run_ && run_->Paused() ? "MSG0506" : "MSG0507"));
  }
  ShowStatistics();
}

void ScanPage::ResetResults() {
  EndRun();
  preview_->Clear();
  model_->Show(nullptr, nullptr);
  tree_->Reset();
  firstSelected_ = false;
  explanations_.clear();
  failures_.clear();
  openResult_ = kResultOk;
  ShowProgress(0);
  SetVisible(content_, "BtnBackAppDir", false);
  SetVisible(content_, "BtnFindings", false);
  SetText(content_, "LblListTitle", "");
  ShowStatistics();
}

void ScanPage::StartScan(SourceKind source) {
  if (!content_ || Scanning() ||
      (source != SourceKind::kDevice && source != SourceKind::kBackupFolder))
    return;
  ResetResults();
  source_ = source;
  std::unique_ptr<ScanBackend> backend;
  BackupStore& store = host_.Store();
  if (backendFactory_) {
    backend = backendFactory_(source);
  } else if (source == SourceKind::kBackupFolder) {
    store.ChooseBackup(host_.ChosenBackup());
    backend = CreateScanBackend(SourceKind::kBackupFolder, &store);
  } else {
    backend =
        std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(device_, store.Folders()));
  }
  if (startHook_) startHook_(source);

  const bool device = source == SourceKind::kDevice;
  if (auto* gif = FindControl<toolkit::ButtonGif>(content_, "BtnGifScanning"))
    gif->SetGif(device ? kDeviceAnimation : kBackupAnimation);
  if (auto* gif = FindControl<toolkit::ButtonGif>(content_, "BtnGifLoading"))
    gif->SetGif(kLoadingAnimation);
  // What is being scanned, shown while nothing can be listed yet.
  const BackupSummary& backup = host_.ChosenBackup();
  SetText(content_, "LblSourceName", device ? QString() : toolkit::Qs(backup.displayName));
  QStringList info;
  if (!device && !backup.lastBackupDate.empty()) info << toolkit::Qs(backup.lastBackupDate);
  if (!device && !backup.phoneNumber.empty()) info << toolkit::Qs(backup.phoneNumber);
  SetText(content_, "LblSourceInfo", info.join("  \u00B7  "));
  ReloadTexts();
  ShowResultArea(true);
  SetVisible(content_, "ScanToolBar", true);
  SetVisible(content_, "ReocveryToolBar", false);
  SetVisible(content_, "DataListToolBar", false);
  SetEnabled(content_, "BtnHome", false);
  SetEnabled(content_, "BtnRecovery", false);
  if (auto* pause = FindControl<QPushButton>(content_, "BtnScanPause"))
    pause->setText(MessageText("MSG0507"));

  // The worker reaches the window only through the signals, whose receivers are queued. The page
  // outlives the worker: its destructor stops and waits for the run.
  ScanObserver observer;
  observer.event = [this](ScanEvent event) { emit scanEvent(event); };
  observer.progress = [this](std::int32_t percent) { emit progressChanged(percent); };
  observer.countsChanged = [this] { emit countsChanged(); };
  observer.categoryDone = [this](ScanCategory category, bool) {
    // The category's containers are final here; the counts are taken on the worker, so the
    // window never reads a container that is still being filled.
    const CategoryCode code = CodeOfCategory(category);
    emit categoryHanded(code, ListedCount(run_->Results(), code));
  };
  observer.explained = [this](ScanCategory category, const CategoryExplanation& explanation) {
    emit categoryExplained(static_cast<int>(category), toolkit::Qs(explanation.file),
                           toolkit::Qs(explanation.reason));
  };
  observer.failed = [this](std::optional<ScanCategory> category, Result result) {
    if (!category) openResult_ = result;
    emit operationFailed(category ? static_cast<int>(*category) : -1, result);
  };
  observer.finished = [this](Result result) { emit scanFinished(result); };
  run_ = std::make_unique<ScanRun>(std::move(backend), host_.ScanPassword(), observer);
  if (source == SourceKind::kDevice) run_->SetAbortCounter(&device_.AbortCounter());
  run_->Start(ApplicationDataFolder());
}

void ScanPage::OnScanEvent(ScanEvent event) {
  if (event != ScanEvent::kFirstProgress || !run_) return;
  // The source is open: what is scanned shows until the first category can be listed.
  if (!firstSelected_) ShowResultArea(false);
}

void ScanPage::ShowResultArea(bool list) {
  SetVisible(content_, "iPhoneInfoLayout", !list);
  SetVisible(content_, "DataListLayout", list);
}

void ScanPage::ShowProgress(int percent) {
  if (auto* bar = FindControl<QProgressBar>(content_, "ProgressScan")) bar->setValue(percent);
  SetText(content_, "LblPercent", QString("%1%").arg(percent));
}

void ScanPage::OnCategoryHanded(int code, qulonglong count) {
  if (!run_) return;
  const auto category = static_cast<CategoryCode>(code);
  tree_->Light(category, count);
  if (count > 0 && !firstSelected_ && !tree_->Current()) {
    // The first category that found something is shown at once.
    firstSelected_ = true;
    ShowResultArea(true);
    SetVisible(content_, "DataListToolBar", true);
    tree_->Select(category);
  }
  ShowStatistics();
  UpdateRecoverButton();
}

void ScanPage::ShowList(std::unique_ptr<ItemList> list) {
  // The columns' widths are the layout's; the last one takes the rest of the row.
  const auto columns = list->Columns();
  std::vector<int> widths;
  for (const ListColumn& column : columns) widths.push_back(column.width);
  model_->Show(std::move(list), run_.get());
  list_->header()->setSortIndicatorShown(false);
  for (std::size_t i = 0; i + 1 < widths.size(); ++i)
    list_->setColumnWidth(static_cast<int>(i), widths[i]);
  list_->scrollToTop();
  list_->horizontalScrollBar()->setValue(0);
}

void ScanPage::ShowCategory(CategoryCode code) {
  if (!run_ || !tree_->Lit(code)) return;
  auto list = std::make_unique<ItemList>(run_->Results(), code);
  list->SetDeletedOnly(tree_->DeletedOnly(code));
  const bool filterable = list->Filterable();
  ShowList(std::move(list));
  SetVisible(content_, "BtnBackAppDir", false);
  SetText(content_, "LblListTitle",
          QString("%1 (%2)").arg(CategoryTree::Name(code)).arg(ListedCount(run_->Results(), code)));
  SetVisible(content_, "FilterToolBar", filterable);
  if (auto* filter = FindControl<QAbstractButton>(content_, "OptOnOffFilter")) {
    const QSignalBlocker block(filter);
    filter->setChecked(filterable && tree_->DeletedOnly(code));
  }
  ShowFilterCount();
  ShowResultArea(true);
  SetVisible(content_, "DataListToolBar", true);
  preview_->ShowArea(CategoryPreviewArea(code));
}

bool ScanPage::OpenApp(int row) {
  const ItemList* shown = model_->List();
  if (!run_ || !shown || shown->Layout() != ListLayout::kApps || row < 0 ||
      row >= static_cast<int>(shown->RowCount()))
    return false;
  const std::string app(shown->App(static_cast<std::size_t>(row)));
  ShowList(std::make_unique<ItemList>(run_->Results(), shown->Code(), app));
  SetVisible(content_, "BtnBackAppDir", true);
  SetText(content_, "LblListTitle", toolkit::Qs(app));
  preview_->ShowArea(PreviewArea::kText);
  return true;
}

bool ScanPage::SelectCategory(const QString& name, bool deletedOnly) {
  for (int code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code) {
    const auto category = static_cast<CategoryCode>(code);
    const QString key = toolkit::Qs(std::string(ScanCategoryKey(CategoryOfCode(category))));
    if (name.compare(key, Qt::CaseInsensitive) != 0 &&
        name.compare(CategoryTree::Name(category), Qt::CaseInsensitive) != 0)
      continue;
    if (!tree_->Lit(category)) return false;
    tree_->Select(category);
    if (auto* filter = FindControl<QAbstractButton>(content_, "OptOnOffFilter"))
      filter->setChecked(deletedOnly);
    return true;
  }
  return false;
}

void ScanPage::TickCategory(CategoryCode code, bool ticked) {
  if (!run_) return;
  TickState state;
  {
    auto lock = run_->LockSelection();
    run_->Selection().TickCategory(code, ticked);
    run_->Selection().ResumRoot();
    state = run_->Selection().CategoryTickState(code);
  }
  tree_->ShowTickState(code, state);
  if (model_->List() && model_->List()->Code() == code) model_->RefreshChecks();
  ShowStatistics();
  UpdateRecoverButton();
}

void ScanPage::OnRowsTicked() {
  if (!run_ || !model_->List()) return;
  const CategoryCode code = model_->List()->Code();
  TickState state;
  {
    auto lock = run_->LockSelection();
    state = run_->Selection().CategoryTickState(code);
  }
  tree_->ShowTickState(code, state);
  ShowStatistics();
  UpdateRecoverButton();
}

void ScanPage::SetDeletedOnly(bool on) {
  const std::optional<CategoryCode> code = tree_->Current();
  if (!run_ || !code || !model_->List() || !model_->List()->Filterable()) return;
  tree_->SetDeletedOnly(*code, on);
  {
    auto lock = run_->LockSelection();
    run_->Selection().ApplyFilter(*code, on);
    run_->Selection().ResumRoot();
  }
  model_->SetDeletedOnly(on);
  ShowFilterCount();
  ShowStatistics();
  UpdateRecoverButton();
}

void ScanPage::ShowFilterCount() {
  const std::optional<CategoryCode> code = tree_->Current();
  const bool on = code && tree_->DeletedOnly(*code);
  SetVisible(content_, "LblFilterCount", on);
  if (!on || !run_) return;
  std::uint32_t filtered = 0;
  {
    auto lock = run_->LockSelection();
    if (const Counter* counter = run_->Selection().CategoryCounter(*code))
      filtered = counter->filtered;
  }
  SetText(content_, "LblFilterCount",
          Format(MessageOr("MSG0517", "Files Filtered: %d item(s)"), {QString::number(filtered)}));
}

bool ScanPage::FoundAnything() const {
  if (!run_) return false;
  for (int code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code) {
    if (tree_->Lit(static_cast<CategoryCode>(code))) return true;
  }
  return false;
}

void ScanPage::ShowStatistics() {
  StatisticsText text{0, 0, 0, 0};
  if (run_) {
    auto lock = run_->LockSelection();
    text = run_->Selection().Text();
  }
  auto size = [](std::uint64_t bytes) {
    return bytes == 0 ? QString("0 MB") : toolkit::Qs(FormatSize(static_cast<std::int64_t>(bytes)));
  };
  SetText(content_, "LblStatistics",
          Format(MessageOr("MSG0514", "Selected %s in %d item(s) of %s in %d item(s)"),
                 {size(text.tickedSize), QString::number(text.tickedCount), size(text.totalSize),
                  QString::number(text.totalCount)}));
}

void ScanPage::UpdateRecoverButton() {
  bool enabled = false;
  if (run_ && (run_->Finished() || run_->Paused())) {
    auto lock = run_->LockSelection();
    enabled = run_->Selection().CanRecover();
  }
  SetEnabled(content_, "BtnRecovery", enabled);
}

std::vector<std::array<QString, 5>> ScanPage::FindingRows() const {
  std::vector<std::array<QString, 5>> rows;
  for (const auto& [category, explanation] : explanations_) {
    const auto failed = failures_.find(static_cast<int>(category));
    const QString kind = failed == failures_.end()
                             ? QString("Note")
                             : QString("Warning (error %1)").arg(failed->second);
    rows.push_back({kind, CategoryTree::Name(CodeOfCategory(category)),
                    toolkit::Qs(explanation.file), QString(), toolkit::Qs(explanation.reason)});
  }
  if (run_ && run_->Finished()) {
    for (const Finding& finding : run_->Results().findings) {
      rows.push_back({"Finding", toolkit::Qs(finding.file), toolkit::Qs(finding.what),
                      toolkit::Qs(finding.where), toolkit::Qs(finding.why)});
    }
  }
  return rows;
}

void ScanPage::ShowFindingsButton() {
  const std::size_t count = FindingRows().size();
  SetVisible(content_, "BtnFindings", count > 0);
  if (auto* button = FindControl<QPushButton>(content_, "BtnFindings"))
    button->setText(
        Format(MessageOr("MSG0516", "%d note(s) and finding(s)"), {QString::number(count)}));
}

void ScanPage::ShowFindings() {
  FindingsWindow window(host_.Window(), FindingRows());
  if (window.Create(720, 420)) window.ShowModal();
}

void ScanPage::Print() {
  if (!run_ || !run_->Finished()) return;
  const std::optional<CategoryCode> code = tree_->Current();
  PrintWindow window(host_.Window(), *run_, code, code && tree_->DeletedOnly(*code),
                     host_.Store().ProgramFolder());
  if (window.Create(800, 600)) window.ShowModal();
}

void ScanPage::Recover() {
  if (!run_ || !(run_->Finished() || run_->Paused())) return;
  {
    auto lock = run_->LockSelection();
    if (!run_->Selection().CanRecover()) return;
  }
  const QString title = MessageText("MSG0509");
  const QString folder = chooseFolder_
                             ? chooseFolder_(title)
                             : QFileDialog::getExistingDirectory(host_.Window(), title, QString(),
                                                                 QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return;
  // A folder nothing can be written into is refused before anything starts.
  std::error_code error;
  const std::filesystem::path root = folder.toStdString();
  std::filesystem::create_directories(root, error);
  if (error || ::access(root.c_str(), W_OK) != 0) {
    MessageBox::Show(MessageBoxKind::kError, host_.Window(), "",
                     MessageText("MSG1106").replace("%s", folder), 550, 200);
    return;
  }
  RecoverySource source{&run_->Selection(), &run_->Results(), run_->Backend(),
                        host_.ChosenBackup().displayName};
  if (source_ == SourceKind::kDevice) source.deviceName.clear();
  RecoverWindow window(host_.Window(), source, folder.toStdString(), host_.Store().ProgramFolder());
  window.Run();
}

void ScanPage::SetAnimations(bool playing) {
  for (const char* name : {"BtnGifScanning", "BtnGifLoading"}) {
    if (auto* gif = FindControl<toolkit::ButtonGif>(content_, name)) gif->SetPlaying(playing);
  }
}

void ScanPage::ShowEndTexts() {
  // Items as the statistics count them (a conversation, a chat, a file of an app).
  std::uint32_t items = 0;
  {
    auto lock = run_->LockSelection();
    items = run_->Selection().Root()->total;
  }
  int categories = 0;
  for (int code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code)
    categories += tree_->Lit(static_cast<CategoryCode>(code)) ? 1 : 0;
  SetText(content_, "LblScanType",
          run_->Wait() == kResultStopped ? MessageOr("MSG0515", "Scan stopped")
                                         : MessageOr("MSG0512", "Scan completed"));
  SetText(content_, "LblRemark",
          Format(MessageText("MSG0513"), {QString::number(items), QString::number(categories)}));
}

void ScanPage::OnScanFinished() {
  if (!run_) return;
  run_->Wait();
  SetVisible(content_, "ScanToolBar", false);
  SetVisible(content_, "ReocveryToolBar", true);
  SetAnimations(false);
  SetEnabled(content_, "BtnHome", true);
  ShowProgress(100);

  ShowEndTexts();
  ShowResultArea(true);
  SetVisible(content_, "DataListToolBar", FoundAnything());
  ShowStatistics();
  UpdateRecoverButton();
  ShowFindingsButton();
  if (source_ == SourceKind::kDevice) {
    // A phone whose backups were encrypted must not be left without: one more try, then the
    // user is told.
    if (auto& encryption = host_.DeviceEncryption(); encryption) {
      if (!encryption->Finish())
        MessageBox::Show(MessageBoxKind::kWarning, host_.Window(), "", MessageText("MSG0303"), 550,
                         200);
      encryption.reset();
    }
    device_.Disconnect();
  }
}

void ScanPage::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "BtnScanPause") {
    TogglePause();
  } else if (notification.name == "BtnScanStop") {
    Stop();
  } else if (notification.name == "BtnHome") {
    Home();
  } else if (notification.name == "BtnBackAppDir") {
    if (const std::optional<CategoryCode> code = tree_->Current()) tree_->Select(*code);
  } else if (notification.name == "BtnFindings") {
    ShowFindings();
  } else if (notification.name == "BtnPrint") {
    Print();
  } else if (notification.name == "BtnRecovery") {
    Recover();
  }
}

void ScanPage::TogglePause() {
  if (!run_ || run_->Finished()) return;
  auto* pause = FindControl<QPushButton>(content_, "BtnScanPause");
  if (run_->Paused()) {
    run_->Resume();
    if (pause) pause->setText(MessageText("MSG0507"));
    SetAnimations(true);
  } else {
    run_->Pause();
    if (pause) pause->setText(MessageText("MSG0506"));
    SetAnimations(false);
  }
  SetEnabled(content_, "BtnHome", false);
  UpdateRecoverButton();
}

void ScanPage::Stop() {
  if (!Scanning()) return;
  // The worker waits in its next progress report while the question is open.
  const bool wasPaused = run_->Paused();
  if (!wasPaused) {
    run_->Pause();
    SetAnimations(false);
  }
  if (MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "", MessageText("MSG0508"), 550,
                       200) != 1) {
    if (!wasPaused) {
      run_->Resume();
      SetAnimations(true);
    }
    return;
  }
  if (auto* pause = FindControl<QPushButton>(content_, "BtnScanPause"))
    pause->setText(MessageText("MSG0507"));
  run_->Stop();  // lets a paused worker go on only to stop; raises the device's abort counter
  run_->Wait();
}

void ScanPage::Home() {
  if (Scanning()) return;
  if (FoundAnything() && MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "",
                                          MessageText("MSG0510"), 550, 200) != 1)
    return;
  ResetResults();
  host_.ShowMainPage(MainPage::kStart);
}

int ScanPage::CloseQuery() {
  if ((!run_ || run_->Finished()) && !FoundAnything()) return 1;
  const bool running = run_ && !run_->Finished();
  const bool wasPaused = running && run_->Paused();
  if (running && !wasPaused) {
    run_->Pause();
    SetAnimations(false);
  }
  const int answer = MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "",
                                      MessageText("MSG0511"), 550, 200);
  if (answer == 1 && run_) {
    run_->Stop();
    run_->Wait();
  } else if (running && !wasPaused) {
    run_->Resume();
    SetAnimations(true);
  }
  return answer == 1 ? 1 : 2;
}

}  // namespace kestrio
