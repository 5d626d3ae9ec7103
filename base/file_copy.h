// Copying a stored file out of a backup, in pieces, with a report after each piece.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "base/result.h"

namespace kestrio {

// Called after each piece with the percent copied, 0 or the error that ended the copy, and
// the destination; a non-zero answer stops the copy with that answer.
using CopyProgress =
    std::function<Result(std::int32_t percent, Result error, const std::filesystem::path& dest)>;

inline constexpr std::size_t kCopyPieceBytes = 65536;

// Copies `source` to `destination`, creating the destination's folders and replacing what
// the destination held (it is truncated: a longer old file leaves no bytes behind).
// 0; 87 when either file does not open; a system error when a read or write fails; the
// report's non-zero answer. An empty source gives an empty destination and no report. Any
// result above 0 is reported once more, with 100 percent, before it is returned.
Result CopyBackupFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const CopyProgress& progress);

}  // namespace kestrio
