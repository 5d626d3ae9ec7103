// The decryption program's two costs: deciphering a stored file (AES-256-CBC, streamed in
// 1 MiB pieces, padding checked) on a generated 1 GiB file, and the key derivation at the
// device iteration count (10,000,000 SHA-256 rounds, then 10,000 SHA-1 rounds). The 1 GiB
// file is written once per process in a temporary folder and removed at exit; it is freshly
// written, so the reads mostly come from the page cache.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "tests/fixtures/ios_fixtures.h"
#include "tools/decrypt/file_cipher.h"
#include "tools/decrypt/keybag.h"

namespace kestrio::decrypt {
namespace {

constexpr std::size_t kFileBytes = std::size_t{1} << 30;

Key BenchKey() {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 13 + 5);
  return key;
}

// A 1 GiB plaintext (plus 3 bytes, so the padding is not a whole block) encrypted in pieces.
struct BigFile {
  fixtures::TempDir dir;
  std::filesystem::path stored = dir / "stored";
  std::filesystem::path plain = dir / "plain";
  std::uint64_t storedBytes = 0;

  BigFile() {
    const Key key = BenchKey();
    const std::uint8_t iv[16] = {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv);
    std::FILE* out = std::fopen(stored.c_str(), "wb");
    if (out == nullptr) throw std::runtime_error("cannot write the benchmark file");
    std::vector<std::uint8_t> in(1 << 20), enc((1 << 20) + 16);
    std::size_t left = kFileBytes + 3;
    for (std::uint32_t piece = 0; left > 0; ++piece) {
      const std::size_t n = std::min(left, in.size());
      for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i ^ piece);
      int written = 0;
      EVP_EncryptUpdate(ctx.get(), enc.data(), &written, in.data(), static_cast<int>(n));
      std::fwrite(enc.data(), 1, static_cast<std::size_t>(written), out);
      storedBytes += static_cast<std::uint64_t>(written);
      left -= n;
    }
    int written = 0;
    EVP_EncryptFinal_ex(ctx.get(), enc.data(), &written);
    std::fwrite(enc.data(), 1, static_cast<std::size_t>(written), out);
    storedBytes += static_cast<std::uint64_t>(written);
    if (std::fclose(out) != 0) throw std::runtime_error("cannot write the benchmark file");
  }
};

void BM_DecryptFile1GiB(benchmark::State& state) {
  static BigFile file;
  const Key key = BenchKey();
  for (auto _ : state) {
    const CipherResult result = DecryptFile(key, file.stored, file.plain, Padding::kStrict);
    if (result.status != CipherStatus::kOk || result.plainSize != kFileBytes + 3) {
      state.SkipWithError("decryption failed");
      break;
    }
    std::filesystem::remove(file.plain);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.storedBytes));
}
BENCHMARK(BM_DecryptFile1GiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_DeriveKekDeviceCount(benchmark::State& state) {
  Keybag keybag;
  keybag.salt.assign(20, 0x11);
  keybag.iter = 10'000;
  keybag.dpsl.assign(20, 0x22);
  keybag.dpic = 10'000'000;
  keybag.hasDpsl = keybag.hasDpic = true;
  for (auto _ : state) benchmark::DoNotOptimize(DeriveKek(keybag, "password"));
}
BENCHMARK(BM_DeriveKekDeviceCount)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace kestrio::decrypt

BENCHMARK_MAIN();
