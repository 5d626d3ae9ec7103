// The plaintext records the decryption reads: Manifest.plist, the MBFile archive in the
// `file` column of Manifest.db, and the records of Manifest.mbdb. All of them come from the
// backup and are parsed as hostile input: every read is checked against the end of its
// buffer, every reference is checked against its table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/decrypt/keybag.h"

namespace kestrio::decrypt {

// Manifest.plist (binary or XML): a dictionary with IsEncrypted (bool), BackupKeyBag (data)
// and, from iOS 10.2, ManifestKey (data: le32 protection class, then a 40-byte wrapped key).
struct ManifestPlist {
  bool isEncrypted = false;
  ByteBuffer keybag;                      // empty when absent
  std::optional<ByteBuffer> manifestKey;  // as stored; its length is checked by the user
};
bool ParseManifestPlist(std::span<const std::uint8_t> bytes, ManifestPlist& out,
                        std::string& error);

// The fields of an NSKeyedArchiver MBFile (a binary plist) that decryption needs. The root
// is found through $top.root; object references (UIDs) are followed into $objects.
// EncryptionKey may be data, a UID to data, or a dictionary whose NS.data is data or a UID
// to data.
struct MbFile {
  std::optional<ByteBuffer> encryptionKey;
  std::optional<std::uint64_t> protectionClass, size, mode;
};
bool ParseMbFile(std::span<const std::uint8_t> bytes, MbFile& out, std::string& error);

// Manifest.mbdb: "mbdb", 2 version bytes, then records up to the end (big-endian). A string
// or data field is a u16 length and that many bytes; FFFF is null. After the five strings
// (domain, path, link target, digest, encryption key) comes a 40-byte block: u16 mode,
// u64 inode, u32 uid, u32 gid, 3 x u32 times, u64 size, u8 protection class, u8 property
// count; then that many (name, value) string pairs.
struct MbdbRecord {
  std::string domain, path;
  std::optional<ByteBuffer> encryptionKey;  // nullopt for FFFF and for a 0-length key
  std::uint16_t mode = 0;
  std::uint64_t size = 0;
  std::uint8_t protectionClass = 0;
};

class MbdbReader {
 public:
  // `bytes` must outlive the reader.
  explicit MbdbReader(std::string_view bytes) : bytes_(bytes) {}
  bool HasMagic() const { return bytes_.size() >= 6 && bytes_.substr(0, 4) == "mbdb"; }
  enum class Step { kRecord, kEnd, kTruncated };
  // The next record. kEnd at the end of the bytes; kTruncated when a record is cut off (the
  // reader then stays at the end). Each record consumes at least 50 bytes.
  Step Next(MbdbRecord& record);

 private:
  std::string_view bytes_;
  std::size_t pos_ = 6;
};

// True for exactly 40 hexadecimal digits: the only file IDs a path is built from.
bool IsFileId(std::string_view id);

// SHA-1 of `key` as 40 lowercase hexadecimal digits (the file ID of "<domain>-<path>").
std::string Sha1Hex(std::string_view key);

}  // namespace kestrio::decrypt
