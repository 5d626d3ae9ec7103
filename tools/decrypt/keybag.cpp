#include "tools/decrypt/keybag.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace kestrio::decrypt {
namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool IsIntegerTag(std::string_view tag) {
  return tag == "VERS" || tag == "TYPE" || tag == "WRAP" || tag == "ITER" || tag == "DPWT" ||
         tag == "DPIC" || tag == "CLAS" || tag == "KTYP";
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

std::optional<Keybag> ParseKeybag(std::span<const std::uint8_t> bytes, std::string& error) {
  Keybag bag;
  bool seenUuid = false, hasSalt = false, hasIter = false;
  bool inClass = false, pendingHasClas = false;
  KeybagClass pending;
  auto closeClass = [&] {
    if (!inClass || !pendingHasClas) return;
    bool repeated = false;
    for (const KeybagClass& c : bag.classes) repeated = repeated || c.clas == pending.clas;
    if (!repeated) bag.classes.push_back(pending);
  };

  std::size_t pos = 0;
  // Every pass consumes at least 8 bytes, so the loop ends.
  while (bytes.size() - pos >= 8) {
    const std::string_view tag(reinterpret_cast<const char*>(bytes.data() + pos), 4);
    const std::uint32_t length = Be32(bytes.data() + pos + 4);
    pos += 8;
    if (length > bytes.size() - pos) {
      error = "keybag record " + std::string(tag) + " runs past the end of the keybag";
      return std::nullopt;
    }
    const std::span<const std::uint8_t> value = bytes.subspan(pos, length);
    pos += length;
    std::uint32_t number = 0;
    if (IsIntegerTag(tag)) {
      if (length != 4) {
        error = "keybag field " + std::string(tag) + " is not a 4-byte integer";
        return std::nullopt;
      }
      number = Be32(value.data());
    }

    if (tag == "UUID") {
      if (!seenUuid) {
        seenUuid = true;
        continue;
      }
      closeClass();
      pending = KeybagClass{};
      inClass = true;
      pendingHasClas = false;
      continue;
    }
    if (inClass) {
      if (tag == "CLAS") {
        pending.clas = number;
        pendingHasClas = true;
      } else if (tag == "WRAP") {
        pending.wrap = number;
      } else if (tag == "KTYP") {
        pending.ktyp = number;
      } else if (tag == "WPKY") {
        pending.wpky.assign(value.begin(), value.end());
      }
      continue;
    }
    if (tag == "TYPE") {
      bag.type = number & 0x3FFFFFFF;
    } else if (tag == "SALT") {
      bag.salt.assign(value.begin(), value.end());
      hasSalt = true;
    } else if (tag == "ITER") {
      bag.iter = number;
      hasIter = true;
    } else if (tag == "DPSL") {
      bag.dpsl.assign(value.begin(), value.end());
      bag.hasDpsl = true;
    } else if (tag == "DPIC") {
      bag.dpic = number;
      bag.hasDpic = true;
    }
  }
  closeClass();

  if (!hasSalt || bag.salt.empty() || !hasIter) {
    error = "keybag has no SALT or ITER";
    return std::nullopt;
  }
  if (bag.hasDpsl != bag.hasDpic || (bag.hasDpsl && bag.dpsl.empty())) {
    error = "keybag has only one of DPSL and DPIC";
    return std::nullopt;
  }
  if (bag.iter < 1 || bag.iter > kMaxIter) {
    error =
        "keybag ITER " + std::to_string(bag.iter) + " is outside 1.." + std::to_string(kMaxIter);
    return std::nullopt;
  }
  if (bag.hasDpic && (bag.dpic < 1 || bag.dpic > kMaxDpic)) {
    error =
        "keybag DPIC " + std::to_string(bag.dpic) + " is outside 1.." + std::to_string(kMaxDpic);
    return std::nullopt;
  }
  return bag;
}

Key DeriveKek(const Keybag& keybag, std::string_view password) {
  Key stage{};
  const unsigned char* pass = reinterpret_cast<const unsigned char*>(password.data());
  int passLength = static_cast<int>(std::min<std::size_t>(password.size(), 0x7FFFFFFF));
  if (keybag.hasDpsl && keybag.hasDpic) {
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pass), passLength, keybag.dpsl.data(),
                      static_cast<int>(keybag.dpsl.size()), static_cast<int>(keybag.dpic),
                      EVP_sha256(), static_cast<int>(stage.size()), stage.data());
    pass = stage.data();
    passLength = static_cast<int>(stage.size());
  }
  Key kek{};
  PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pass), passLength, keybag.salt.data(),
                    static_cast<int>(keybag.salt.size()), static_cast<int>(keybag.iter), EVP_sha1(),
                    static_cast<int>(kek.size()), kek.data());
  return kek;
}

std::optional<Key> UnwrapKey(const Key& kek, std::span<const std::uint8_t> wrapped) {
  if (wrapped.size() != 40) return std::nullopt;
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx) return std::nullopt;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  // A NULL IV selects the RFC 3394 default integrity value A6A6A6A6A6A6A6A6.
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1) {
    return std::nullopt;
  }
  // Wrap mode writes input length - 8 bytes; room for a whole extra block keeps any
  // OpenSSL version inside the buffer.
  std::array<std::uint8_t, 48> out{};
  int outLength = 0;
  if (EVP_DecryptUpdate(ctx.get(), out.data(), &outLength, wrapped.data(),
                        static_cast<int>(wrapped.size())) != 1 ||
      outLength != 32) {
    return std::nullopt;
  }
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out.data() + outLength, &finalLength) != 1 ||
      finalLength != 0) {
    return std::nullopt;
  }
  Key key;
  std::copy_n(out.begin(), key.size(), key.begin());
  return key;
}

const Key* ClassKeys::Find(std::uint32_t clas) const {
  if (auto it = keys.find(clas); it != keys.end()) return &it->second;
  if (auto it = keys.find(clas & 0xF); it != keys.end()) return &it->second;
  for (const auto& [stored, key] : keys) {
    if ((stored & 0xF) == clas) return &key;
  }
  return nullptr;
}

UnlockStatus UnlockClassKeys(const Keybag& keybag, const Key& kek, ClassKeys& out,
                             std::vector<std::string>& notes) {
  out.keys.clear();
  for (const KeybagClass& c : keybag.classes) {
    const std::string name = "keybag class " + std::to_string(c.clas);
    if ((c.wrap & 2) == 0) continue;  // device-key only: cannot be opened off the device
    if (c.ktyp != 0) {
      notes.push_back(name + ": unsupported key type " + std::to_string(c.ktyp) + ", skipped");
      continue;
    }
    if (c.wpky.size() != 40) {
      notes.push_back(name + ": wrapped key of " + std::to_string(c.wpky.size()) +
                      " bytes, skipped");
      continue;
    }
    std::optional<Key> key = UnwrapKey(kek, c.wpky);
    if (!key) {
      out.keys.clear();
      return UnlockStatus::kWrongPassword;
    }
    out.keys.emplace(c.clas, *key);
  }
  return out.keys.empty() ? UnlockStatus::kNothingToUnlock : UnlockStatus::kOk;
}

}  // namespace kestrio::decrypt
