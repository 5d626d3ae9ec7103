// kestrio-cli scan: a backup folder or the connected device scanned, what was found counted or
// written as JSON.
#include <algorithm>
#include <fstream>

#include "backup/backup_summary.h"
#include "base/paths.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "scan/device_source.h"

namespace kestrio::cli {
namespace {

// Adds up the messages of the conversations handed over.
class MessageCounter final : public ConversationSink {
 public:
  explicit MessageCounter(std::size_t& count) : count_(count) {}
  void BeginConversation(std::int32_t, std::size_t count, const MessageRecord&, bool) override {
    count_ += count;
  }
  void Message(MessageRecord&&) override {}
  void EndConversation() override {}

 private:
  std::size_t& count_;
};

// Runs the scan of `backend` and waits for it. kExitOk when the source opened (a category
// that failed is a warning); otherwise the exit code, with the message written.
int RunScan(Terminal& terminal, ScannedBackup& scanned, std::unique_ptr<ScanBackend> backend,
            const std::string& password, DeviceBackupDriver* device) {
  scanned.bar = std::make_unique<ProgressBar>(terminal.err, terminal.progressBar);
  ScannedBackup* state = &scanned;
  ScanObserver observer;
  const char* opening = device ? "backing the device up" : "opening";
  observer.progress = [state, opening](std::int32_t percent) {
    const int current = state->category.load();
    state->bar->Show(percent,
                     current < 0 ? opening : ScanCategoryKey(static_cast<ScanCategory>(current)));
  };
  observer.categoryDone = [state](ScanCategory done, bool) {
    state->category = static_cast<int>(done);
  };
  observer.failed = [state](std::optional<ScanCategory> failed, Result result) {
    std::lock_guard<std::mutex> guard(state->errorsMutex);
    if (!failed) {
      state->openFailure = result;
    } else {
      state->errors[std::string(ScanCategoryKey(*failed))] = result;
    }
  };
  if (scanned.document) {
    // Called once the photos are done and the first conversation is ready: the run is made.
    scanned.messagesJson = std::make_unique<MessagesJson>(
        [state]() -> JsonWriter& { return state->document->BeginMessages(state->run->Results()); });
    backend->SendMessagesTo(scanned.messagesJson.get());
  } else if (scanned.countMessages) {
    scanned.messageCounter = std::make_unique<MessageCounter>(scanned.messageCount);
    backend->SendMessagesTo(scanned.messageCounter.get());
  }
  scanned.run = std::make_unique<ScanRun>(std::move(backend), password, observer);
  ScanRun& run = *scanned.run;
  if (device) run.SetAbortCounter(&device->AbortCounter());
  run.Start(ApplicationDataFolder());
  scanned.stopped = WaitInterruptible(
      terminal, [&](auto timeout) { return run.WaitFinished(timeout); }, [&] { run.Stop(); });
  scanned.stopped = run.Wait() == kResultStopped || scanned.stopped;
  scanned.bar->Done();
  if (const std::optional<Result> openFailure = scanned.openFailure) {
    if (*openFailure == kResultWrongPassword) {
      terminal.err << "kestrio-cli: the password is wrong\n";
      return kExitPassword;
    }
    if (device) {
      terminal.err << "kestrio-cli: the device backup failed: ";
      if (!device->ErrorDescription().empty()) terminal.err << device->ErrorDescription() << " ";
      terminal.err << "(" << *openFailure << ")\n";
    } else {
      terminal.err << "kestrio-cli: the backup could not be opened: " << ResultLine(*openFailure)
                   << "\n";
    }
    return kExitUnopened;
  }
  // A category whose database failed is a warning; one whose database is not in the backup
  // is a note. Both name the file and the reason.
  const ScanResults& results = run.Results();
  for (const auto& [key, code] : scanned.errors) {
    terminal.err << "kestrio-cli: warning: " << key << ": ";
    const std::string_view category = key;
    const auto explained = std::find_if(
        results.explanations.begin(), results.explanations.end(),
        [category](const auto& entry) { return ScanCategoryKey(entry.first) == category; });
    if (explained == results.explanations.end()) {
      terminal.err << ResultLine(code) << "\n";
    } else {
      terminal.err << explained->second.reason << " (" << explained->second.file << ", error "
                   << code << ")\n";
    }
  }
  for (const auto& [category, explanation] : results.explanations) {
    if (scanned.errors.count(std::string(ScanCategoryKey(category)))) continue;
    terminal.err << "kestrio-cli: note: " << ScanCategoryKey(category) << ": " << explanation.reason
                 << " (" << explanation.file << ")\n";
  }
  return kExitOk;
}

// Scans the backup folder of the command line.
int ScanBackup(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  const std::filesystem::path folder = options.positional.front();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    terminal.err << "kestrio-cli: " << folder.string() << " is not a folder\n";
    return kExitUnopened;
  }
  BackupSummary& summary = scanned.summary;
  if (ReadBackupSummary(folder, summary) != kResultOk) {
    summary = BackupSummary{};
    summary.folder = folder;
    summary.encrypted = IsBackupEncrypted(folder);
  }
  if (summary.encrypted && ReadEncryptionMark(folder) == EncryptionMark::kKeybagUnusable) {
    terminal.err << "kestrio-cli: the backup says it is encrypted, but the keybag in its "
                    "Manifest.plist is missing or damaged: no password can open it\n";
    return kExitUnopened;
  }
  std::string password = options.password.value_or("");
  if (summary.encrypted && password.empty()) {
    password = AskPassword(terminal, "Password of the encrypted backup: ").value_or("");
    if (password.empty()) {
      terminal.err << "kestrio-cli: the backup is encrypted; its password is missing (give it "
                      "with --password-file FILE or KESTRIO_PASSWORD)\n";
      return kExitPassword;
    }
  }
  scanned.store = std::make_unique<BackupStore>();
  scanned.store->ChooseBackup(summary);
  return RunScan(terminal, scanned,
                 CreateScanBackend(SourceKind::kBackupFolder, scanned.store.get()), password,
                 nullptr);
}

// Backs the connected device up into the temporary backup folder and scans that backup.
int ScanDevice(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  DeviceBackupDriver& device = DeviceOf(terminal);
  scanned.deviceScope = std::make_unique<DeviceScope>(terminal, device);
  DeviceJson description;
  if (const int code = OpenDevice(options, terminal, device, *scanned.deviceScope, description);
      code != kExitOk)
    return code;
  description.willEncrypt.reset();
  scanned.device = description;
  BackupStoreFolders folders = BackupStoreFolders::Platform();
  if (!terminal.temporaryFolder.empty()) {
    folders.temporaryBackupFolder = [folder = terminal.temporaryFolder] { return folder; };
  }
  auto temporary = folders.temporaryBackupFolder;
  auto backend =
      std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(device, std::move(folders)));
  backend->SetSpillFolder(std::move(temporary));
  return RunScan(terminal, scanned, std::move(backend), options.password.value_or(""), &device);
}

}  // namespace

int ScanAny(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  return options.device ? ScanDevice(options, terminal, scanned)
                        : ScanBackup(options, terminal, scanned);
}

int Scan(const Options& options, Terminal& terminal) {
  if (options.positional.size() != (options.device ? 0u : 1u)) {
    terminal.err << "kestrio-cli: scan needs one backup folder, or --device\n" << kUsage;
    return kExitUsage;
  }
  // The document goes out as it is written, and the messages as they are parsed: its size
  // in memory is the writer's buffers. Its file is made once the scan opened.
  std::ofstream file;
  std::unique_ptr<JsonWriter> json;
  ScannedBackup scanned;
  if (options.json) {
    const std::string& path = *options.json;
    ScannedBackup* state = &scanned;
    scanned.document = std::make_unique<ScanDocument>(
        [&]() -> JsonWriter& {
          if (path != "-") file.open(path, std::ios::binary | std::ios::trunc);
          json = std::make_unique<JsonWriter>(path == "-" ? terminal.out : file);
          return *json;
        },
        [state](JsonWriter& out) {
          if (state->device) {
            WriteDevice(out, *state->device);
          } else {
            WriteBackup(out, state->summary);
          }
        });
  } else {
    scanned.countMessages = true;
  }
  if (const int code = ScanAny(options, terminal, scanned); code != kExitOk) return code;
  const ScanResults& results = scanned.run->Results();
  if (scanned.document) {
    // The document is whole even when the messages' writer failed: it ends what it began.
    const bool complete =
        scanned.document->End(scanned.errors, results, scanned.messagesJson.get());
    if (!json->Flush() && *options.json != "-") {
      terminal.err << "kestrio-cli: cannot write " << *options.json << "\n";
      return kExitUsage;
    }
    if (!complete) {
      terminal.err << "kestrio-cli: the messages could not all be written\n";
      return kExitUsage;
    }
  } else {
    const std::string& name = scanned.DisplayName();
    terminal.out << (name.empty() ? scanned.summary.folder.string() : name) << "\n";
    for (int i = 0; i < kScanCategoryCount; ++i) {
      const auto which = static_cast<ScanCategory>(i);
      const std::size_t count =
          which == ScanCategory::kMessages ? scanned.messageCount : results.Count(which);
      terminal.out << "  " << ScanCategoryKey(which) << ": " << count << "\n";
    }
  }
  if (scanned.stopped) {
    terminal.err << "kestrio-cli: the scan was stopped; the results above are incomplete\n";
    return kExitStopped;
  }
  return kExitOk;
}

}  // namespace kestrio::cli
