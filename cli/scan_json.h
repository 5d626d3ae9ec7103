// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

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

// A scan's conversations as the JSON they become, made while the scan goes on: the parse hands
// them over in batches, a thread of their own writes them as the elements of the document's
// "messages" array, and the text waits in an unnamed temporary file in `folder` (in memory
// when there is none) until the document reaches them. A file of a million messages is never
// held in memory, and the document takes them as they are.
class MessagesJson : public ConversationSink {
 public:
  explicit MessagesJson(const std::filesystem::path& folder);
  ~MessagesJson() override;

  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                         bool anyDeleted) override;
  void Message(MessageRecord&& message) override;
  void EndConversation() override;

  // Writes the conversations into the open "messages" array of `json`; false when they
  // could not all be read back. Called once, when the parse is over.
  bool EmbedInto(JsonWriter& json);

 private:
  struct Event {
    enum Kind { kBegin, kMessage, kEnd } kind = kEnd;
    std::int32_t key = 0;     // kBegin
    bool anyDeleted = false;  // kBegin
    MessageRecord record;     // kMessage; kBegin: the fields of the latest message it shows
  };
  // A batch goes to the thread at this many events or this many bytes of texts.
  static constexpr std::size_t kBatchEvents = 4096;
  static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
  // The "messages" array is in "categories", in the document's object.
  static constexpr std::size_t kMessagesDepth = 3;

  void Added(std::size_t bytes);
  // Waits for the batch being written and hands over the next one.
  void Hand();
  // On the thread: the events as JSON, into the store.
  void Format(const std::vector<Event>& events);
  void StoreText();
  // The events came out of order (a conversation in a conversation, a message outside one).
  void Broken();

  SpillStore store_;
  JsonWriter text_;    // the thread's text not yet in the store
  bool open_ = false;  // the thread is inside a conversation
  bool broken_ = false;
  std::vector<Event> batch_;  // being filled by the parse
  std::size_t batchBytes_ = 0;
  std::vector<Event> formatting_;  // being written by the thread
  BackgroundWrite formatter_;      // last: it waits for the batch it writes
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
