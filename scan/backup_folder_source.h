// A backup folder on this computer as a scan's source: the store's chosen backup, read in
// place, or deciphered into the decryption output folder first when it is encrypted.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "backup/backup_store.h"
#include "scan/scan_source.h"

namespace kestrio {

class BackupFolderSource final : public ScanSource {
 public:
  // Reads the backup `store` has chosen; the store outlives the source.
  explicit BackupFolderSource(BackupStore& store) : store_(store) {}

  SourceKind Kind() const override { return SourceKind::kBackupFolder; }
  // Reads the backup's index, an encrypted backup after running the decryption program on it
  // (its output folder becomes the opened folder); a plain backup reports 0, 1 and 12. 87 when
  // the index file is missing or the decryption program cannot run; -110 for a wrong password;
  // 6009, 1006 or SQLite's open result from the index readers; the progress callback's
  // non-zero answer.
  Result Open(const std::string& password, ProgressSink& progress, FindingsSink* findings) override;
  OpenedBackup& Backup() override { return store_.Opened(); }
  const OpenedBackup& Backup() const override { return store_.Opened(); }
  // The stored file itself; the call history from CallHistory.storedata, else call_history.db.
  // A database whose write-ahead log the backup holds too (its key + "-wal") is given as a
  // link beside a link to its log, in the work folder, so that the reader lays the log over it.
  std::filesystem::path Database(KnownDatabase which) const override;
  // Every ChatStorage.sqlite of the index, until it and a Contacts.sqlite have been seen; with
  // its log beside it as Database gives it.
  std::vector<std::filesystem::path> WhatsAppChatDatabases() const override;
  // The index was read at Open.
  Result PrepareWalk() override { return kResultOk; }
  AppWalkKind AppWalk() const override { return AppWalkKind::kLocalBackup; }
  const std::filesystem::path& WorkFolder() const override { return store_.WorkFolder(); }

 private:
  // Links each stored database that has a stored "-wal" beside a link to that log.
  void PairLogs();
  // The path a stored database is read from: its pair's link when it has a log.
  std::filesystem::path Readable(std::string_view storedName) const;

  BackupStore& store_;
  std::map<std::string, std::filesystem::path, std::less<>> withLog_;  // stored name -> link
};

}  // namespace kestrio
