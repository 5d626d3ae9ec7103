// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <array>
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
// them over in batches, two threads of their own take turns at writing a batch each as the
// elements of the document's "messages" array, and the text waits, in the order of the
// batches, in an unnamed temporary file in `folder` (in memory when there is none) until the
// document reaches it. A file of a million messages is never held in memory.
class MessagesJson : public ConversationSink {
 public:
  explicit MessagesJson(const std::filesystem::path& folder);
  ~MessagesJson() override;

  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                         bool anyDeleted) override;
  void Message(MessageRecord&& message) override;
  void EndConversation() override;

  // Writes the conversations into the open "messages" array of `json`; false when they
  // could not all be read back or came out of order (a conversation in a conversation, a
  // message outside one, one left open). Called once, when the parse is over.
  bool EmbedInto(JsonWriter& json);

 private:
  struct Event {
    enum Kind { kBegin, kMessage, kEnd } kind = kEnd;
    std::int32_t key = 0;     // kBegin
    bool anyDeleted = false;  // kBegin
    MessageRecord record;     // kMessage; kBegin: the fields of the latest message it shows
  };
  // Events, and where in the array they start: whether a conversation came before them,
  // whether they start inside one, and whether that one has messages before them.
  struct Batch {
    std::vector<Event> events;
    std::size_t bytes = 0;  // of the messages' texts
    bool anyConversation = false;
    bool inConversation = false;
    bool anyMessage = false;
  };
  struct Formatter {
    Batch batch;
    JsonWriter text;         // the batch's JSON
    bool holds = false;      // a batch was handed over and its text is not in the store yet
    BackgroundWrite thread;  // last: it waits for the batch it writes
  };
  // A batch goes to a thread at this many events or this many bytes of texts.
  static constexpr std::size_t kBatchEvents = 4096;
  static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
  // The "messages" array is in "categories", in the document's object.
  static constexpr std::size_t kMessagesDepth = 3;

  void Added(std::size_t bytes);
  // Hands the batch to the thread whose turn it is, once that one's batch before is written
  // and its text stored.
  void Hand();
  // On a formatter's thread.
  static void Format(Formatter& formatter);
  void StoreText(Formatter& formatter);

  SpillStore store_;
  Batch batch_;  // being filled by the parse
  bool anyConversation_ = false, inConversation_ = false, anyMessage_ = false;
  bool broken_ = false;  // events came out of order; the rest are left out
  std::array<Formatter, 2> formatters_;
  std::size_t next_ = 0;  // the formatter the next batch goes to
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
