// The backup keybag and the keys it guards.
//
// BackupKeyBag (a data value of Manifest.plist) is a flat run of records: a 4-character tag,
// a 4-byte big-endian length, then that many bytes. Records before the second UUID form the
// header (VERS, TYPE, UUID, HMCK, WRAP, SALT, ITER and, from iOS 10.2, DPWT, DPIC, DPSL);
// every later UUID opens a class record (CLAS, WRAP, KTYP, WPKY, PBKY). Integers are
// big-endian.
//
// The password becomes the key-encryption key (KEK) by PBKDF2: when the header carries both
// DPSL and DPIC, first HMAC-SHA256 over DPSL for DPIC rounds; then HMAC-SHA1 over SALT for
// ITER rounds (32 bytes each). Each class whose WRAP has bit 2 (password-wrapped) holds its
// 32-byte class key RFC 3394-wrapped with the KEK; an integrity failure of that unwrap means
// the password is wrong.
//
// Iteration bounds, checked before any derivation so that a crafted keybag cannot keep the
// program busy for hours: ITER 1..10,000,000 (devices write 10,000) and DPIC
// 1..100,000,000 (devices write 10,000,000, about 2 s; the bound leaves room for a tenfold
// increase, about 20 s).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::decrypt {

using ByteBuffer = std::vector<std::uint8_t>;
using Key = std::array<std::uint8_t, 32>;

inline constexpr std::uint32_t kMaxIter = 10'000'000;
inline constexpr std::uint32_t kMaxDpic = 100'000'000;

struct KeybagClass {
  std::uint32_t clas = 0;
  std::uint32_t wrap = 0;
  std::uint32_t ktyp = 0;  // 0 = AES key; 1 = Curve25519 pair (not supported)
  ByteBuffer wpky;
};

struct Keybag {
  std::uint32_t type = 0;
  ByteBuffer salt;
  std::uint32_t iter = 0;
  ByteBuffer dpsl;
  std::uint32_t dpic = 0;
  bool hasDpsl = false, hasDpic = false;
  std::vector<KeybagClass> classes;  // in keybag order; a repeated CLAS keeps the first
};

// Parses the keybag. nullopt with `error` set when a record runs past the end, an integer
// field is not 4 bytes, SALT or ITER is missing, only one of DPSL/DPIC is present, or an
// iteration count lies outside the bounds above.
std::optional<Keybag> ParseKeybag(std::span<const std::uint8_t> bytes, std::string& error);

// The KEK for `password` (its bytes as given). Both stages run when the keybag has DPSL and
// DPIC. The keybag must have passed ParseKeybag (the bounds are checked there).
Key DeriveKek(const Keybag& keybag, std::string_view password);

// RFC 3394 unwrap of a 40-byte blob into a 32-byte key; nullopt when the blob is not 40
// bytes or the integrity value does not come out as A6A6A6A6A6A6A6A6.
std::optional<Key> UnwrapKey(const Key& kek, std::span<const std::uint8_t> wrapped);

// The class keys unlocked by `kek`, by CLAS.
struct ClassKeys {
  std::map<std::uint32_t, Key> keys;
  // Looks up `clas`; on a miss compares both sides masked with 0xF (one older writer masks
  // the class that way).
  const Key* Find(std::uint32_t clas) const;
};

enum class UnlockStatus { kOk, kWrongPassword, kNothingToUnlock };

// Unwraps every class with WRAP & 2 and an AES WPKY. The first failing unwrap gives
// kWrongPassword; a keybag with no such class gives kNothingToUnlock. Classes that cannot be
// opened off-device (WRAP without bit 2, Curve25519 keys, a WPKY that is not 40 bytes) are
// left out and described in `notes`.
UnlockStatus UnlockClassKeys(const Keybag& keybag, const Key& kek, ClassKeys& out,
                             std::vector<std::string>& notes);

}  // namespace kestrio::decrypt
