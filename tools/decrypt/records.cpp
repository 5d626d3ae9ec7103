#include "tools/decrypt/records.h"

#include <openssl/sha.h>
#include <plist/plist.h>

#include <cstring>
#include <limits>
#include <memory>

namespace kestrio::decrypt {
namespace {

using PlistPtr = std::unique_ptr<void, decltype(&plist_free)>;

plist_t DictItem(plist_t dict, const char* key) {
  return plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
}

std::optional<ByteBuffer> DataValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  std::uint64_t length = 0;
  const char* data = plist_get_data_ptr(node, &length);
  if (data == nullptr) return ByteBuffer{};
  const auto* p = reinterpret_cast<const std::uint8_t*>(data);
  return ByteBuffer(p, p + length);
}

// Resolves object references of an NSKeyedArchiver archive.
class Archive {
 public:
  explicit Archive(plist_t objects) : objects_(objects) {}
  // A UID becomes the object it names (null when out of range); anything else stays.
  plist_t Resolve(plist_t node) const {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UID) return node;
    std::uint64_t index = 0;
    plist_get_uid_val(node, &index);
    if (index >= plist_array_get_size(objects_)) return nullptr;
    return plist_array_get_item(objects_, static_cast<std::uint32_t>(index));
  }
  std::optional<std::uint64_t> Integer(plist_t dict, const char* key) const {
    plist_t node = Resolve(DictItem(dict, key));
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    std::uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
  }

 private:
  plist_t objects_;
};

}  // namespace

bool ParseManifestPlist(std::span<const std::uint8_t> bytes, ManifestPlist& out,
                        std::string& error) {
  out = ManifestPlist{};
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    error = "Manifest.plist is empty or too large";
    return false;
  }
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::uint32_t>(bytes.size()), &root);
  const PlistPtr owner(root, &plist_free);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
    error = "Manifest.plist is not a property list dictionary";
    return false;
  }
  if (plist_t node = DictItem(root, "IsEncrypted");
      node != nullptr && plist_get_node_type(node) == PLIST_BOOLEAN) {
    std::uint8_t value = 0;
    plist_get_bool_val(node, &value);
    out.isEncrypted = value != 0;
  }
  if (std::optional<ByteBuffer> keybag = DataValue(DictItem(root, "BackupKeyBag"))) {
    out.keybag = std::move(*keybag);
  }
  out.manifestKey = DataValue(DictItem(root, "ManifestKey"));
  return true;
}

bool ParseMbFile(std::span<const std::uint8_t> bytes, MbFile& out, std::string& error) {
  out = MbFile{};
  constexpr std::string_view kMagic = "bplist00";
  // Some iOS 10.0 backups stored this column as enciphered base64 text: not supported.
  if (bytes.size() < kMagic.size() ||
      std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
    error = "file record is not a binary property list";
    return false;
  }
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    error = "file record is too large";
    return false;
  }
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()), &root);
  const PlistPtr owner(root, &plist_free);
  plist_t objects = root != nullptr ? DictItem(root, "$objects") : nullptr;
  if (objects == nullptr || plist_get_node_type(objects) != PLIST_ARRAY) {
    error = "file record is not a keyed archive";
    return false;
  }
  const Archive archive(objects);
  plist_t top = DictItem(root, "$top");
  plist_t rootRef = top != nullptr ? DictItem(top, "root") : nullptr;
  if (rootRef == nullptr || plist_get_node_type(rootRef) != PLIST_UID) {
    error = "file record has no root object";
    return false;
  }
  plist_t file = archive.Resolve(rootRef);
  if (file == nullptr || plist_get_node_type(file) != PLIST_DICT) {
    error = "file record's root object is not a dictionary";
    return false;
  }

  plist_t key = archive.Resolve(DictItem(file, "EncryptionKey"));
  if (key != nullptr && plist_get_node_type(key) == PLIST_DICT) {
    key = archive.Resolve(DictItem(key, "NS.data"));
  }
  out.encryptionKey = DataValue(key);
  out.protectionClass = archive.Integer(file, "ProtectionClass");
  out.size = archive.Integer(file, "Size");
  out.mode = archive.Integer(file, "Mode");
  return true;
}

MbdbReader::Step MbdbReader::Next(MbdbRecord& record) {
  if (pos_ >= bytes_.size()) return Step::kEnd;
  std::size_t pos = pos_;
  auto fail = [&] {
    pos_ = bytes_.size();
    return Step::kTruncated;
  };
  auto u = [&](int width, std::uint64_t& value) {
    if (bytes_.size() - pos < static_cast<std::size_t>(width)) return false;
    value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | static_cast<std::uint8_t>(bytes_[pos++]);
    return true;
  };
  // A string field; `isNull` is set for the length FFFF.
  auto field = [&](std::string_view& value, bool& isNull) {
    std::uint64_t length = 0;
    if (!u(2, length)) return false;
    isNull = length == 0xFFFF;
    if (isNull) {
      value = {};
      return true;
    }
    if (bytes_.size() - pos < length) return false;
    value = bytes_.substr(pos, length);
    pos += length;
    return true;
  };

  std::string_view domain, path, skip, key;
  bool domainNull, pathNull, skipNull, keyNull;
  if (!field(domain, domainNull) || !field(path, pathNull) || !field(skip, skipNull) ||
      !field(skip, skipNull) || !field(key, keyNull)) {
    return fail();
  }
  std::uint64_t mode, ignored, size, protectionClass, properties;
  if (!u(2, mode) || !u(8, ignored) || !u(4, ignored) || !u(4, ignored) || !u(4, ignored) ||
      !u(4, ignored) || !u(4, ignored) || !u(8, size) || !u(1, protectionClass) ||
      !u(1, properties)) {
    return fail();
  }
  for (std::uint64_t i = 0; i < properties; ++i) {  // at most 255 pairs
    if (!field(skip, skipNull) || !field(skip, skipNull)) return fail();
  }
  pos_ = pos;
  record.domain.assign(domain);
  record.path.assign(path);
  record.encryptionKey.reset();
  if (!keyNull && !key.empty()) record.encryptionKey.emplace(key.begin(), key.end());
  record.mode = static_cast<std::uint16_t>(mode);
  record.size = size;
  record.protectionClass = static_cast<std::uint8_t>(protectionClass);
  return Step::kRecord;
}

bool IsFileId(std::string_view id) {
  if (id.size() != 40) return false;
  for (char c : id) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

std::string Sha1Hex(std::string_view key) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * SHA_DIGEST_LENGTH);
  for (unsigned char byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0xF]);
  }
  return hex;
}

}  // namespace kestrio::decrypt
