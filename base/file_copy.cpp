#include "base/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kestrio {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now; a system error when the close reports one (a write that failed late).
  Result Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) != 0 ? LastSystemResult() : kResultOk;
  }

 private:
  int fd_;
};

Result WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemResult();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return kResultOk;
}

Result Copy(int in, int out, std::uint64_t size, const std::filesystem::path& destination,
            const CopyProgress& progress) {
  std::vector<std::uint8_t> piece(kCopyPieceBytes);
  std::uint64_t copied = 0;
  for (;;) {
    const ssize_t n = ::read(in, piece.data(), piece.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemResult();
    }
    if (n == 0) return kResultOk;
    if (const Result written = WriteAll(out, piece.data(), static_cast<std::size_t>(n));
        written != kResultOk)
      return written;
    copied += static_cast<std::uint64_t>(n);
    // A file that grew while it was copied shows 100, never more.
    const std::uint64_t percent = copied >= size ? 100 : copied * 100 / size;
    if (progress) {
      if (const Result answer =
              progress(static_cast<std::int32_t>(percent), kResultOk, destination);
          answer != kResultOk)
        return answer;
    }
  }
}

}  // namespace

Result CopyBackupFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CopyProgress& progress) {
  Result result = kResultOk;
  std::error_code ignored;
  if (destination.has_parent_path())
    std::filesystem::create_directories(destination.parent_path(), ignored);
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  Fd out(in.get() >= 0 ? ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                       : -1);
  struct stat info {};
  if (in.get() < 0 || out.get() < 0 || ::fstat(in.get(), &info) != 0) {
    result = kResultInvalid;
  } else if (info.st_size > 0) {
    result =
        Copy(in.get(), out.get(), static_cast<std::uint64_t>(info.st_size), destination, progress);
    if (const Result closed = out.Close(); result == kResultOk) result = closed;
  }
  if (result > 0 && progress) progress(100, result, destination);
  return result;
}

}  // namespace kestrio
