#include "tools/decrypt/file_cipher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/tools/decrypt/decrypt_test_support.h"

namespace kestrio::decrypt {
namespace {

namespace fs = std::filesystem;
using kestrio::testing::ReadText;
using kestrio::testing::WriteBytes;
using testing::Encrypt;

class DecryptFileTest : public ::testing::Test {
 protected:
  CipherResult Run(const ByteBuffer& stored, Padding padding = Padding::kStrict) {
    WriteBytes(in_, stored);
    return DecryptFile(key_, in_, out_, padding);
  }
  std::string Plain(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(i * 31 + i / 251);
    return text;
  }

  fixtures::TempDir dir_;
  fs::path in_ = dir_ / "stored", out_ = dir_ / "plain";
  Key key_ = testing::Filled(3);
};

TEST_F(DecryptFileTest, StripsPaddingAtEveryLengthAndAcrossPieces) {
  // Block edges, and lengths around the 1 MiB reading piece (the held-back block then sits
  // alone in the last piece, or straddles it).
  for (std::size_t size : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{17},
                           std::size_t{4096}, std::size_t{(1 << 20) - 16}, std::size_t{1 << 20},
                           std::size_t{(1 << 20) + 5}, std::size_t{3 * (1 << 20) + 1}}) {
    const std::string plain = Plain(size);
    const CipherResult result = Run(Encrypt(key_, plain));
    ASSERT_EQ(result.status, CipherStatus::kOk) << size;
    EXPECT_EQ(result.plainSize, size);
    EXPECT_TRUE(ReadText(out_) == plain) << size;
  }
}

TEST_F(DecryptFileTest, EmptyFilesGiveEmptyOutput) {
  for (const ByteBuffer& stored : {ByteBuffer{}, Encrypt(key_, "")}) {
    WriteBytes(out_, {'o', 'l', 'd'});
    const CipherResult result = Run(stored);
    EXPECT_EQ(result.status, CipherStatus::kOk) << stored.size();
    EXPECT_EQ(result.plainSize, 0u);
    EXPECT_EQ(ReadText(out_), "");
  }
}

TEST_F(DecryptFileTest, PublishedSyntheticVector) {
  key_ = Key{};
  ASSERT_EQ(Run(testing::Hex("78b51ca5374c3ad575174288688cda49")).status, CipherStatus::kOk);
  EXPECT_EQ(ReadText(out_), "Test data");
}

TEST_F(DecryptFileTest, RefusesDamagedFilesAndLeavesNoOutput) {
  const ByteBuffer good =
      Encrypt(key_, Plain(3 << 19));  // 1.5 MiB: output is written before the end
  ByteBuffer cut(good.begin(), good.end() - 3);
  ByteBuffer badPadding = Encrypt(key_, Plain(64) + std::string(16, '\x11'), false);
  struct Case {
    const char* name;
    ByteBuffer stored;
    CipherStatus status;
  };
  const Case cases[] = {
      {"not block-aligned", cut, CipherStatus::kNotBlockAligned},
      {"bad padding", badPadding, CipherStatus::kBadPadding},
      {"padding 0", Encrypt(key_, Plain(32) + std::string(16, '\0'), false),
       CipherStatus::kBadPadding},
      {"wrong key on a long file", Encrypt(testing::Filled(4), Plain(3 << 19)),
       CipherStatus::kBadPadding},
  };
  for (const Case& c : cases) {
    WriteBytes(out_, {'o', 'l', 'd'});  // a stale output is replaced or removed, never kept
    EXPECT_EQ(Run(c.stored).status, c.status) << c.name;
    EXPECT_FALSE(fs::exists(out_)) << c.name;
  }
}

TEST_F(DecryptFileTest, DatabasePaddingFollowsTheLength) {
  // Two whole pages whose last byte looks like one byte of padding.
  const std::string pages = Plain(8191) + '\x01';
  ASSERT_EQ(Run(Encrypt(key_, pages, false), Padding::kDatabase).status, CipherStatus::kOk);
  EXPECT_TRUE(ReadText(out_) == pages);
  ASSERT_EQ(Run(Encrypt(key_, pages), Padding::kDatabase).status, CipherStatus::kOk);
  EXPECT_TRUE(ReadText(out_) == pages);
  // Not whole pages and no valid padding: kept as it is.
  const std::string odd = Plain(4096) + std::string(16, '\x11');
  ASSERT_EQ(Run(Encrypt(key_, odd, false), Padding::kDatabase).status, CipherStatus::kOk);
  EXPECT_TRUE(ReadText(out_) == odd);
}

TEST_F(DecryptFileTest, InputsThatAreNotRegularFilesAndUnwritableOutput) {
  EXPECT_EQ(DecryptFile(key_, dir_ / "absent", out_, Padding::kStrict).status,
            CipherStatus::kMissing);
  EXPECT_EQ(DecryptFile(key_, dir_.path(), out_, Padding::kStrict).status, CipherStatus::kMissing);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(DecryptFile(key_, fifo, out_, Padding::kStrict).status, CipherStatus::kMissing);

  // The output path is a directory: a write error, and the directory is left alone.
  fs::create_directory(out_);
  EXPECT_EQ(Run(Encrypt(key_, "data")).status, CipherStatus::kWriteError);
  EXPECT_TRUE(fs::is_directory(out_));
}

}  // namespace
}  // namespace kestrio::decrypt
