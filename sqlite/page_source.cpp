#include "sqlite/page_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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

namespace {

// A thread's windows over the files it reads.
struct Window {
  std::uint64_t source = 0;         // the id of the source whose bytes these are; 0: none
  std::vector<std::uint8_t> bytes;  // file bytes from `start` on
  std::uint64_t start = 0;
  std::uint64_t lastUse = 0;
};
struct ThreadWindows {
  std::array<Window, FilePageSource::kWindows> windows;
  std::uint64_t uses = 0;
  std::uint64_t lastSource = 0;  // the source of the thread's previous read
  std::uint64_t lastEnd = 0;     // where that read ended
};
thread_local ThreadWindows threadWindows;

std::atomic<std::uint64_t> nextSourceId{1};

}  // namespace

FilePageSource::FilePageSource(UniqueFd fd, std::uint64_t size)
    : fd_(std::move(fd)), size_(size), id_(nextSourceId.fetch_add(1, std::memory_order_relaxed)) {}

Result FilePageSource::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return kResultInvalid;
  if (out.size() > kWindowBytes / 4) return ReadDirect(offset, out);
  ThreadWindows& mine = threadWindows;
  const auto follows = [&](std::uint64_t end) {
    return offset >= end && offset - end <= kWindowBytes / 4;
  };
  const bool afterLast = mine.lastSource == id_ && follows(mine.lastEnd);
  mine.lastSource = id_;
  mine.lastEnd = offset + out.size();
  Window* serve = nullptr;
  for (Window& w : mine.windows) {
    if (w.source == id_ && offset >= w.start && offset - w.start <= w.bytes.size() &&
        out.size() <= w.bytes.size() - (offset - w.start))
      serve = &w;
  }
  if (serve == nullptr) {
    // A stream that goes on past its window's end keeps that window; one that starts takes
    // the window used longest ago.
    for (Window& w : mine.windows) {
      if (w.source == id_ && !w.bytes.empty() && follows(w.start + w.bytes.size())) serve = &w;
    }
    if (serve == nullptr && afterLast) {
      serve = &*std::min_element(
          mine.windows.begin(), mine.windows.end(),
          [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
    }
    if (serve == nullptr) return ReadDirect(offset, out);
    serve->source = id_;
    serve->bytes.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, size_ - offset)));
    serve->start = offset;
    if (const Result filled = ReadDirect(offset, serve->bytes); filled != kResultOk) {
      serve->source = 0;
      serve->bytes.clear();
      return ReadDirect(offset, out);
    }
  }
  serve->lastUse = ++mine.uses;
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
