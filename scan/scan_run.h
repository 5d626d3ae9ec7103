// One scan of one source: the back-end's operations run in the scan order on a worker
// thread, with the progress rules of the scan page (pause, stop, the 2..99 range) and the
// results handed to the owner category by category through callbacks. No window is touched
// here; the scan page and the command line both drive it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/done_flag.h"
#include "scan/scan_backend.h"
#include "scan/selection_model.h"

namespace kestrio {

// The result page's categories, in the order the scan fills them.
enum class ScanCategory {
  kCameraRoll,
  kPhotoStream,
  kMessages,
  kMessageAttachments,
  kContacts,
  kCallHistory,
  kNotes,
  kAppPhotos,
  kAppVideos,
  kWhatsApp,
  kWhatsAppAttachments,
};
inline constexpr int kScanCategoryCount = 11;
// "cameraRoll", "photoStream", ... as the command line's JSON names them.
std::string_view ScanCategoryKey(ScanCategory category);

// Page events raised by the worker.
enum class ScanEvent {
  kFirstProgress = 0,  // the source opened far enough to show the scan page
  kWrongPassword = 1,  // Open returned -110
  kOpenFailed = 3,     // Open returned another error
  kBackupRefused = 4,  // Open returned -111
};

// Open results with a meaning of their own to the run.
inline constexpr Result kResultOpenQuietStop = -1;
inline constexpr Result kResultBackupRefused = -111;

using AppFileMap = std::map<std::string, std::vector<AppFileRecord>>;

struct ScanResults {
  std::vector<FileRecord> cameraRoll;
  std::vector<FileRecord> photoStream;
  ConversationMap messages;
  std::vector<AttachmentFileRecord> messageAttachments;
  std::vector<ContactRecord> contacts;
  std::vector<CallRecord> callHistory;
  std::vector<NoteRecord> notes;
  std::vector<AppFileRecord> appFiles;
  AppFileMap appPhotos;  // by app
  AppFileMap appVideos;
  WhatsAppConversationMap whatsApp;
  std::vector<FileRecord> whatsAppAttachments;
  // The lists the result page shows for the two chat categories: one row per conversation
  // or chat (a copy of its last message, deleted when any message is), deleted rows first.
  std::vector<MessageRecord> conversationRows;
  std::vector<WhatsAppMessageRecord> whatsAppRows;
  // What the scan skipped, in the order it was met.
  std::vector<Finding> findings;
  // Why a category found nothing (its database is not in the backup) or failed (its database
  // could not be read), for the categories that have a reason to give. Read after the run;
  // during it, ScanObserver::explained hands each one over.
  std::map<ScanCategory, CategoryExplanation> explanations;

  // Items of a category (messages of all conversations, files of all apps).
  std::size_t Count(ScanCategory category) const;
};

// What the owner hears. Every callback runs on the worker thread; a window marshals it to
// its own thread. Before a category is handed off, its list is put into display order and
// its items are added to the selection model.
struct ScanObserver {
  std::function<void(ScanEvent)> event;
  // The counts of the tree changed: after a successful open and after each category that
  // found something.
  std::function<void()> countsChanged;
  // The percent shown, 2..99, each time it grows.
  std::function<void(std::int32_t percent)> progress;
  // A category's operation finished and its container is final; `found` when it holds
  // items. Called for every category the run reached.
  std::function<void(ScanCategory category, bool found)> categoryDone;
  // An operation returned a result other than 0 and 2 (Open as nullopt; the app files
  // operation as kAppPhotos, the photos operation as kCameraRoll).
  std::function<void(std::optional<ScanCategory> category, Result result)> failed;
  // Why a category found nothing or failed (see ScanResults::explanations); called before
  // the category's categoryDone.
  std::function<void(ScanCategory category, const CategoryExplanation& explanation)> explained;
  // The run ended with 0 or 2: the page may switch to browsing.
  std::function<void(Result result)> finished;
};

class ScanRun {
 public:
  ScanRun(std::unique_ptr<ScanBackend> backend, std::string password, ScanObserver observer);
  ~ScanRun();  // stops and waits for the worker
  ScanRun(const ScanRun&) = delete;
  ScanRun& operator=(const ScanRun&) = delete;

  // Creates the marker folder "VelmoraiOSRecovery/viewInstall" below `applicationData` when
  // missing (no notice is sent anywhere), then starts the worker.
  void Start(const std::filesystem::path& applicationData);
  // Runs the whole scan on the calling thread and returns its result.
  Result Run();

  // The device session's abort counter: Stop raises it, so a running device backup gives up.
  void SetAbortCounter(std::atomic<int>* counter) { abortCounter_ = counter; }

  // While paused the next progress report waits; after Stop it answers 2.
  void Pause();
  void Resume();
  void Stop();
  bool Paused() const;
  // Waits until the worker has ended and returns its result.
  Result Wait();
  bool Finished() const { return finished_.IsSet(); }
  // Whether the run has ended, waiting at most `timeout` for it.
  bool WaitFinished(std::chrono::milliseconds timeout) const { return finished_.WaitFor(timeout); }
  std::int32_t Percent() const { return percent_.load(); }

  // Read a category only after its categoryDone, or everything after the run.
  const ScanResults& Results() const { return results_; }
  // The selection model, built category by category in the hand-offs (every item ticked).
  // The worker builds it; the owner ticks and reads a category only after its categoryDone.
  SelectionModel& Selection() { return selection_; }
  const SelectionModel& Selection() const { return selection_; }
  // The worker builds each category's selection under this lock; a window that ticks or
  // reads the selection while the run may still be going holds it too.
  std::unique_lock<std::mutex> LockSelection() const { return std::unique_lock(selectionLock_); }
  ScanBackend* Backend() const { return backend_.get(); }

  // The progress report the back-end calls.
  Result Report(std::int32_t percent);

  // App Photos and App Videos by app: a file whose extension is in the video or the audio
  // list but not in the picture list is a video; every other file is a photo.
  static void SplitAppFiles(const std::vector<AppFileRecord>& files, AppFileMap& photos,
                            AppFileMap& videos);

 private:
  Result Work();
  Result OpenSource();
  // Runs one category operation; false when it was stopped.
  bool Step(Result result, ScanCategory category, bool found);
  void HandOff(ScanCategory category, bool found);

  std::unique_ptr<ScanBackend> backend_;
  std::string password_;
  ScanObserver observer_;
  ScanResults results_;
  SelectionModel selection_;

  mutable std::mutex selectionLock_;
  mutable std::mutex lock_;  // the scan lock: serialises reports against pause and stop
  std::condition_variable resumed_;
  bool paused_ = false;
  bool stop_ = false;
  std::atomic<int>* abortCounter_ = nullptr;
  std::atomic<std::int32_t> percent_{0};
  DoneFlag finished_{true};
  Result result_ = kResultOk;
  std::thread worker_;
};

}  // namespace kestrio
