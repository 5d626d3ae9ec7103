// Hand-built inputs for the decryption tests: hex, RFC 3394 wrap, AES-256-CBC encryption,
// keybag records and MBFile archives, made straight with OpenSSL and libplist (never with
// the code under test).
#pragma once

#include <openssl/evp.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/decrypt/keybag.h"

namespace kestrio::decrypt::testing {

inline ByteBuffer Hex(std::string_view hex) {
  ByteBuffer bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

inline Key KeyFrom(std::string_view hex) {
  const ByteBuffer bytes = Hex(hex);
  Key key{};
  if (bytes.size() != key.size()) throw std::invalid_argument("not a 32-byte key");
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

inline Key Filled(std::uint8_t seed) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return key;
}

inline ByteBuffer Wrap(const Key& kek, const Key& key) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  ByteBuffer out(48);
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr);
  EVP_EncryptUpdate(ctx, out.data(), &n, key.data(), static_cast<int>(key.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

// AES-256-CBC, zero IV; PKCS#7 added unless `pad` is false (then the input must be
// block-aligned).
inline ByteBuffer Encrypt(const Key& key, std::string_view plain, bool pad = true) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const std::uint8_t iv[16] = {};
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv);
  EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
  ByteBuffer out(plain.size() + 16);
  int n = 0, m = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n, reinterpret_cast<const std::uint8_t*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

inline ByteBuffer Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

inline ByteBuffer Cat(const ByteBuffer& a, const ByteBuffer& b) {
  ByteBuffer out(a.size() + b.size());
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
  return out;
}

// Keybag TLV records.
class KeybagBytes {
 public:
  KeybagBytes& Raw(std::string_view tag, const ByteBuffer& value) {
    bytes_.insert(bytes_.end(), tag.begin(), tag.end());
    Be32(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
  }
  KeybagBytes& Int(std::string_view tag, std::uint32_t value) {
    ByteBuffer v{static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return Raw(tag, v);
  }
  // A header; DPIC/DPSL only when `dpic` is non-zero.
  KeybagBytes& Header(const ByteBuffer& salt, std::uint32_t iter, const ByteBuffer& dpsl = {},
                      std::uint32_t dpic = 0) {
    Int("VERS", dpic ? 5 : 3).Int("TYPE", 1).Raw("UUID", ByteBuffer(16, 0xAB));
    Raw("HMCK", ByteBuffer(40, 0)).Int("WRAP", 0).Raw("SALT", salt).Int("ITER", iter);
    if (dpic != 0) Int("DPWT", 1).Int("DPIC", dpic).Raw("DPSL", dpsl);
    return *this;
  }
  KeybagBytes& Class(std::uint32_t clas, std::uint32_t wrap, const ByteBuffer& wpky,
                     std::uint32_t ktyp = 0) {
    return Raw("UUID", ByteBuffer(16, static_cast<std::uint8_t>(clas)))
        .Int("CLAS", clas)
        .Int("WRAP", wrap)
        .Int("KTYP", ktyp)
        .Raw("WPKY", wpky);
  }
  const ByteBuffer& bytes() const { return bytes_; }

 private:
  void Be32(std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) bytes_.push_back(static_cast<std::uint8_t>(v >> s));
  }
  ByteBuffer bytes_;
};

inline ByteBuffer ToBin(plist_t node) {
  char* data = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &data, &length);
  ByteBuffer out(data, data + length);
  plist_to_bin_free(data);
  plist_free(node);
  return out;
}

// An NSKeyedArchiver MBFile as a device writes it: root at UID 1, EncryptionKey a UID to an
// NSMutableData dictionary. With `nsDataByUid` NS.data is one more UID away (a synthetic
// variant). A negative `protectionClass` leaves the key out.
inline ByteBuffer MbFileBlob(const ByteBuffer& encryptionKey, long long protectionClass,
                             std::uint64_t size, std::uint64_t mode = 0100644,
                             bool nsDataByUid = false) {
  plist_t objects = plist_new_array();
  plist_array_append_item(objects, plist_new_string("$null"));
  plist_t file = plist_new_dict();
  plist_dict_set_item(file, "RelativePath", plist_new_uid(3));
  if (!encryptionKey.empty()) plist_dict_set_item(file, "EncryptionKey", plist_new_uid(2));
  if (protectionClass >= 0) {
    plist_dict_set_item(file, "ProtectionClass",
                        plist_new_uint(static_cast<std::uint64_t>(protectionClass)));
  }
  plist_dict_set_item(file, "Size", plist_new_uint(size));
  plist_dict_set_item(file, "Mode", plist_new_uint(mode));
  plist_array_append_item(objects, file);  // 1
  plist_t data = plist_new_dict();
  const auto* raw = reinterpret_cast<const char*>(encryptionKey.data());
  plist_dict_set_item(data, "NS.data",
                      nsDataByUid ? plist_new_uid(4) : plist_new_data(raw, encryptionKey.size()));
  plist_array_append_item(objects, data);                                       // 2
  plist_array_append_item(objects, plist_new_string("Media/x"));                // 3
  plist_array_append_item(objects, plist_new_data(raw, encryptionKey.size()));  // 4
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
  plist_dict_set_item(root, "$version", plist_new_uint(100000));
  plist_t top = plist_new_dict();
  plist_dict_set_item(top, "root", plist_new_uid(1));
  plist_dict_set_item(root, "$top", top);
  plist_dict_set_item(root, "$objects", objects);
  return ToBin(root);
}

}  // namespace kestrio::decrypt::testing
