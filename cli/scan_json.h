// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "backup/backup_summary.h"
#include "base/spill_store.h"
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

// A scan's conversations, written as JSON on a thread of their own while the scan goes on
// (they are made at the end of the messages' parse, when the second core would idle), into
// an unnamed temporary file in `folder` (in memory when there is none) until the document
// reaches them: a file of a million messages is never held in memory. The scan's thread hands
// each event over in a compact form of its own, in batches, and waits when the writing thread
// falls kMaxBatches behind.
class MessagesJson : public ConversationSink {
 public:
  static constexpr std::size_t kBatchBytes = 256 * 1024;
  static constexpr std::size_t kMaxBatches = 8;

  // `pretty`: the layout of the document the conversations go into.
  explicit MessagesJson(const std::filesystem::path& folder, bool pretty = true);
  ~MessagesJson() override;
  MessagesJson(const MessagesJson&) = delete;
  MessagesJson& operator=(const MessagesJson&) = delete;

  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                         bool anyDeleted) override;
  void Message(MessageRecord&& message) override;
  void EndConversation() override;

  // Ends the conversations and writes them into the open "messages" array of `json` (its
  // levels and layout those of a scan's document); false when they could not all be written.
  // The JSON is then still whole, unless the temporary file failed while it was read back.
  bool EmbedInto(JsonWriter& json);

 private:
  void Append(std::string_view event);
  // Hands the batch over, waiting while kMaxBatches are.
  void HandOver();
  // Hands the last batch over and waits for the writing thread to end.
  void Finish();
  // The writing thread.
  void Format() noexcept;
  // The next batch for the writing thread into `out`; false once there are no more.
  bool NextBatch(std::string& out);

  std::string event_;       // the event being written
  std::string batch_;       // the events not handed over yet
  MessageRecord previous_;  // the shared texts of the conversation's previous message
  bool pretty_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> batches_;  // handed over, not taken yet
  bool ended_ = false;               // no batch follows those in `batches_`

  // The writing thread's until it has ended.
  SpillStore formatted_;  // the conversations' JSON
  bool complete_ = true;  // every event was well formed
  std::thread thread_;    // last: it starts once the members above are made
};

// {backup, result, errors, categories}; `errors` maps category keys to the non-zero results
// of their operations. The conversations are `messages`' when given, else those of
// `results`; false when `messages` could not give them all.
bool WriteScan(JsonWriter& json, const BackupSummary& backup, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results,
               MessagesJson* messages = nullptr);
// The same for a device scan: the device object in place of the backup's.
bool WriteScan(JsonWriter& json, const DeviceJson& device, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results,
               MessagesJson* messages = nullptr);

}  // namespace kestrio::cli
