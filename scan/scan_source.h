// Where the backup folder a scan reads comes from. The scan back-end runs every operation the
// same way over its source; a source makes the folder ready at Open (a backup folder on this
// computer is read, deciphered first when encrypted; a connected device backs itself up into
// the temporary backup folder first) and answers the few questions whose answers differ: where
// a database is read from, which index the media walks read, and which app walk applies.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup/backup_store.h"
#include "backup/media_files.h"
#include "base/result.h"
#include "parsers/parse_context.h"

namespace kestrio {

enum class SourceKind : std::int32_t { kDevice = 0, kBackupFolder = 1 };

// The databases the category operations read by name.
// kNotes is the store of iOS 8 and earlier, kNoteStore the one of iOS 9 and later.
enum class KnownDatabase {
  kAddressBook,
  kMessages,
  kNotes,
  kNoteStore,
  kCallHistory,
  kPhotoLibrary
};

class ScanSource {
 public:
  virtual ~ScanSource() = default;

  virtual SourceKind Kind() const = 0;
  // Makes the backup folder ready and reads what the operations need, reporting on `progress`;
  // leaves its base and span where the category operations go on from. The results are the
  // source's own (see each source). What it skips is reported to `findings`.
  virtual Result Open(const std::string& password, ProgressSink& progress,
                      FindingsSink* findings) = 0;
  // The backup the operations read.
  virtual OpenedBackup& Backup() = 0;
  virtual const OpenedBackup& Backup() const = 0;
  // Where `which` is read from; the file may be missing, the parser then says so.
  virtual std::filesystem::path Database(KnownDatabase which) const = 0;
  // The WhatsApp chat databases, read in this order.
  virtual std::vector<std::filesystem::path> WhatsAppChatDatabases() const = 0;
  // Readies the index the media walks read: 0, or why there is nothing to walk.
  virtual Result PrepareWalk() = 0;
  // How the app walk files WhatsApp's files: set aside (a backup folder), or kept with the app
  // files and found by a WhatsApp walk of their own (a device backup).
  virtual AppWalkKind AppWalk() const = 0;
  // Where the preview copies are made.
  virtual const std::filesystem::path& WorkFolder() const = 0;
};

}  // namespace kestrio
