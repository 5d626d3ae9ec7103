// Inflating gzip (RFC 1952) and zlib (RFC 1950) streams with zlib, with a bound on what comes
// out: the bytes are hostile, and a few kilobytes of deflate can inflate to gigabytes.
#pragma once

#include <cstddef>
#include <string>

#include "base/bytes.h"

namespace kestrio {

struct Inflated {
  enum class Status {
    kComplete,   // the stream ended properly (its checksum matched)
    kLimit,      // the output reached the limit before the stream ended
    kTruncated,  // the input ended before the stream did
    kCorrupt,    // the stream is not deflate data, or its checksum does not match
  };
  Status status = Status::kCorrupt;
  std::string bytes;  // what inflated before the stream ended or stopped

  bool Complete() const { return status == Status::kComplete; }
};

// A short English word for `status` ("complete", "cut at its limit", "cut short", "corrupt").
const char* InflatedStatusText(Inflated::Status status);

// Inflates the gzip or zlib stream at the start of `data` (the header decides), keeping at
// most `limit` bytes. Bytes after the end of the stream are ignored.
Inflated InflateStream(Bytes data, std::size_t limit);

// Whether `data` starts like a gzip member (1F 8B 08).
bool LooksLikeGzip(Bytes data);

}  // namespace kestrio
