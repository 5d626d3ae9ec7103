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
  const auto follows = [&](std::uint64_t end) {
    return offset >= end && offset - end <= kWindowBytes / 4;
  };
  const bool afterLast = follows(lastEnd_);
  lastEnd_ = offset + out.size();
  Window* serve = nullptr;
  for (Window& w : windows_) {
    if (offset >= w.start && offset - w.start <= w.bytes.size() &&
        out.size() <= w.bytes.size() - (offset - w.start))
      serve = &w;
  }
  if (serve == nullptr) {
    // A stream that goes on past its window's end keeps that window; one that starts takes
    // the window used longest ago.
    for (Window& w : windows_) {
      if (!w.bytes.empty() && follows(w.start + w.bytes.size())) serve = &w;
    }
    if (serve == nullptr && afterLast) {
      serve = &*std::min_element(
          windows_.begin(), windows_.end(),
          [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
    }
    if (serve == nullptr) return ReadDirect(offset, out);
    serve->bytes.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, size_ - offset)));
    serve->start = offset;
    if (const Result filled = ReadDirect(offset, serve->bytes); filled != kResultOk) {
      serve->bytes.clear();
      return ReadDirect(offset, out);
    }
  }
  serve->lastUse = ++uses_;
  std::copy_n(serve->bytes.begin() + static_cast<std::ptrdiff_t>(offset - serve->start), out.size(),
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
