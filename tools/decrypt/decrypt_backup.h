// The decryption program's run: deciphers every stored file of an encrypted backup into a
// flat output folder.
//
// The index decides the era: a Manifest.db in the backup folder is used (enciphered when
// Manifest.plist has a ManifestKey, iOS 10.2 and later; plain otherwise, iOS 10.0-10.1),
// otherwise Manifest.mbdb (plain in every era). For Manifest.db backups the deciphered (or
// plain) index is written into the backup folder as "Manifest.db-decypted", the name the
// reading program looks for; Manifest.mbdb backups get no copy.
//
// Output lines: "Count:N" after each index row or record (N counts every row: deciphered,
// skipped and refused alike); "Wrong password" when, and only when, a class key of the keybag
// fails to unwrap. A stored file that is missing, is not a multiple of 16 bytes, has bad
// padding or whose key does not unwrap is reported on the error channel and skipped; so is a
// row whose file ID is not 40 hexadecimal digits and a regular file without an encryption key.
// Directories, links and rows of unknown kinds are skipped silently. An empty file (stored as
// 0 bytes or as one block of padding) is written as an empty file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace kestrio::decrypt {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitWrongPassword = 2;

struct RunOptions {
  std::filesystem::path backupFolder, outputFolder;
  std::string password;  // bytes as given; may be empty
  // One line each, without the newline. Either may be empty (the text is dropped).
  std::function<void(std::string_view)> out, err;
};

// Runs the decryption; returns the exit status (kExitOk also when some files were skipped).
int DecryptBackup(const RunOptions& options);

}  // namespace kestrio::decrypt
