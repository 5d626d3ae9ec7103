#include "tools/decrypt/decrypt_backup.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "tools/decrypt/file_cipher.h"
#include "tools/decrypt/keybag.h"
#include "tools/decrypt/records.h"

namespace kestrio::decrypt {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMaxPlistBytes = 64u << 20;
constexpr std::uintmax_t kMaxMbdbBytes = 1024u << 20;
constexpr std::size_t kMaxFileRecordBytes = 16u << 20;
constexpr std::string_view kIndexCopyName = "Manifest.db-decypted";

// Reads a whole file of at most `limit` bytes.
bool ReadSmall(const fs::path& path, std::uintmax_t limit, std::string& bytes, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = path.string() + " is missing";
    return false;
  }
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > limit) {
    error = path.string() + " cannot be read or is too large";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(static_cast<std::size_t>(size), '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
    error = path.string() + " cannot be read";
    return false;
  }
  return true;
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint32_t Le32(std::span<const std::uint8_t> p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// A file ID fit for a message: printable ASCII only, at most 60 characters.
std::string Printable(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, 60)) shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  if (text.size() > 60) shown += "...";
  return shown;
}

// One regular file named by the index.
struct FileJob {
  std::string_view id;
  std::optional<ByteBuffer> encryptionKey;
  std::optional<std::uint64_t> protectionClass;
};

class Run {
 public:
  explicit Run(const RunOptions& options) : o_(options) {}

  int Execute();

 private:
  void Out(std::string_view line) const {
    if (o_.out) o_.out(line);
  }
  void Err(std::string_view line) const {
    if (o_.err) o_.err(line);
  }
  int Fail(std::string_view message) const {
    Err(message);
    return kExitError;
  }
  void Counted() {
    ++count_;
    Out("Count:" + std::to_string(count_));
  }

  int FromManifestDb(const std::optional<ByteBuffer>& manifestKey);
  int FromMbdb(const std::string& mbdb);
  // Deciphers one file; false only on a failure that ends the run (the output folder cannot
  // be written).
  bool DecipherFile(const FileJob& job, bool twoLevelFirst);

  const RunOptions& o_;
  ClassKeys classKeys_;
  std::uint64_t count_ = 0;
};

int Run::Execute() {
  const fs::path& backup = o_.backupFolder;
  std::error_code ec;
  if (!fs::is_directory(backup, ec)) return Fail("backup folder not found: " + backup.string());

  std::string text, error;
  if (!ReadSmall(backup / "Manifest.plist", kMaxPlistBytes, text, error)) return Fail(error);
  ManifestPlist plist;
  if (!ParseManifestPlist(AsBytes(text), plist, error)) return Fail(error);
  if (!plist.isEncrypted) return Fail("the backup is not encrypted (IsEncrypted is not true)");
  if (plist.keybag.empty()) return Fail("Manifest.plist has no BackupKeyBag");
  const std::optional<Keybag> keybag = ParseKeybag(plist.keybag, error);
  if (!keybag) return Fail(error);

  // Everything that can be checked cheaply is checked before the slow derivation.
  const bool useManifestDb = fs::exists(backup / "Manifest.db", ec);
  std::string mbdb;
  if (useManifestDb) {
    if (plist.manifestKey && plist.manifestKey->size() != 44) {
      return Fail("ManifestKey is " + std::to_string(plist.manifestKey->size()) + " bytes, not 44");
    }
  } else {
    if (!ReadSmall(backup / "Manifest.mbdb", kMaxMbdbBytes, mbdb, error)) {
      return Fail("neither Manifest.db nor a readable Manifest.mbdb: " + error);
    }
    if (!MbdbReader(mbdb).HasMagic()) return Fail("Manifest.mbdb does not start with \"mbdb\"");
  }
  fs::create_directories(o_.outputFolder, ec);
  if (!fs::is_directory(o_.outputFolder, ec)) {
    return Fail("output folder cannot be created: " + o_.outputFolder.string());
  }
  if (fs::equivalent(o_.outputFolder, backup, ec)) {
    return Fail("the output folder must not be the backup folder");
  }

  const Key kek = DeriveKek(*keybag, o_.password);
  std::vector<std::string> notes;
  const UnlockStatus unlock = UnlockClassKeys(*keybag, kek, classKeys_, notes);
  for (const std::string& note : notes) Err(note);
  if (unlock == UnlockStatus::kWrongPassword) {
    Out("Wrong password");
    return kExitWrongPassword;
  }
  if (unlock == UnlockStatus::kNothingToUnlock) {
    return Fail("the keybag holds no class key wrapped with the password");
  }
  return useManifestDb ? FromManifestDb(plist.manifestKey) : FromMbdb(mbdb);
}

int Run::FromManifestDb(const std::optional<ByteBuffer>& manifestKey) {
  const fs::path source = o_.backupFolder / "Manifest.db";
  const fs::path index = o_.backupFolder / kIndexCopyName;
  const std::string unwritable =
      "cannot write " + index.string() + " (is the backup folder read-only?)";
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) return Fail("Manifest.db is not a regular file");
  if (manifestKey) {
    const std::span<const std::uint8_t> wrapped(*manifestKey);
    const std::uint32_t clas = Le32(wrapped.first(4));
    const Key* classKey = classKeys_.Find(clas);
    if (classKey == nullptr) {
      return Fail("ManifestKey names class " + std::to_string(clas) + ", which is not unlocked");
    }
    const std::optional<Key> dbKey = UnwrapKey(*classKey, wrapped.subspan(4));
    if (!dbKey) return Fail("ManifestKey does not unwrap (damaged Manifest.plist)");
    const CipherResult result = DecryptFile(*dbKey, source, index, Padding::kDatabase);
    if (result.status == CipherStatus::kWriteError) return Fail(unwritable);
    if (result.status != CipherStatus::kOk) {
      return Fail("Manifest.db cannot be deciphered: " + std::string(Describe(result.status)));
    }
  } else {
    if (fs::exists(index, ec) && !fs::is_regular_file(index, ec)) return Fail(unwritable);
    fs::copy_file(source, index, fs::copy_options::overwrite_existing, ec);
    if (ec) return Fail(unwritable);
  }

  char header[16] = {};
  {
    std::ifstream in(index, std::ios::binary);
    in.read(header, sizeof header);
  }
  if (std::memcmp(header, "SQLite format 3", sizeof header) != 0) {
    fs::remove(index, ec);
    return Fail(manifestKey ? "Manifest.db did not decipher to an SQLite database"
                            : "Manifest.db is not an SQLite database");
  }

  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(index.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  sqlite3_stmt* rawStmt = nullptr;
  if (opened != SQLITE_OK || sqlite3_prepare_v2(raw, "SELECT fileID, flags, file FROM Files", -1,
                                                &rawStmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(rawStmt);
    return Fail("the Files table of Manifest.db cannot be read: " +
                std::string(raw ? sqlite3_errmsg(raw) : "out of memory"));
  }
  const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(rawStmt, &sqlite3_finalize);
  for (;;) {
    const int step = sqlite3_step(rawStmt);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) {
      return Fail("reading Manifest.db stopped: " + std::string(sqlite3_errmsg(raw)));
    }
    FileJob job;
    const auto* id = reinterpret_cast<const char*>(sqlite3_column_text(rawStmt, 0));
    job.id = id ? std::string_view(id, static_cast<std::size_t>(sqlite3_column_bytes(rawStmt, 0)))
                : std::string_view();
    const bool integerFlags = sqlite3_column_type(rawStmt, 1) == SQLITE_INTEGER;
    const sqlite3_int64 flags = sqlite3_column_int64(rawStmt, 1);
    // flags 1 is a regular file; 0 occurs in synthetic backups, where the mode decides.
    bool regular = integerFlags && (flags == 1 || flags == 0);
    if (regular) {
      const void* blob = sqlite3_column_blob(rawStmt, 2);
      const auto blobSize = static_cast<std::size_t>(sqlite3_column_bytes(rawStmt, 2));
      MbFile file;
      std::string error;
      if (blob == nullptr || blobSize > kMaxFileRecordBytes ||
          !ParseMbFile({static_cast<const std::uint8_t*>(blob), blobSize}, file, error)) {
        if (flags == 1) {
          Err(Printable(job.id) + ": " + (error.empty() ? "no usable file record" : error) +
              ", skipped");
        }
        regular = false;
      } else if (flags == 0) {
        regular = file.mode && (*file.mode & 0xF000) == 0x8000;
      }
      job.encryptionKey = std::move(file.encryptionKey);
      job.protectionClass = file.protectionClass;
    }
    if (regular && !DecipherFile(job, true)) return kExitError;
    Counted();
  }
  return kExitOk;
}

int Run::FromMbdb(const std::string& mbdb) {
  MbdbReader reader(mbdb);
  MbdbRecord record;
  for (;;) {
    const MbdbReader::Step step = reader.Next(record);
    if (step == MbdbReader::Step::kEnd) break;
    if (step == MbdbReader::Step::kTruncated) {
      Err("Manifest.mbdb ends inside a record; the records before it were done");
      break;
    }
    if ((record.mode & 0xF000) == 0x8000) {
      const std::string id = Sha1Hex(record.domain + "-" + record.path);
      FileJob job{id, std::move(record.encryptionKey), record.protectionClass};
      if (!DecipherFile(job, false)) return kExitError;
    }
    Counted();
  }
  return kExitOk;
}

bool Run::DecipherFile(const FileJob& job, bool twoLevelFirst) {
  if (!IsFileId(job.id)) {
    Err("refused file ID \"" + Printable(job.id) + "\": not 40 hexadecimal digits");
    return true;
  }
  const std::string id(job.id);
  if (!job.encryptionKey) {
    Err(id + ": regular file without an encryption key, skipped");
    return true;
  }
  const ByteBuffer& key = *job.encryptionKey;
  if (key.size() != 44) {
    Err(id + ": encryption key of " + std::to_string(key.size()) + " bytes, skipped");
    return true;
  }
  // The recorded class first, then the key's own little-endian prefix; the unwrap's
  // integrity check tells which one holds.
  const std::uint32_t prefix = Le32(std::span(key).first(4));
  std::vector<std::uint32_t> classes;
  if (job.protectionClass && *job.protectionClass <= 0xFFFFFFFFu) {
    classes.push_back(static_cast<std::uint32_t>(*job.protectionClass));
  }
  if (classes.empty() || classes[0] != prefix) classes.push_back(prefix);
  std::optional<Key> fileKey;
  for (std::uint32_t clas : classes) {
    if (const Key* classKey = classKeys_.Find(clas)) {
      fileKey = UnwrapKey(*classKey, std::span(key).subspan(4));
      if (fileKey) break;
    }
  }
  if (!fileKey) {
    Err(id + ": file key does not unwrap with class " + std::to_string(classes[0]) + ", skipped");
    return true;
  }

  const fs::path twoLevel = o_.backupFolder / id.substr(0, 2) / id;
  const fs::path flat = o_.backupFolder / id;
  fs::path stored = twoLevelFirst ? twoLevel : flat;
  std::error_code ec;
  if (!fs::is_regular_file(stored, ec)) {
    const fs::path other = twoLevelFirst ? flat : twoLevel;
    if (fs::is_regular_file(other, ec)) stored = other;
  }
  const fs::path output = o_.outputFolder / id;
  if (fs::equivalent(stored, output, ec)) {  // an output folder inside the backup
    Err(id + ": the output would replace the stored file, skipped");
    return true;
  }
  const CipherResult result = DecryptFile(*fileKey, stored, output, Padding::kStrict);
  if (result.status == CipherStatus::kWriteError) {
    Err("cannot write " + output.string() + "; stopping");
    return false;
  }
  if (result.status != CipherStatus::kOk)
    Err(id + ": " + std::string(Describe(result.status)) + ", skipped");
  return true;
}

}  // namespace

int DecryptBackup(const RunOptions& options) { return Run(options).Execute(); }

}  // namespace kestrio::decrypt
