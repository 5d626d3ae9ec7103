// The backup store: what the scan of one backup folder learns, kept for the whole life of
// the main window so that the preview and the recovery run can read the same backup after
// the scan. Back-ends read and fill it; only one of them uses it at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backup/backup_summary.h"
#include "backup/manifest.h"
#include "backup/media_files.h"
#include "parsers/chat_apps.h"
#include "parsers/messages.h"
#include "parsers/parse_context.h"
#include "parsers/whatsapp.h"

namespace kestrio {

// Rows the row dumps number carved records from until a scan has read the real highest.
inline constexpr std::uint64_t kInitialRowIdBase = 20000;

// WeChat chats per account ("User1", "User2", ... one per MM.sqlite of the backup).
using WeChatAccountMap = std::map<std::string, ChatAppConversationMap>;

// The folders a store works in. Production takes them from the platform; tests pass their
// own.
struct BackupStoreFolders {
  std::filesystem::path workFolder;
  // Where the program's companions lie (the decryption program).
  std::filesystem::path programFolder;
  // Worked out on first use (the free-space search may touch every mount point).
  std::function<std::filesystem::path()> temporaryBackupFolder;
  std::vector<std::filesystem::path> backupRoots;

  static BackupStoreFolders Platform();
};

// Removes the regular files (and links) directly inside `folder`; never sub-folders, never
// what a link points to.
void RemoveFilesIn(const std::filesystem::path& folder);
// Removes the preview copies "tmp.jpg", "tmp.avi" and "tmp.wav" of the work folder.
void RemovePreviewCopies(const std::filesystem::path& workFolder);

class BackupStore {
 public:
  // Creates the work folder, removes what an earlier run left in the temporary folders, and
  // discovers the backups of the roots.
  explicit BackupStore(BackupStoreFolders folders = BackupStoreFolders::Platform());
  // Removes the temporary files again.
  ~BackupStore();
  BackupStore(const BackupStore&) = delete;
  BackupStore& operator=(const BackupStore&) = delete;

  // Makes `summary` the backup the next scan reads; its folder becomes the current folder.
  void ChooseBackup(const BackupSummary& summary);

  // Where a stored file of the current folder lies: flat after decryption or in a
  // Manifest.mbdb backup, in two-digit subfolders in a Manifest.db backup. Empty for a name
  // that is not a stored name.
  std::filesystem::path StoredFile(std::string_view storedName) const;
  StoreLayout Layout() const;
  MediaSource Media() const { return MediaSource{&manifestEntries, currentFolder, Layout()}; }

  // Deletes the files of the decryption output folder, the decrypted files listed, and the
  // preview copies in the work folder: only files Kestrio made.
  void RemoveTemporaryFiles();

  std::filesystem::path TemporaryBackupFolder() const;
  const std::filesystem::path& ProgramFolder() const { return folders_.programFolder; }
  const BackupStoreFolders& Folders() const { return folders_; }
  // The decryption output folder (below the temporary backup folder); empty when there is
  // no temporary backup folder.
  std::filesystem::path DecryptionOutputFolder() const;

  std::filesystem::path currentFolder;
  std::filesystem::path workFolder;
  BackupSummary chosenBackup;
  std::vector<BackupSummary> backupList;
  std::vector<std::filesystem::path> decryptedFiles;
  bool decrypted = false;  // the current folder is the decryption output folder
  std::vector<ManifestEntry> manifestEntries;
  bool newLayout = false;  // the backup folder holds Manifest.db
  ProgressSink progress;   // the callback, the progress base and the step (its span)
  std::uint64_t messageRowIdBase = kInitialRowIdBase;
  std::uint64_t contactRowIdBase = kInitialRowIdBase;
  ConversationMap messages;
  ChatAppConversationMap qqChats;
  WeChatAccountMap weChatChats;
  WhatsAppConversationMap whatsAppChats;
  std::vector<FileRecord> whatsAppAttachments;

 private:
  BackupStoreFolders folders_;
  std::vector<std::filesystem::path> roots_;
};

}  // namespace kestrio
