// The back-end over a connected device: the device first backs itself up into the temporary
// backup folder; the well-known databases are then copied out of that fresh backup under plain
// names, and the category operations read those copies and the backup's own index.
//
// Files it makes, all removed again when it is destroyed (and those of an earlier run when it
// is built):
//   <temporary backup folder>/<udid>/...      the device's backup
//   <temporary backup folder>/AddressBook, sms, notes, history, ChatStorage
//   <temporary backup folder>/VelmoraBackupPath/*, <work folder>/tmp.jpg, tmp.avi, tmp.wav
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup/backup_store.h"
#include "backup/manifest.h"
#include "device/device_backup_driver.h"
#include "scan/scan_backend.h"

namespace kestrio {

// The device's progress during its backup is shown as 0..20 of the scan's percent.
inline constexpr std::int32_t kDeviceBackupProgressScale = 20;

class DeviceBackend final : public ScanBackend {
 public:
  // `driver` makes the backups; the folders come from `folders` (work folder and temporary
  // backup folder only). Creates the work folder and removes what an earlier run left.
  DeviceBackend(DeviceBackupDriver& driver, BackupStoreFolders folders);
  // Removes every file it made, the device's backup included.
  ~DeviceBackend() override;

  // The device back-end has no store: progress and the layout flag are reset.
  Result AttachStore(BackupStore* store) override;
  Result SetProgressCallback(ProgressFunction progress) override;
  Result ReservedOp(std::int32_t) override { return kResultOk; }
  bool IsBackupSource(std::int32_t) const override { return false; }
  // Backs the device up (encryption switched off with `password` and on again afterwards when
  // the device encrypts) and copies the databases out. 0; the driver's result (-1 when the
  // backup was aborted, minus the device's error code, 87 without a device or a temporary
  // backup folder); or the progress callback's non-zero answer.
  Result Open(const std::string& password) override;
  Result ScanMessages(ConversationMap& conversations) override;
  Result ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) override;
  Result ScanContacts(std::vector<ContactRecord>& contacts) override;
  Result ScanNotes(std::vector<NoteRecord>& notes) override;
  Result ScanCallHistory(std::vector<CallRecord>& calls) override;
  // The media walks read the device backup's index first: 87 and empty lists without one.
  Result ScanPhotos(std::vector<FileRecord>& cameraRoll,
                    std::vector<FileRecord>& photoStream) override;
  Result ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) override;
  Result ScanAppFiles(std::vector<AppFileRecord>& appFiles) override;
  Result ScanQQ(ChatAppConversationMap& chats) override;
  Result ScanWeChat(WeChatAccountMap& accounts) override;
  Result ScanWhatsAppChats(WhatsAppConversationMap& chats) override;
  Result ExtractPreview(const std::filesystem::path& storedPath, std::string& previewPath,
                        const ProgressFunction& progress) override;
  Result CopyBackupFile(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        const CopyProgress& progress) override;
  Result WriteMessagesCsv(const std::filesystem::path& destination) override;
  Result WriteContactsCsv(const std::filesystem::path& destination) override;
  Result WriteWhatsAppChatText(std::int32_t sessionId, const std::filesystem::path& output,
                               const std::string& contactName,
                               const ProgressFunction& progress) override;
  Result WriteQQChatText(const std::string& chatKey, const std::filesystem::path& output,
                         const std::string& contactName, const ProgressFunction& progress) override;
  Result WriteWeChatChatText(const std::string& chatKey, const std::filesystem::path& output,
                             const std::string& contactName,
                             const ProgressFunction& progress) override;

  // The copy of a database by its plain name ("AddressBook", "sms", "notes", "history",
  // "ChatStorage") in the temporary backup folder.
  std::filesystem::path DatabaseCopy(std::string_view plainName) const;
  const std::filesystem::path& DeviceBackupFolder() const { return deviceBackupFolder_; }

 private:
  // Reads the device backup's index into `entries_`; 87 when it has none.
  Result ReadIndex();
  MediaSource Media() const;
  ParseContext Context() const;
  // The temporary backup folder's own files and the decryption output folder's files, and the
  // preview copies.
  void RemoveTemporaryFiles();
  // Everything inside the device backup folder, "Snapshot" included.
  void RemoveDeviceBackup();

  DeviceBackupDriver& driver_;
  BackupStoreFolders folders_;
  std::filesystem::path temporaryFolder_;  // worked out at Open
  std::filesystem::path deviceBackupFolder_;
  bool newLayout_ = false;
  std::vector<ManifestEntry> entries_;
  ProgressSink progress_;
  std::uint64_t messageRowIdBase_ = kInitialRowIdBase;
  std::uint64_t contactRowIdBase_ = kInitialRowIdBase;
  ConversationMap messages_;
  ChatAppConversationMap qqChats_;
  WeChatAccountMap weChatChats_;
  WhatsAppConversationMap whatsAppChats_;
};

}  // namespace kestrio
