// The result page's item list with 100,000 rows, as the desktop program shows it: a scan run
// whose Messages (one row per conversation) and Call History categories hold 100,000 records
// each, 30% of them deleted, listed in a QTreeView on Qt's offscreen platform.
//   BM_Fill/<category>    a category selected: the list model built over the results and the
//                         view laid out and painted (one grab of the viewport)
//   BM_Sort/<category>    a header click: the rows sorted by a text column, painted
//   BM_Filter/<category>  the deleted-only filter switched on (the selection's counters and
//                         the list), painted, and off again, painted
// Each iteration is one user action; the target is well under 200 ms each.
//   QT_QPA_PLATFORM=offscreen result_list_gui_bench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QTreeView>
#include <memory>

#include "gui/item_list_model.h"
#include "output/item_list.h"
#include "scan/scan_run.h"

namespace {

using namespace kestrio;

constexpr int kRows = 100'000;

std::string Text(const char* prefix, int i) { return prefix + std::to_string(i * 7919 % kRows); }

// Fills two categories with kRows records and nothing else.
class BulkBackend final : public ScanBackend {
 public:
  Result SetProgressCallback(ProgressFunction) override { return kResultOk; }
  SourceKind Kind() const override { return SourceKind::kBackupFolder; }
  Result Open(const std::string&) override { return kResultOk; }
  Result ScanMessages(ConversationMap& conversations) override {
    for (int i = 0; i < kRows; ++i) {
      MessageRecord message;
      message.handleId = i;
      message.deleted = i % 10 < 3;
      message.address = "+4915" + std::to_string(100000000 + i);
      message.contactName = Text("Person ", i);
      message.dateText = "2021-03-04 05:06:07";
      message.text = Text("A message that is long enough to be cut in its column, number ", i);
      conversations[i].push_back(std::move(message));
    }
    return kResultOk;
  }
  Result ScanCallHistory(std::vector<CallRecord>& calls) override {
    for (int i = 0; i < kRows; ++i) {
      CallRecord call;
      call.deleted = i % 10 < 3;
      call.isIncoming = i % 2 == 0;
      call.durationSeconds = i % 600;
      call.number = "+4930" + std::to_string(1000000 + i);
      call.contactName = Text("Caller ", i);
      call.dateText = "2020-01-01 " + std::to_string(10 + i % 10) + ":00:00";
      calls.push_back(std::move(call));
    }
    return kResultOk;
  }
  Result ScanContacts(std::vector<ContactRecord>&) override { return kResultOk; }
  Result ScanNotes(std::vector<NoteRecord>&) override { return kResultOk; }
  Result ScanMessageAttachments(std::vector<AttachmentFileRecord>&) override { return kResultOk; }
  Result ScanPhotos(std::vector<FileRecord>&, std::vector<FileRecord>&) override {
    return kResultOk;
  }
  Result ScanAppFiles(std::vector<AppFileRecord>&) override { return kResultOk; }
  Result ScanWhatsAppAttachments(std::vector<FileRecord>&) override { return kResultOk; }
  Result ScanWhatsAppChats(WhatsAppConversationMap&) override { return kResultOk; }
};

ScanRun& Scanned() {
  static ScanRun* run = [] {
    auto* scanned = new ScanRun(std::make_unique<BulkBackend>(), "", ScanObserver{});
    scanned->Run();
    return scanned;
  }();
  return *run;
}

struct Page {
  Page() {
    view.setUniformRowHeights(true);
    view.setRootIsDecorated(false);
    view.setModel(&model);
    view.resize(700, 450);
    view.show();
  }
  void Paint() {
    view.doItemsLayout();
    benchmark::DoNotOptimize(view.viewport()->grab());
  }
  ItemListModel model;
  QTreeView view;
};

CategoryCode CodeOf(const benchmark::State& state) {
  return state.range(0) == 0 ? kCodeMessages : kCodeCallHistory;
}

void BM_Fill(benchmark::State& state) {
  ScanRun& run = Scanned();
  Page page;
  for (auto _ : state) {
    page.model.Show(std::make_unique<ItemList>(run.Results(), CodeOf(state)), &run);
    page.Paint();
  }
  state.counters["rows"] = page.model.rowCount();
}

void BM_Sort(benchmark::State& state) {
  ScanRun& run = Scanned();
  Page page;
  page.model.Show(std::make_unique<ItemList>(run.Results(), CodeOf(state)), &run);
  bool descending = false;
  for (auto _ : state) {
    page.model.sort(0, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    page.Paint();
    descending = !descending;
  }
}

void BM_Filter(benchmark::State& state) {
  ScanRun& run = Scanned();
  const CategoryCode code = CodeOf(state);
  Page page;
  page.model.Show(std::make_unique<ItemList>(run.Results(), code), &run);
  std::int64_t shown = 0;
  for (auto _ : state) {
    for (bool on : {true, false}) {
      run.Selection().ApplyFilter(code, on);
      run.Selection().ResumRoot();
      page.model.SetDeletedOnly(on);
      page.Paint();
      if (on) shown = page.model.rowCount();
    }
  }
  state.counters["deletedRows"] = static_cast<double>(shown);
}

// 0: Messages, 1: Call History.
BENCHMARK(BM_Fill)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Filter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
