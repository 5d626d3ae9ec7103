// Running the decryption program over an encrypted backup.
//
// The program ("tool", shipped beside Kestrio's executables) is installed into the work
// folder and started as
//   tool "<backup folder>" "<output folder>" "<password>"
// (each one argument). It writes the deciphered stored files flat into the output folder,
// leaves "Manifest.db-decypted" in the backup folder for Manifest.db backups, and prints
// "Count:<n>" as files are done and "Wrong password" when the password does not open the
// backup's keybag; both markers are read from its standard output and standard error. A stored
// file it cannot decipher is a line "<file ID>: <reason>, skipped" (a missing stored file among
// them); a row it refuses is "refused file ID ...". Those lines become findings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"
#include "parsers/parse_context.h"

namespace kestrio {

inline constexpr std::string_view kDecryptionProgramName = "tool";

struct DecryptionSetup {
  std::filesystem::path programFolder;  // where "tool" is shipped
  std::filesystem::path workFolder;     // where it is installed
  std::filesystem::path outputFolder;   // where the deciphered files go (created)
};

// The files of `folder` and of its first-level sub-folders (deeper levels are not read).
std::vector<std::filesystem::path> FolderFiles(const std::filesystem::path& folder);

// Files of the backup folder, a first-level sub-folder counting as the files in it.
inline std::uint64_t BackupFileCount(const std::filesystem::path& folder) {
  return FolderFiles(folder).size();
}

// Installs and runs the decryption program and follows its output. `progress` holds the
// callback, the progress base and the step: the first "Count:" raises a base of 0 to 1 and
// reports it; every output read reports base + step * count / files; at the end base + step
// is reported. 0 when the program ended; kResultWrongPassword (-110) on "Wrong password";
// the callback's non-zero answer (the program is then ended too); 87 when the program cannot
// be installed or started. Each file the program skipped is reported to `findings`.
Result RunDecryption(const std::string& password, const std::filesystem::path& backupFolder,
                     const DecryptionSetup& setup, ProgressSink& progress,
                     FindingsSink* findings = nullptr);

// The finding a line of the decryption program's output stands for, or nothing for a line
// that reports no skipped file ("Count:12", "Wrong password", ...).
std::optional<Finding> DecryptionFinding(std::string_view line);

}  // namespace kestrio
