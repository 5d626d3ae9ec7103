#include "sqlite/page_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrio {

Result FilePageSource::Open(const std::filesystem::path& path,
                            std::unique_ptr<FilePageSource>& out) {
  out.reset();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return LastSystemResult();
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return LastSystemResult();
  if (!S_ISREG(st.st_mode) || st.st_size < 0) return kResultInvalid;
  out.reset(new FilePageSource(std::move(fd), static_cast<std::uint64_t>(st.st_size)));
  return kResultOk;
}

Result FilePageSource::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return kResultInvalid;
  if (out.size() > kWindowBytes / 4) return ReadDirect(offset, out);
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto inWindow = [&] {
    return offset >= windowStart_ && offset - windowStart_ <= window_.size() &&
           out.size() <= window_.size() - (offset - windowStart_);
  };
  const bool sequential = offset >= lastEnd_ && offset - lastEnd_ <= kWindowBytes / 4;
  lastEnd_ = offset + out.size();
  if (!inWindow()) {
    if (!sequential) return ReadDirect(offset, out);
    // The window runs from this read on, as far as the file goes.
    window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, size_ - offset)));
    windowStart_ = offset;
    if (const Result filled = ReadDirect(offset, window_); filled != kResultOk) {
      window_.clear();
      return ReadDirect(offset, out);
    }
  }
  std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(offset - windowStart_), out.size(),
              out.begin());
  return kResultOk;
}

Result FilePageSource::ReadDirect(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd_.Get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemResult();
    }
    if (n == 0) return kResultInvalid;  // the file shrank since it was opened
    done += static_cast<std::size_t>(n);
  }
  return kResultOk;
}

Result MemoryPageSource::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return kResultInvalid;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return kResultOk;
}

}  // namespace kestrio
