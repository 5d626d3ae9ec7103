// A whole scan of a generated backup: a 100,000-entry index and 10,000 media files, in both
// index layouts. The backup is written once per process and scanned once untimed, so the
// page cache is warm; then the index read, each walk and the full scan are timed apart.
//
//   scan_backup_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <memory>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "scan/scan_run.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

constexpr int kManifestEntries = 100000;
constexpr int kMediaFiles = 10000;

struct GeneratedBackup {
  fx::TempDir dir;
  fx::BackupModel model;
  BackupSummary summary;

  explicit GeneratedBackup(fx::BackupLayout layout) {
    fx::BackupOptions options;
    options.layout = layout;
    options.seed = 5;
    options.manifestEntries = kManifestEntries;
    options.mediaFiles = kMediaFiles;
    model = fx::WriteBackup(dir / "backup", options);
    ReadBackupSummary(dir / "backup", summary);
  }

  std::unique_ptr<BackupStore> Store() {
    BackupStoreFolders folders;
    folders.workFolder = dir / "work";
    folders.temporaryBackupFolder = [this] { return dir / "tmp"; };
    auto store = std::make_unique<BackupStore>(folders);
    store->ChooseBackup(summary);
    return store;
  }
};

GeneratedBackup& Backup(fx::BackupLayout layout) {
  static GeneratedBackup db(fx::BackupLayout::kManifestDb);
  static GeneratedBackup mbdb(fx::BackupLayout::kManifestMbdb);
  return layout == fx::BackupLayout::kManifestDb ? db : mbdb;
}

fx::BackupLayout LayoutOf(const benchmark::State& state) {
  return state.range(0) == 0 ? fx::BackupLayout::kManifestDb : fx::BackupLayout::kManifestMbdb;
}

void Label(benchmark::State& state) {
  state.SetLabel(state.range(0) == 0 ? "Manifest.db" : "Manifest.mbdb");
}

void BM_FullScan(benchmark::State& state) {
  GeneratedBackup& backup = Backup(LayoutOf(state));
  std::size_t items = 0;
  for (auto _ : state) {
    auto store = backup.Store();
    ScanRun run(CreateScanBackend(SourceKind::kBackupFolder, store.get()), "", {});
    if (run.Run() != kResultOk) state.SkipWithError("scan failed");
    items = 0;
    for (int c = 0; c < kScanCategoryCount; ++c)
      items += run.Results().Count(static_cast<ScanCategory>(c));
  }
  state.counters["entries"] = static_cast<double>(backup.model.entries.size());
  state.counters["items"] = static_cast<double>(items);
  Label(state);
}

// The index read alone (Open), and each walk over the opened index.
enum Stage { kOpen, kPhotos, kAttachments, kAppFiles, kDatabases };

void BM_Stage(benchmark::State& state) {
  GeneratedBackup& backup = Backup(LayoutOf(state));
  const auto stage = static_cast<Stage>(state.range(1));
  auto store = backup.Store();
  auto backend = CreateScanBackend(SourceKind::kBackupFolder, store.get());
  backend->SetProgressCallback([](std::int32_t) { return kResultOk; });
  if (stage != kOpen && backend->Open("") != kResultOk) state.SkipWithError("open failed");
  std::size_t found = 0;
  for (auto _ : state) {
    switch (stage) {
      case kOpen:
        if (backend->Open("") != kResultOk) state.SkipWithError("open failed");
        found = store->Opened().entries.size();
        break;
      case kPhotos: {
        std::vector<FileRecord> cameraRoll, photoStream;
        backend->ScanPhotos(cameraRoll, photoStream);
        found = cameraRoll.size() + photoStream.size();
        break;
      }
      case kAttachments: {
        std::vector<AttachmentFileRecord> attachments;
        backend->ScanMessageAttachments(attachments);
        found = attachments.size();
        break;
      }
      case kAppFiles: {
        std::vector<AppFileRecord> files;
        std::vector<FileRecord> whatsApp;  // what the walk set aside
        backend->ScanAppFiles(files);
        backend->ScanWhatsAppAttachments(whatsApp);
        found = files.size() + whatsApp.size();
        break;
      }
      case kDatabases: {
        ConversationMap messages;
        std::vector<ContactRecord> contacts;
        std::vector<CallRecord> calls;
        std::vector<NoteRecord> notes;
        WhatsAppConversationMap chats;
        backend->ScanMessages(messages);
        backend->ScanContacts(contacts);
        backend->ScanCallHistory(calls);
        backend->ScanNotes(notes);
        backend->ScanWhatsAppChats(chats);
        found = messages.size() + contacts.size() + calls.size() + notes.size() + chats.size();
        break;
      }
    }
  }
  static constexpr const char* kNames[] = {"open (index read)", "photos walk", "attachments walk",
                                           "app files walk", "databases"};
  state.SetLabel(std::string(state.range(0) == 0 ? "Manifest.db " : "Manifest.mbdb ") +
                 kNames[stage]);
  state.counters["found"] = static_cast<double>(found);
}

BENCHMARK(BM_FullScan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5);
BENCHMARK(BM_Stage)
    ->ArgsProduct({{0, 1}, {kOpen, kPhotos, kAttachments, kAppFiles, kDatabases}})
    ->Unit(benchmark::kMillisecond)
    ->MinWarmUpTime(0.2);

}  // namespace
}  // namespace kestrio

BENCHMARK_MAIN();
