// The manifest index of a backup: which device file each stored file holds.
//
// A backup stores every device file under a 40-digit name, the SHA-1 of its key
// ("<domain>-<relative path>"). Two index formats exist:
//
// Manifest.mbdb (older backups; all numbers big-endian)
//   offset 0  4 bytes  "mbdb"
//   offset 4  2 bytes  format version (not checked)
//   offset 6  records up to the end of the file, each:
//     string domain, string relative path, string link target, string data hash,
//     string encryption key, u16 mode, u64 inode, u32 uid, u32 gid, u32 mtime, u32 atime,
//     u32 ctime, u64 length, u8 protection class, u8 property count n,
//     n x (string name, string value)
//   string: u16 length L then L bytes; L = 0xFFFF is an empty string with nothing after it
//
// Manifest.db (newer backups): an SQLite database with a table Files(fileID, domain,
// relativePath, flags, file), read with "select fileID,domain, relativePath from Files;".
//
// Where a stored file lies depends on the backup's layout: newer backups put it in a folder
// named after its first two digits, older ones in the backup folder itself, and decrypted
// copies in the decryption output folder.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kestrio {

struct ManifestEntry {
  std::string key;         // domain "-" relative path, UTF-8 as stored
  std::string storedName;  // 40 lowercase hexadecimal digits
};

enum class StoreLayout {
  kTwoLevel,   // Manifest.db backups: folder/ab/abcdef...
  kFlat,       // Manifest.mbdb backups: folder/abcdef...
  kDecrypted,  // the decryption output folder: folder/abcdef...
};

// Stored names of the databases the scan opens directly.
inline constexpr std::string_view kSmsDbName = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
inline constexpr std::string_view kAddressBookName = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
inline constexpr std::string_view kNotesName = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
// AppDomainGroup-group.com.apple.notes-NoteStore.sqlite (iOS 9 and later).
inline constexpr std::string_view kNoteStoreName = "4f98687d8ab0d6d1a371110e6b7300f6e465bef2";
inline constexpr std::string_view kCallHistoryStoreName =
    "5a4935c78a5255723f707230a451d79c540d2741";
inline constexpr std::string_view kCallHistoryDbName = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
// CameraRollDomain-Media/PhotoData/Photos.sqlite
inline constexpr std::string_view kPhotoLibraryName = "12b144c0bd44f2b3dffd9186d3f9c05b917cee25";
inline constexpr std::string_view kWhatsAppSharedName = "7c7fba66680ef796b916b067077cc246adacf01d";
inline constexpr std::string_view kWhatsAppDocumentsName =
    "1b6b187a1b60b9ae8b720c79e2c67f472bab09c0";

// SHA-1 of the key, as 40 lowercase hexadecimal digits.
std::string StoredName(std::string_view key);

// True for 40 hexadecimal digits: the only stored names a path is ever built from.
bool IsStoredName(std::string_view name);

// Where the stored file `storedName` lies in `folder` for a layout; an empty path when the
// name is not a stored name (an index row naming "../x" must not lead a read elsewhere).
std::filesystem::path StoredPath(const std::filesystem::path& folder, std::string_view storedName,
                                 StoreLayout layout);

// Reads Manifest.mbdb. kResultOk; kResultManifestMbdbOpen when the file does not open;
// kResultInvalid when the path is empty or the magic is not "mbdb". A record cut off by the
// end of the file ends the reading; the entries before it are kept (result 0). Directories
// give no entry.
Result ReadManifestMbdb(const std::filesystem::path& path, std::vector<ManifestEntry>& entries);

// Parses the bytes of a Manifest.mbdb already in memory (same rules and results).
Result ParseManifestMbdb(std::string_view bytes, std::vector<ManifestEntry>& entries);

// Reads Manifest.db through SQLite. kResultOk; SQLite's open result when the database does
// not open; kResultManifestDbQuery when the query fails (no Files table, not a database).
// Every row is kept, directories included. The file is opened read-only and never changed.
Result ReadManifestDb(const std::filesystem::path& path, std::vector<ManifestEntry>& entries);

}  // namespace kestrio
