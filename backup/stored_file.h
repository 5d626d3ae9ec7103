// Read access to one stored file of a backup, for the media walks and the preview copy.
//
// A backup folder is hostile input like its index: a stored name may lead to a directory, a
// FIFO, a device node or a symbolic link to one. The file is opened without blocking and only
// a regular file is read, so no walk waits on a FIFO or reads an endless device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace kestrio {

// How many first bytes identification reads; a shorter file is never identified.
inline constexpr std::size_t kIdentifyBytes = 512;

class StoredFile {
 public:
  StoredFile() = default;
  ~StoredFile();
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;

  // Opens `path` for reading. 0, or the errno of the failure (ENOENT for an empty path).
  // A file that opens but is not a regular file counts as opened; IsRegular() tells.
  int Open(const std::filesystem::path& path);

  bool IsOpen() const { return fd_ >= 0; }
  bool IsRegular() const { return regular_; }
  // The size when it was opened (0 for anything but a regular file).
  std::uint64_t Size() const { return size_; }

  // Reads up to `count` bytes at `offset`, retrying short reads until `count` bytes or the end
  // of the file. The number of bytes read, or -1 with errno set.
  std::int64_t ReadAt(std::uint64_t offset, char* buffer, std::size_t count) const;

  // The extension of the file's type by its first kIdentifyBytes bytes, or empty (also for a
  // file that is not regular, cannot be read or is shorter).
  std::string_view Identify() const;

 private:
  int fd_ = -1;
  bool regular_ = false;
  std::uint64_t size_ = 0;
};

// True when an Open() failure means that nothing lies at the path (rather than something that
// cannot be read).
bool IsMissing(int openError);

}  // namespace kestrio
