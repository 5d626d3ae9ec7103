#include "backup/manifest.h"

#include <openssl/sha.h>
#include <sqlite3.h>

#include <fstream>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

#include "base/bytes.h"
#include "sqlite/sqlite_library.h"

namespace kestrio {

std::string StoredName(std::string_view key) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  name.reserve(2 * SHA_DIGEST_LENGTH);
  for (unsigned char b : digest) {
    name += kDigits[b >> 4];
    name += kDigits[b & 15];
  }
  return name;
}

bool IsStoredName(std::string_view name) {
  if (name.size() != 40) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::filesystem::path StoredPath(const std::filesystem::path& folder, std::string_view storedName,
                                 StoreLayout layout) {
  if (!IsStoredName(storedName)) return {};
  if (layout == StoreLayout::kTwoLevel)
    return folder / std::string(storedName.substr(0, 2)) / std::string(storedName);
  return folder / std::string(storedName);
}

namespace {

constexpr std::string_view kMbdbMagic = "mbdb";
constexpr std::size_t kMbdbHeader = 6;
constexpr std::uint16_t kEmptyString = 0xFFFF;
constexpr std::uint16_t kFileTypeMask = 0xE000;
constexpr std::uint16_t kDirectory = 0x4000;
// mode 2, inode 8, uid 4, gid 4, mtime 4, atime 4, ctime 4, length 8, protection class 1
constexpr std::size_t kFixedFieldsAfterMode = 8 + 4 + 4 + 4 + 4 + 4 + 8 + 1;

// A cursor over the manifest's bytes; every read fails instead of leaving them.
class MbdbCursor {
 public:
  explicit MbdbCursor(Bytes bytes, std::size_t pos) : bytes_(bytes), pos_(pos) {}
  bool AtEnd() const { return pos_ >= bytes_.size(); }

  bool String(std::string_view* out) {
    const auto length = ReadBe16(bytes_, pos_);
    if (!length) return false;
    pos_ += 2;
    if (*length == kEmptyString || *length == 0) {
      if (out) *out = {};
      return true;
    }
    const auto text = SubSpan(bytes_, pos_, *length);
    if (!text) return false;
    if (out) *out = AsText(*text);
    pos_ += *length;
    return true;
  }
  bool U16(std::uint16_t& out) {
    const auto value = ReadBe16(bytes_, pos_);
    if (!value) return false;
    out = *value;
    pos_ += 2;
    return true;
  }
  bool U8(std::uint8_t& out) {
    if (pos_ >= bytes_.size()) return false;
    out = bytes_[pos_++];
    return true;
  }
  bool Skip(std::size_t n) {
    if (!InRange(bytes_.size(), pos_, n)) return false;
    pos_ += n;
    return true;
  }

 private:
  Bytes bytes_;
  std::size_t pos_;
};

}  // namespace

Result ParseManifestMbdb(std::string_view text, std::vector<ManifestEntry>& entries) {
  const Bytes bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (text.size() < kMbdbHeader || text.substr(0, kMbdbMagic.size()) != kMbdbMagic)
    return kResultInvalid;
  MbdbCursor cursor(bytes, kMbdbHeader);
  while (!cursor.AtEnd()) {
    std::string_view domain, path;
    std::uint16_t mode = 0;
    std::uint8_t properties = 0;
    const bool whole = cursor.String(&domain) && cursor.String(&path) && cursor.String(nullptr) &&
                       cursor.String(nullptr) && cursor.String(nullptr) && cursor.U16(mode) &&
                       cursor.Skip(kFixedFieldsAfterMode) && cursor.U8(properties);
    if (!whole) break;
    bool propertiesWhole = true;
    for (int i = 0; i < properties && propertiesWhole; ++i) {
      propertiesWhole = cursor.String(nullptr) && cursor.String(nullptr);
    }
    if (!propertiesWhole) break;  // a record cut off by the end of the file is dropped
    if (domain.empty() || path.empty() || (mode & kFileTypeMask) == kDirectory) continue;
    std::string key;
    key.reserve(domain.size() + 1 + path.size());
    key.append(domain).append("-").append(path);
    std::string name = StoredName(key);
    entries.push_back({std::move(key), std::move(name)});
  }
  return kResultOk;
}

Result ReadManifestMbdb(const std::filesystem::path& path, std::vector<ManifestEntry>& entries) {
  if (path.empty()) return kResultInvalid;
  std::ifstream in(path, std::ios::binary);
  if (!in) return kResultManifestMbdbOpen;
  std::string bytes;
  try {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return kResultManifestMbdbOpen;
    bytes.resize(static_cast<std::size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
  } catch (const std::bad_alloc&) {
    return kResultInvalid;
  } catch (const std::length_error&) {
    return kResultInvalid;
  }
  return ParseManifestMbdb(bytes, entries);
}

Result ReadManifestDb(const std::filesystem::path& path, std::vector<ManifestEntry>& entries) {
  // One index read at a time, as the scan worker reads one backup at a time.
  static std::mutex oneAtATime;
  const std::lock_guard<std::mutex> lock(oneAtATime);
  entries.clear();
  ReadOnlyDatabase database;
  if (const Result opened = database.Open(path); opened != SQLITE_OK) return opened;
  sqlite3* db = database.get();
  sqlite3_stmt* statement = nullptr;
  Result result = kResultOk;
  if (sqlite3_prepare_v2(db, "select fileID,domain, relativePath from Files;", -1, &statement,
                         nullptr) != SQLITE_OK) {
    result = kResultManifestDbQuery;
  } else {
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      const auto text = [&](int column) {
        const auto* value = sqlite3_column_text(statement, column);
        return value
                   ? std::string(reinterpret_cast<const char*>(value),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                   : std::string();
      };
      ManifestEntry entry;
      entry.storedName = text(0);
      entry.key = text(1);
      if (sqlite3_column_type(statement, 2) != SQLITE_NULL) entry.key += "-" + text(2);
      entries.push_back(std::move(entry));
    }
    if (step != SQLITE_DONE) result = kResultManifestDbQuery;
  }
  sqlite3_finalize(statement);
  if (result != kResultOk) entries.clear();
  return result;
}

}  // namespace kestrio
