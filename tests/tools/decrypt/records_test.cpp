#include "tools/decrypt/records.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/tools/decrypt/decrypt_test_support.h"

namespace kestrio::decrypt {
namespace {

using testing::MbFileBlob;

const ByteBuffer kKey44 = testing::Cat(testing::Le32(3), ByteBuffer(40, 0x5A));

TEST(DecryptMbFile, ReadsDeviceShapeAndSyntheticVariants) {
  MbFile file;
  std::string error;
  ASSERT_TRUE(ParseMbFile(MbFileBlob(kKey44, 3, 1234), file, error)) << error;
  EXPECT_EQ(file.encryptionKey, kKey44);
  EXPECT_EQ(file.protectionClass, 3u);
  EXPECT_EQ(file.size, 1234u);
  EXPECT_EQ(file.mode, 0100644u);

  // NS.data one more UID away, no ProtectionClass.
  ASSERT_TRUE(ParseMbFile(MbFileBlob(kKey44, -1, 9, 0100644, true), file, error)) << error;
  EXPECT_EQ(file.encryptionKey, kKey44);
  EXPECT_FALSE(file.protectionClass);

  // A directory: no EncryptionKey.
  ASSERT_TRUE(ParseMbFile(MbFileBlob({}, 0, 0, 040755), file, error));
  EXPECT_FALSE(file.encryptionKey);
  EXPECT_EQ(file.mode, 040755u);
}

TEST(DecryptMbFile, HostileArchivesAreRefusedOrYieldNothing) {
  MbFile file;
  std::string error;
  const std::string base64 = "YnBsaXN0MDDUAQIDBAUGBwhYJHZlcnNpb24=";
  EXPECT_FALSE(ParseMbFile({reinterpret_cast<const std::uint8_t*>(base64.data()), base64.size()},
                           file, error));
  EXPECT_FALSE(ParseMbFile(ByteBuffer{}, file, error));
  EXPECT_FALSE(ParseMbFile(testing::Hex("62706c6973743030"), file, error));  // magic only

  // A root or key reference past the end of $objects.
  plist_t objects = plist_new_array();
  plist_array_append_item(objects, plist_new_string("$null"));
  plist_t mb = plist_new_dict();
  plist_dict_set_item(mb, "EncryptionKey", plist_new_uid(99));
  plist_array_append_item(objects, mb);
  plist_t root = plist_new_dict();
  plist_t top = plist_new_dict();
  plist_dict_set_item(top, "root", plist_new_uid(1));
  plist_dict_set_item(root, "$top", top);
  plist_dict_set_item(root, "$objects", objects);
  plist_t copy = plist_copy(root);
  ASSERT_TRUE(ParseMbFile(testing::ToBin(root), file, error));
  EXPECT_FALSE(file.encryptionKey);
  plist_dict_set_item(plist_dict_get_item(copy, "$top"), "root", plist_new_uid(7));
  EXPECT_FALSE(ParseMbFile(testing::ToBin(copy), file, error));

  // Every single-byte corruption of a real-shaped archive parses or is refused, never more.
  const ByteBuffer blob = MbFileBlob(kKey44, 3, 1234);
  for (std::size_t i = 8; i < blob.size(); ++i) {
    for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x81}}) {
      ByteBuffer bad = blob;
      bad[i] = value;
      ParseMbFile(bad, file, error);
    }
    ParseMbFile(std::span(blob).first(i), file, error);
  }
}

TEST(DecryptManifestPlist, XmlOrBinaryWithAndWithoutManifestKey) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "IsEncrypted", plist_new_bool(1));
  plist_dict_set_item(root, "BackupKeyBag", plist_new_data("bag", 3));
  plist_dict_set_item(root, "ManifestKey", plist_new_data("0123", 4));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  const ByteBuffer xmlBytes(xml, xml + length);
  plist_to_xml_free(xml);
  plist_dict_remove_item(root, "ManifestKey");
  const ByteBuffer binary = testing::ToBin(root);

  ManifestPlist plist;
  std::string error;
  ASSERT_TRUE(ParseManifestPlist(xmlBytes, plist, error)) << error;
  EXPECT_TRUE(plist.isEncrypted);
  EXPECT_EQ(plist.keybag, (ByteBuffer{'b', 'a', 'g'}));
  EXPECT_EQ(plist.manifestKey, (ByteBuffer{'0', '1', '2', '3'}));
  ASSERT_TRUE(ParseManifestPlist(binary, plist, error)) << error;
  EXPECT_FALSE(plist.manifestKey);

  plist_t array = plist_new_array();
  EXPECT_FALSE(ParseManifestPlist(testing::ToBin(array), plist, error));
  EXPECT_FALSE(ParseManifestPlist(ByteBuffer{'x'}, plist, error));
}

// Manifest.mbdb record bytes.
std::string Record(std::string_view domain, std::string_view path, std::uint16_t mode,
                   std::string_view key, int properties = 0) {
  std::string r;
  auto u16 = [&](std::size_t v) {
    r += static_cast<char>(v >> 8);
    r += static_cast<char>(v & 0xFF);
  };
  auto str = [&](std::string_view s) {
    u16(s.size());
    r += s;
  };
  str(domain);
  str(path);
  r += "\xFF\xFF";  // link target: null
  r += "\xFF\xFF";  // digest: null
  if (key.empty()) {
    r += "\xFF\xFF";
  } else {
    str(key);
  }
  u16(mode);
  r.append(8 + 4 + 4 + 12, '\x01');
  r += std::string("\0\0\0\0\0\0\x01\x02", 8);  // size 258
  r += '\x04';                                  // protection class
  r += static_cast<char>(properties);
  for (int i = 0; i < properties; ++i) str("name"), str("value");
  return r;
}

TEST(DecryptMbdb, RecordsPropertiesNullKeysAndCutEnds) {
  const std::string key(44, 'k');
  const std::string bytes =
      std::string("mbdb\x05\x00", 6) + Record("HomeDomain", "Library/a", 0100644, key, 3) +
      Record("HomeDomain", "Library", 040755, "") + Record("HomeDomain", "Library/b", 0100644, key);
  for (std::size_t cut : {bytes.size(), bytes.size() - 1}) {
    const std::string view = bytes.substr(0, cut);
    MbdbReader reader(view);
    ASSERT_TRUE(reader.HasMagic());
    MbdbRecord r;
    ASSERT_EQ(reader.Next(r), MbdbReader::Step::kRecord);
    EXPECT_EQ(r.domain + "-" + r.path, "HomeDomain-Library/a");
    EXPECT_EQ(r.encryptionKey, ByteBuffer(key.begin(), key.end()));
    EXPECT_EQ(r.size, 258u);
    EXPECT_EQ(r.protectionClass, 4);
    ASSERT_EQ(reader.Next(r), MbdbReader::Step::kRecord);
    EXPECT_EQ(r.mode, 040755);
    EXPECT_FALSE(r.encryptionKey);
    const MbdbReader::Step last = reader.Next(r);
    EXPECT_EQ(last, cut == bytes.size() ? MbdbReader::Step::kRecord : MbdbReader::Step::kTruncated);
    EXPECT_EQ(reader.Next(r), MbdbReader::Step::kEnd);
  }
  EXPECT_FALSE(MbdbReader("mbdx\x05\x00").HasMagic());
  MbdbRecord r;
  EXPECT_EQ(MbdbReader(std::string_view("mbdb\x05\x00", 6)).Next(r), MbdbReader::Step::kEnd);
}

TEST(DecryptFileId, FortyHexDigitsOnlyAndTheSha1OfTheKey) {
  EXPECT_EQ(Sha1Hex("HomeDomain-Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_TRUE(IsFileId("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
  EXPECT_TRUE(IsFileId("3D0D7E5FB2CE288813306E4D4636395E047A3D28"));
  for (std::string_view bad :
       {std::string_view("../../../../../../../../../../../etc/passwd"),
        std::string_view("3d/../../3d0d7e5fb2ce288813306e4d4636395e"),
        std::string_view("3d0d7e5fb2ce288813306e4d4636395e047a3d2"),
        std::string_view("3d0d7e5fb2ce288813306e4d4636395e047a3d28a"),
        std::string_view("3d0d7e5fb2ce288813306e4d4636395e047a3d2g"), std::string_view(),
        std::string_view("3d0d7e5fb2ce288813306e4d4636395e047a3d2\0", 40)}) {
    EXPECT_FALSE(IsFileId(bad)) << bad;
  }
}

}  // namespace
}  // namespace kestrio::decrypt
