#include "backup/backup_summary.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string_view>

#include "backup/manifest.h"
#include "backup/plist_text.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/time_text.h"

namespace kestrio {
namespace {

// Info.plist files of real backups are a few kilobytes to a few megabytes; a larger file is
// not read whole.
constexpr std::uintmax_t kMaxInfoPlistBytes = 64 * 1024 * 1024;
constexpr long kVersion12 = 12;

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;

std::string StringValue(plist_t dict, const char* key) {
  // Binary lists hold UTF-16 that may pair its surrogates badly: it is shown as it can be.
  const std::optional<std::string> text = PlistText(plist_dict_get_item(dict, key));
  return text ? ToValidUtf8(*text) : std::string();
}

// A date of the property list as local time. libplist 2.2 counts dates from 2001-01-01 UTC.
std::string DateValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATE) return {};
  std::int32_t seconds = 0, microseconds = 0;
  plist_get_date_val(node, &seconds, &microseconds);
  return AppleTimeText(seconds);
}

bool ReadSmallFile(const std::filesystem::path& path, std::string& bytes) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error || size > kMaxInfoPlistBytes) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.resize(static_cast<std::size_t>(size));
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return true;
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// A keybag is a run of records: a 4-character tag, a 4-byte big-endian length, the value. It
// can serve a password when every record lies inside the bag, the header carries a 20-byte
// SALT and a 4-byte ITER, and at least one class key (WPKY) follows. Whether the password
// fits is for the decryption program to find out.
bool KeybagWellFormed(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::size_t kRecordHead = 8;
  constexpr std::size_t kSaltBytes = 20;
  bool salt = false, iter = false, classKey = false;
  std::size_t at = 0;
  while (at < size) {
    if (size - at < kRecordHead) return false;
    const std::string_view tag(reinterpret_cast<const char*>(bytes + at), 4);
    const std::size_t length = BigEndian32(bytes + at + 4);
    at += kRecordHead;
    if (length > size - at) return false;
    if (tag == "SALT") salt = length == kSaltBytes;
    if (tag == "ITER") iter = length == 4;
    if (tag == "WPKY" && length > 0) classKey = true;
    at += length;
  }
  return salt && iter && classKey;
}

}  // namespace

std::vector<std::filesystem::path> BackupRoots() {
  std::vector<std::filesystem::path> candidates;
  const auto mobileSync = ApplicationDataFolder() / "Apple Computer" / "MobileSync";
  candidates.push_back(mobileSync / "Backup");
  candidates.push_back(mobileSync / "backup");
  const auto home = HomeFolder();
  if (!home.empty()) {
    candidates.push_back(home / "Library" / "Application Support" / "MobileSync" / "Backup");
  }
  if (const char* extra = std::getenv("KESTRIO_BACKUP_DIRS")) {
    std::string_view list(extra);
    while (!list.empty()) {
      const std::size_t colon = list.find(':');
      const std::string_view item = list.substr(0, colon);
      if (!item.empty()) candidates.emplace_back(std::string(item));
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  std::vector<std::filesystem::path> roots;
  std::set<std::filesystem::path> seen;
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (!std::filesystem::is_directory(candidate, error)) continue;
    const auto real = std::filesystem::canonical(candidate, error);
    if (error || !seen.insert(real).second) continue;
    roots.push_back(candidate);
  }
  return roots;
}

EncryptionMark ReadEncryptionMark(const std::filesystem::path& folder) {
  std::string bytes;
  if (!ReadSmallFile(folder / "Manifest.plist", bytes) || bytes.empty())
    return EncryptionMark::kUnknown;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  const PlistPtr owner(root, &plist_free);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return EncryptionMark::kUnknown;
  plist_t flag = plist_dict_get_item(root, "IsEncrypted");
  if (flag == nullptr || plist_get_node_type(flag) != PLIST_BOOLEAN)
    return EncryptionMark::kUnknown;
  std::uint8_t encrypted = 0;
  plist_get_bool_val(flag, &encrypted);
  if (encrypted == 0) return EncryptionMark::kNotEncrypted;
  plist_t bag = plist_dict_get_item(root, "BackupKeyBag");
  if (bag == nullptr || plist_get_node_type(bag) != PLIST_DATA)
    return EncryptionMark::kKeybagUnusable;
  std::uint64_t length = 0;
  const char* data = plist_get_data_ptr(bag, &length);
  return data != nullptr && KeybagWellFormed(reinterpret_cast<const std::uint8_t*>(data),
                                             static_cast<std::size_t>(length))
             ? EncryptionMark::kEncrypted
             : EncryptionMark::kKeybagUnusable;
}

bool IsBackupEncrypted(const std::filesystem::path& folder) {
  switch (ReadEncryptionMark(folder)) {
    case EncryptionMark::kNotEncrypted:
      return false;
    case EncryptionMark::kEncrypted:
    case EncryptionMark::kKeybagUnusable:
      return true;
    case EncryptionMark::kUnknown:
      break;
  }
  std::error_code error;
  const bool twoLevel = std::filesystem::exists(folder / "Manifest.db", error);
  const auto probe =
      StoredPath(folder, kAddressBookName, twoLevel ? StoreLayout::kTwoLevel : StoreLayout::kFlat);
  std::ifstream in(probe, std::ios::binary);
  if (!in) in.open(probe.string() + ".mddata", std::ios::binary);
  if (!in) return false;
  char head[6] = {};
  in.read(head, sizeof head);
  // Ciphertext comes in 16-byte blocks: a shorter file (an empty one) tells nothing and
  // counts as not encrypted.
  if (in.gcount() < static_cast<std::streamsize>(sizeof head)) return false;
  return !EqualsIgnoreCase(std::string_view(head, sizeof head), "SQLite");
}

Result ReadBackupSummary(const std::filesystem::path& folder, BackupSummary& summary) {
  std::string bytes;
  if (!ReadSmallFile(folder / "Info.plist", bytes) || bytes.empty()) return kResultInvalid;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  const PlistPtr owner(root, &plist_free);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return kResultInvalid;

  summary = BackupSummary{};
  summary.folder = folder;
  summary.displayName = StringValue(root, "Display Name");
  summary.lastBackupDate = DateValue(root, "Last Backup Date");
  summary.phoneNumber = StringValue(root, "Phone Number");
  summary.serialNumber = StringValue(root, "Serial Number");
  const std::string version = StringValue(root, "Product Version");
  summary.version12 = std::strtol(version.c_str(), nullptr, 10) >= kVersion12;
  summary.encrypted = IsBackupEncrypted(folder);
  return kResultOk;
}

std::vector<BackupSummary> DiscoverBackups(const std::vector<std::filesystem::path>& roots) {
  std::vector<BackupSummary> backups;
  for (const auto& root : roots) {
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] != '.') entries.push_back(it->path());
    }
    // Directory order is the file system's; names make discovery order repeatable.
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
      BackupSummary summary;
      if (ReadBackupSummary(entry, summary) == kResultOk) backups.push_back(std::move(summary));
    }
  }
  // Newest first; date texts order by time, and an empty one sorts last.
  std::stable_sort(backups.begin(), backups.end(),
                   [](const BackupSummary& a, const BackupSummary& b) {
                     return CompareIgnoreCase(a.lastBackupDate, b.lastBackupDate) > 0;
                   });
  return backups;
}

}  // namespace kestrio
