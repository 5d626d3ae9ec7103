#include "tools/decrypt/file_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

namespace kestrio::decrypt {
namespace {

constexpr std::size_t kBlock = 16;
constexpr std::size_t kChunk = std::size_t{1} << 20;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// The padding length of a final block, 0 when the block does not end in valid PKCS#7.
std::size_t PaddingLength(const std::uint8_t* block) {
  const std::uint8_t n = block[kBlock - 1];
  if (n < 1 || n > kBlock) return 0;
  for (std::size_t i = kBlock - n; i < kBlock; ++i) {
    if (block[i] != n) return 0;
  }
  return n;
}

class OutputFile {
 public:
  explicit OutputFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (created_ && !kept_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  bool Open() {
    file_ = std::fopen(path_.c_str(), "wb");
    created_ = file_ != nullptr;
    return created_;
  }
  bool Write(const std::uint8_t* data, std::size_t size) {
    return size == 0 || std::fwrite(data, 1, size, file_) == size;
  }
  // Closes the file (a failing close is a failed write) and keeps it.
  bool Keep() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    kept_ = closed;
    return closed;
  }

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  bool created_ = false;  // only a file this object created is ever removed
  bool kept_ = false;
};

CipherResult Decipher(const Key& key, const std::filesystem::path& input,
                      const std::filesystem::path& output, Padding padding) {
  std::error_code error;
  // Only a regular file is read: a FIFO would block the open, a device would never end.
  if (!std::filesystem::is_regular_file(input, error)) return {CipherStatus::kMissing};
  const std::uintmax_t size = std::filesystem::file_size(input, error);
  if (error) return {CipherStatus::kReadError};
  if (size == 0) {
    // An empty file: the stored form of an empty file is not settled (0 bytes or one padding
    // block); both give an empty output.
    OutputFile out(output);
    if (!out.Open() || !out.Keep()) return {CipherStatus::kWriteError};
    return {CipherStatus::kOk, 0};
  }
  if (size % kBlock != 0) return {CipherStatus::kNotBlockAligned};

  File in(std::fopen(input.c_str(), "rb"));
  if (!in) return {CipherStatus::kReadError};
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  const std::uint8_t zeroIv[kBlock] = {};
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), zeroIv) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return {CipherStatus::kReadError};
  }

  OutputFile out(output);
  bool opened = false;
  std::vector<std::uint8_t> cipher(kChunk), plain(kChunk + kBlock);
  std::uint8_t tail[kBlock];
  bool hasTail = false;
  std::uint64_t written = 0;
  // Exactly `size` bytes are read (a file that grows meanwhile cannot prolong the loop).
  for (std::uintmax_t remaining = size; remaining > 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(remaining, kChunk));
    if (std::fread(cipher.data(), 1, want, in.get()) != want) return {CipherStatus::kReadError};
    remaining -= want;
    int got = 0;
    if (EVP_DecryptUpdate(ctx.get(), plain.data(), &got, cipher.data(), static_cast<int>(want)) !=
            1 ||
        static_cast<std::size_t>(got) != want) {
      return {CipherStatus::kReadError};
    }
    if (!opened) {
      if (!out.Open()) return {CipherStatus::kWriteError};
      opened = true;
    }
    if (hasTail) {
      if (!out.Write(tail, kBlock)) return {CipherStatus::kWriteError};
      written += kBlock;
    }
    const std::size_t body = want - kBlock;
    if (!out.Write(plain.data(), body)) return {CipherStatus::kWriteError};
    written += body;
    std::copy_n(plain.data() + body, kBlock, tail);
    hasTail = true;
  }

  std::size_t strip = PaddingLength(tail);
  if (strip == 0 && padding == Padding::kStrict) return {CipherStatus::kBadPadding};
  if (padding == Padding::kDatabase && size % 512 == 0) strip = 0;
  if (!out.Write(tail, kBlock - strip)) return {CipherStatus::kWriteError};
  written += kBlock - strip;
  if (!out.Keep()) return {CipherStatus::kWriteError};
  return {CipherStatus::kOk, written};
}

}  // namespace

CipherResult DecryptFile(const Key& key, const std::filesystem::path& input,
                         const std::filesystem::path& output, Padding padding) {
  const CipherResult result = Decipher(key, input, output, padding);
  if (result.status != CipherStatus::kOk) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(output, error);
    if (std::filesystem::is_regular_file(status) || std::filesystem::is_symlink(status)) {
      std::filesystem::remove(output, error);
    }
  }
  return result;
}

std::string_view Describe(CipherStatus status) {
  switch (status) {
    case CipherStatus::kOk:
      return "deciphered";
    case CipherStatus::kMissing:
      return "stored file is missing";
    case CipherStatus::kNotBlockAligned:
      return "stored file length is not a multiple of 16";
    case CipherStatus::kBadPadding:
      return "bad padding (wrong key or damaged file)";
    case CipherStatus::kReadError:
      return "stored file cannot be read";
    case CipherStatus::kWriteError:
      return "output file cannot be written";
  }
  return "unknown";
}

}  // namespace kestrio::decrypt
