#include "tools/decrypt/keybag.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/tools/decrypt/decrypt_test_support.h"

namespace kestrio::decrypt {
namespace {

using testing::Hex;
using testing::KeybagBytes;
using testing::KeyFrom;

Keybag Parse(const ByteBuffer& bytes) {
  std::string error;
  std::optional<Keybag> bag = ParseKeybag(bytes, error);
  if (!bag) throw std::runtime_error("keybag refused: " + error);
  return *bag;
}

std::string Refusal(const ByteBuffer& bytes) {
  std::string error;
  return ParseKeybag(bytes, error) ? std::string() : error;
}

// Derives from `password`, unlocks, and returns class 1's key as hex ("" when refused).
std::string UnlockedHex(const ByteBuffer& keybag, std::string_view password, UnlockStatus& status) {
  const Keybag bag = Parse(keybag);
  ClassKeys keys;
  std::vector<std::string> notes;
  status = UnlockClassKeys(bag, DeriveKek(bag, password), keys, notes);
  const Key* key = keys.Find(1);
  if (key == nullptr) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : *key) hex += {kHex[b >> 4], kHex[b & 0xF]};
  return hex;
}

TEST(DecryptKeyUnwrap, Rfc3394VectorAndIntegrityCheck) {
  Key kek = KeyFrom("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  const ByteBuffer wrapped =
      Hex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
  const std::optional<Key> key = UnwrapKey(kek, wrapped);
  ASSERT_TRUE(key);
  EXPECT_EQ(*key, KeyFrom("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F"));

  ByteBuffer damaged = wrapped;
  damaged[20] ^= 0x01;
  EXPECT_FALSE(UnwrapKey(kek, damaged));
  EXPECT_FALSE(UnwrapKey(kek, ByteBuffer(wrapped.begin(), wrapped.begin() + 32)));  // too short
  EXPECT_FALSE(UnwrapKey(kek, testing::Cat(wrapped, ByteBuffer(8, 0))));            // too long
  EXPECT_FALSE(UnwrapKey(kek, ByteBuffer{}));
  kek[31] ^= 0x01;
  EXPECT_FALSE(UnwrapKey(kek, wrapped));

  // The ManifestKey tail of a published synthetic backup: wrap(KEK 0, key 0).
  EXPECT_EQ(UnwrapKey(Key{}, Hex("97317494343807e690fd1e431413963dc0e3deb4907fb89fa36ce651"
                                 "26d0ea1301381fb3a2941e2f")),
            Key{});
}

TEST(DecryptKeyDerivation, Sha1OnlyVectors) {
  // hashcat mode 14700 self-test, password "hashcat".
  const ByteBuffer bag =
      KeybagBytes()
          .Header(Hex("2202015774208421818002001652122401871832"), 10000)
          .Class(1, 2,
                 Hex("ebd7f9b33293b2511f0a4139d5b213feff51476968863cef60ec38d7204"
                     "97b6ff39a0bb63fa9f84e"))
          .bytes();
  EXPECT_EQ(DeriveKek(Parse(bag), "hashcat"),
            KeyFrom("a29e0b44321c66a8f34c587ce924421e37231a3f020598a9a1a2ccdb71b424db"));
  UnlockStatus status;
  EXPECT_EQ(UnlockedHex(bag, "hashcat", status),
            "d684b4867dd1000012ddecf958080000d3c202a1ab73000070ef26e352020000");
  EXPECT_EQ(status, UnlockStatus::kOk);
  EXPECT_EQ(UnlockedHex(bag, "hashcaT", status), "");
  EXPECT_EQ(status, UnlockStatus::kWrongPassword);

  // A synthetic pre-10.2 keybag: password "0000", zero salt; every class key is zero.
  const ByteBuffer zeroBag =
      KeybagBytes()
          .Header(ByteBuffer(20, 0), 10000)
          .Class(1, 2,
                 Hex("eba582ae3f5731863d270bd875e4c15566bd7847f98536f6674cf6cadc113f8b5bb7a71ebc4"
                     "8b7a5"))
          .bytes();
  EXPECT_EQ(DeriveKek(Parse(zeroBag), "0000"),
            KeyFrom("a1f9ad8aab0647485a344fda6dcc4eaad54819a775676b70ad61044beefdede4"));
  EXPECT_EQ(UnlockedHex(zeroBag, "0000", status), std::string(64, '0'));
  EXPECT_EQ(UnlockedHex(zeroBag, "0001", status), "");
  EXPECT_EQ(status, UnlockStatus::kWrongPassword);
}

TEST(DecryptKeyDerivation, Sha256ThenSha1WithReducedDpic) {
  // hashcat mode 14800 self-test (DPIC 1000), password "hashcat".
  const ByteBuffer bag =
      KeybagBytes()
          .Header(Hex("2721336781705041205314422175267631184867"), 10000,
                  Hex("99fafc983e732998adb9fadc162a2e382143f115"), 1000)
          .Class(1, 2,
                 Hex("17a3b858e79bc273be43a9f113b71efe7ec8e7e401396b350180b4592ef"
                     "45db67ffef7b2d64329a5"))
          .bytes();
  EXPECT_EQ(DeriveKek(Parse(bag), "hashcat"),
            KeyFrom("ca1bdd8196307fe1e2ed421321267d96e2988bf12f736035192cfed20ec823ea"));
  UnlockStatus status;
  EXPECT_EQ(UnlockedHex(bag, "hashcat", status),
            "2ed7042e87b50000fa6ba698661c000013194470a1f70000c35bd72ce0360000");
  EXPECT_EQ(UnlockedHex(bag, "hashcaT", status), "");
  EXPECT_EQ(status, UnlockStatus::kWrongPassword);
}

// About 2 s: the device iteration count. Run with --gtest_also_run_disabled_tests.
TEST(DecryptKeyDerivation, DISABLED_DeviceIterationCount) {
  const ByteBuffer bag =
      KeybagBytes()
          .Header(ByteBuffer(20, 0), 10000, ByteBuffer(20, 0), 10'000'000)
          .Class(1, 2,
                 Hex("528c9c5171bf8bef1ea397cf29d2a838c90529df02a6ad2f823a1c6f3a5"
                     "b2040e2a309c520c6a2ab"))
          .bytes();
  EXPECT_EQ(DeriveKek(Parse(bag), "0000"),
            KeyFrom("ec8edc160b5745ccae000bfb4787630f322821191fba7eea38feab2c6307cd9b"));
}

TEST(KeybagParse, HeaderAndClassesInAnyOrder) {
  // DP* before SALT, the header's WRAP after them, a trailing stub shorter than 8 bytes.
  ByteBuffer bytes = KeybagBytes()
                         .Raw("UUID", ByteBuffer(16, 1))
                         .Int("DPIC", 7)
                         .Raw("DPSL", ByteBuffer(20, 2))
                         .Int("TYPE", 0x40000001)
                         .Int("WRAP", 9)
                         .Raw("SALT", ByteBuffer(20, 3))
                         .Int("ITER", 5)
                         .Class(3, 2, ByteBuffer(40, 4))
                         .Class(11, 3, ByteBuffer(40, 5))
                         .Raw("UUID", ByteBuffer(16, 6))  // a class record without CLAS is dropped
                         .Int("WRAP", 2)
                         .Class(3, 2, ByteBuffer(40, 7))  // a repeated class keeps the first
                         .bytes();
  bytes.insert(bytes.end(), {'W', 'P', 'K'});
  const Keybag bag = Parse(bytes);
  EXPECT_EQ(bag.type, 1u);
  EXPECT_EQ(bag.iter, 5u);
  EXPECT_EQ(bag.salt, ByteBuffer(20, 3));
  EXPECT_TRUE(bag.hasDpic && bag.hasDpsl);
  EXPECT_EQ(bag.dpic, 7u);
  ASSERT_EQ(bag.classes.size(), 2u);
  EXPECT_EQ(bag.classes[0].clas, 3u);
  EXPECT_EQ(bag.classes[0].wrap, 2u);
  EXPECT_EQ(bag.classes[0].wpky, ByteBuffer(40, 4));
  EXPECT_EQ(bag.classes[1].clas, 11u);
  EXPECT_EQ(bag.classes[1].wrap, 3u);
}

TEST(KeybagParse, RefusesHostileRecordsAndIterationCounts) {
  const ByteBuffer salt(20, 1);
  EXPECT_EQ(Refusal(KeybagBytes().Header(salt, 1).bytes()), "");

  ByteBuffer pastEnd = KeybagBytes().Header(salt, 10).bytes();
  pastEnd.insert(pastEnd.end(), {'W', 'P', 'K', 'Y', 0x7F, 0xFF, 0xFF, 0xFF, 1, 2});
  EXPECT_NE(Refusal(pastEnd).find("past the end"), std::string::npos);
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10).Raw("CLAS", ByteBuffer(3, 0)).bytes()), "");
  EXPECT_NE(Refusal(KeybagBytes().Raw("SALT", salt).bytes()), "");                   // no ITER
  EXPECT_NE(Refusal(KeybagBytes().Int("ITER", 10).bytes()), "");                     // no SALT
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10).Int("DPIC", 10).bytes()), "");    // no DPSL
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10).Raw("DPSL", salt).bytes()), "");  // no DPIC
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 0).bytes()), "");
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, kMaxIter + 1).bytes()), "");
  EXPECT_EQ(Refusal(KeybagBytes().Header(salt, kMaxIter).bytes()), "");
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10, salt, 0xFFFFFFFF).bytes()), "");
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10, salt, kMaxDpic + 1).bytes()), "");
  EXPECT_NE(Refusal(KeybagBytes().Header(salt, 10).Int("DPIC", 0).Raw("DPSL", salt).bytes()), "");
  EXPECT_NE(Refusal(ByteBuffer{}), "");
  EXPECT_NE(Refusal(ByteBuffer(7, 0)), "");
}

TEST(KeybagUnlock, SkipsClassesThatCannotBeOpenedAndFindsMaskedClasses) {
  const Key kek = testing::Filled(1);
  const Key classKey = testing::Filled(50);
  const ByteBuffer bag = KeybagBytes()
                             .Header(ByteBuffer(20, 1), 1)
                             .Class(1, 1, ByteBuffer(40, 9))                // device key only
                             .Class(2, 2, ByteBuffer(72, 9), 1)             // Curve25519
                             .Class(3, 2, ByteBuffer(24, 9))                // malformed length
                             .Class(0x14, 3, testing::Wrap(kek, classKey))  // masked: class 4
                             .bytes();
  ClassKeys keys;
  std::vector<std::string> notes;
  EXPECT_EQ(UnlockClassKeys(Parse(bag), kek, keys, notes), UnlockStatus::kOk);
  EXPECT_EQ(keys.keys.size(), 1u);
  EXPECT_EQ(notes.size(), 2u);
  ASSERT_NE(keys.Find(4), nullptr);
  EXPECT_EQ(*keys.Find(4), classKey);
  EXPECT_EQ(keys.Find(1), nullptr);

  const ByteBuffer deviceOnly =
      KeybagBytes().Header(ByteBuffer(20, 1), 1).Class(1, 1, ByteBuffer(40, 9)).bytes();
  EXPECT_EQ(UnlockClassKeys(Parse(deviceOnly), kek, keys, notes), UnlockStatus::kNothingToUnlock);

  // One good class and one that fails: the failure is a wrong password, and nothing is kept.
  const ByteBuffer mixed = KeybagBytes()
                               .Header(ByteBuffer(20, 1), 1)
                               .Class(1, 2, testing::Wrap(kek, classKey))
                               .Class(2, 2, testing::Wrap(testing::Filled(2), classKey))
                               .bytes();
  EXPECT_EQ(UnlockClassKeys(Parse(mixed), kek, keys, notes), UnlockStatus::kWrongPassword);
  EXPECT_TRUE(keys.keys.empty());
}

}  // namespace
}  // namespace kestrio::decrypt
