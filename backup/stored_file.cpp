#include "backup/stored_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>

#include "backup/media_files.h"

namespace kestrio {

StoredFile::~StoredFile() {
  if (fd_ >= 0) ::close(fd_);
}

int StoredFile::Open(const std::filesystem::path& path) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  regular_ = false;
  size_ = 0;
  if (path.empty()) return ENOENT;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer. It changes
  // nothing for regular files, the only ones ever read.
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  fd_ = fd;
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0) {
    regular_ = true;
    size_ = static_cast<std::uint64_t>(info.st_size);
  }
  return 0;
}

std::int64_t StoredFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t count) const {
  if (fd_ < 0 || !regular_) {
    errno = EBADF;
    return -1;
  }
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::size_t done = 0;
  while (done < count) {
    if (offset > kMaxOffset - done) break;
    const ssize_t got =
        ::pread(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

std::string_view StoredFile::Identify() const {
  if (!regular_ || size_ < kIdentifyBytes) return {};
  std::array<char, kIdentifyBytes> head{};
  if (ReadAt(0, head.data(), head.size()) != static_cast<std::int64_t>(head.size())) return {};
  return IdentifyBytes(std::string_view(head.data(), head.size()));
}

bool IsMissing(int openError) { return openError == ENOENT || openError == ENOTDIR; }

}  // namespace kestrio
