// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "backup/backup_summary.h"
#include "cli/json_writer.h"
#include "scan/scan_run.h"

namespace kestrio::cli {

void WriteBackup(JsonWriter& json, const BackupSummary& backup);

// A connected device: {displayName, deviceClass, productVersion, udid[, willEncrypt]}.
struct DeviceJson {
  std::string displayName;
  std::string deviceClass;
  std::string productVersion;
  std::string udid;
  std::optional<bool> willEncrypt;
};
void WriteDevice(JsonWriter& json, const DeviceJson& device);

// A scan's conversations, written as JSON into the scan's document on a thread of their own
// while the scan goes on (they are made at the end of the messages' parse, when the second
// core would idle): a file of a million messages is never held in memory. The scan's thread
// hands each event over in a compact form of its own, in batches, and waits when the writing
// thread falls kMaxBatches behind.
class MessagesJson : public ConversationSink {
 public:
  static constexpr std::size_t kBatchBytes = 256 * 1024;
  static constexpr std::size_t kMaxBatches = 8;

  // `begin` is called on the writing thread before the first conversation is written, and
  // only then: it answers the writer whose innermost open level is the array that takes them.
  explicit MessagesJson(std::function<JsonWriter&()> begin);
  ~MessagesJson() override;
  MessagesJson(const MessagesJson&) = delete;
  MessagesJson& operator=(const MessagesJson&) = delete;

  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                         bool anyDeleted) override;
  void Message(MessageRecord&& message) override;
  void EndConversation() override;

  // Hands the last batch over and waits for the writing thread to end. False when the
  // conversations could not all be written; the levels they opened are closed all the same,
  // so the document stays whole.
  bool Finish();

 private:
  void Append(std::string_view event);
  // Hands the batch over, waiting while kMaxBatches are.
  void HandOver();
  // The writing thread.
  void Format() noexcept;
  // The next batch for the writing thread into `out`; false once there are no more.
  bool NextBatch(std::string& out);

  std::string event_;       // the event being written
  std::string batch_;       // the events not handed over yet
  MessageRecord previous_;  // the shared texts of the conversation's previous message

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> batches_;  // handed over, not taken yet
  bool ended_ = false;               // no batch follows those in `batches_`

  // The writing thread's until it has ended.
  std::function<JsonWriter&()> begin_;
  bool complete_ = true;  // every event was well formed
  std::thread thread_;    // last: it starts once the members above are made
};

// A scan's document, {backup, result, categories, errors, findings}, written in the order the
// scan learns it: the source and the opening's result once the scan opened, the categories as
// they are done (the conversations while they are parsed, by a MessagesJson), and what only
// the scan's end knows, the categories that failed and what their files showed, last. So the
// document streams out and is never held whole.
class ScanDocument {
 public:
  // `start` answers the writer of the document when it begins (a scan that never opens begins
  // none); `source` writes the object of what was scanned (a backup folder, a device).
  ScanDocument(std::function<JsonWriter&()> start, std::function<void(JsonWriter&)> source,
               Result openResult = kResultOk);

  // Begins the document, when it has not begun, and writes it up to the open array of the
  // conversations, with the categories before them from `results`. Answers the writer.
  JsonWriter& BeginMessages(const ScanResults& results);
  // Writes the rest: the conversations of `results` unless `streamed` wrote them, the other
  // categories, `errors` (category keys mapped to the non-zero results of their operations)
  // and the findings. False when `streamed` could not write all its conversations.
  bool End(const std::map<std::string, Result>& errors, const ScanResults& results,
           MessagesJson* streamed = nullptr);

 private:
  std::function<JsonWriter&()> start_;
  std::function<void(JsonWriter&)> source_;
  Result openResult_;
  JsonWriter* json_ = nullptr;  // once begun
};

}  // namespace kestrio::cli
