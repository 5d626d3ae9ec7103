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

// A scan's conversations, kept while the messages are parsed in an unnamed temporary file in
// `folder` (in memory when there is none) until the document reaches them, in a compact form
// of their own: a file of a million messages is never held in memory.
class MessagesJson : public ConversationSink {
 public:
  explicit MessagesJson(const std::filesystem::path& folder);

  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                         bool anyDeleted) override;
  void Message(MessageRecord&& message) override;
  void EndConversation() override;

  // Writes the conversations into the open "messages" array of `json`; false when they
  // could not all be read back.
  bool EmbedInto(JsonWriter& json);

 private:
  SpillStore store_;
  std::string event_;       // the event being written
  MessageRecord previous_;  // the shared texts of the conversation's previous message
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
