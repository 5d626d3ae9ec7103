// The recovery run: every ticked item of a scan written out of the backup into an output
// folder. Files are copied into one folder per kind; conversations and chats become text,
// CSV and HTML transcripts; contacts, calls and notes become one HTML table each; the
// back-end adds the messages and contacts CSVs. Qt-free: the recovery window and the command
// line both drive it.
//
// Output layout below the output root (<stamp> is the run's start, "YYYYMMDDhhmmss"):
//   Camera Roll/, Photo Stream/, Message Attachments/, WhatsApp Attachments/   <name>
//   App Photos/<app>/<name>, App Video/<app>/<name>
//   Message/<person>-<stamp>/<label>.txt, <label>.html;  Message/sms.csv
//   WhatsApp Message/<label>-<stamp>/<label>.txt, .csv, .html
//   Contacts/<stamp>/Contacts.html, Contacts.csv
//   CallHistory/CallHistory_<stamp>.html;  Notes/Notes_<stamp>.html
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/done_flag.h"
#include "output/reports.h"
#include "scan/scan_backend.h"
#include "scan/scan_run.h"
#include "scan/selection_model.h"

namespace kestrio {

// What a run reads: the selection, the scan's containers and the back-end that scanned.
struct RecoverySource {
  const SelectionModel* selection = nullptr;
  const ScanResults* results = nullptr;
  ScanBackend* backend = nullptr;
  std::string deviceName;  // shown in the reports' titles
};

struct RecoveryStatusRow {
  std::filesystem::path path;
  std::string status;  // "Success", or the error's text
  bool failed = false;
};

struct RecoveryProgress {
  std::int32_t percent = 0;
  std::filesystem::path current;
  std::int32_t done = 0;
  std::int32_t total = 0;
  std::int32_t failed = 0;
};

// Both callbacks run on the worker, under the run's lock.
struct RecoveryObserver {
  std::function<void(const RecoveryProgress&)> progress;
  // A finished item: success rows belong at the end of the list, failures at its top.
  std::function<void(const RecoveryStatusRow&)> status;
};

// A name from the backup made safe as one path component: "/" and NUL become "_", "." and
// ".." and the empty name become "_", and a name longer than a file system allows (255
// bytes) is shortened, keeping its extension and whole UTF-8 characters.
std::string SafeFileName(std::string_view name);

// `path` itself when nothing exists there, else "<stem>(1)<ext>", "<stem>(2)<ext>", ...
std::filesystem::path UniquePath(const std::filesystem::path& path);

// "YYYYMMDDhhmmss" of `when` in local time.
std::string RunStamp(std::time_t when);

// Longest destination path written, in bytes; a longer one is a failed item.
inline constexpr std::size_t kMaxDestinationPath = 4096;

class RecoveryRun {
 public:
  RecoveryRun(RecoverySource source, std::filesystem::path outputRoot,
              std::filesystem::path programFolder, RecoveryObserver observer = {});
  ~RecoveryRun();
  RecoveryRun(const RecoveryRun&) = delete;
  RecoveryRun& operator=(const RecoveryRun&) = delete;

  // Loads the five report templates. On failure `missing` names the template that did not
  // load and nothing may be written.
  Result LoadTemplates(std::string& missing);

  // The worker's body on the calling thread; Start runs it on a thread of its own.
  Result Run(std::time_t now = std::time(nullptr));
  void Start();
  void Wait();
  bool Finished() const { return finished_.IsSet(); }
  // Whether the run has ended, waiting at most `timeout` for it.
  bool WaitFinished(std::chrono::milliseconds timeout) const { return finished_.WaitFor(timeout); }

  // The next progress call answers 2: the copy or page in progress stops and the walk ends.
  void Cancel();
  // Holds the worker at its next progress call while the owner asks whether to cancel.
  std::unique_lock<std::mutex> Hold() { return std::unique_lock<std::mutex>(lock_); }

  std::int32_t Done() const { return done_; }
  std::int32_t Failed() const { return failed_; }
  std::int32_t Total() const { return total_; }
  const std::string& Stamp() const { return stamp_; }
  // Failures first (newest first), then successes in order.
  std::vector<RecoveryStatusRow> StatusRows() const;

  // The progress callback every copy and report gets.
  Result Report(std::int32_t percent, Result error, const std::filesystem::path& path);

 private:
  // Report as the callback every copy and page writer takes.
  CopyProgress Progress();
  void Export(const SelectionEntry& entry);
  void CopyFile(const std::filesystem::path& source, const std::filesystem::path& destination);
  void ExportConversation(const MessageRecord& row);
  void ExportWhatsAppChat(const WhatsAppMessageRecord& row);
  void Finish();
  // Counts an item that ends without a progress call of 100 (a path too long, an empty
  // file copied).
  void CountItem(const std::filesystem::path& path, Result error);
  bool PathTooLong(const std::filesystem::path& path);

  RecoverySource source_;
  std::filesystem::path root_;
  std::filesystem::path programFolder_;
  RecoveryObserver observer_;
  LoadedTemplate templates_[5];

  std::string stamp_;
  std::string callRows_, noteRows_, contactRows_;
  bool messagesExported_ = false;

  mutable std::mutex lock_;
  std::atomic<bool> cancel_{false};
  DoneFlag finished_;
  std::atomic<bool> finalReport_{false};  // the item in progress reported 100
  std::int32_t done_ = 0;
  std::int32_t failed_ = 0;
  std::int32_t total_ = 0;
  std::vector<RecoveryStatusRow> failures_;
  std::vector<RecoveryStatusRow> successes_;
  std::thread worker_;
};

}  // namespace kestrio
