#include "base/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

namespace kestrio {

const char* InflatedStatusText(Inflated::Status status) {
  switch (status) {
    case Inflated::Status::kComplete:
      return "complete";
    case Inflated::Status::kLimit:
      return "cut at its limit";
    case Inflated::Status::kTruncated:
      return "cut short";
    case Inflated::Status::kCorrupt:
      break;
  }
  return "corrupt";
}

bool LooksLikeGzip(Bytes data) {
  return data.size() >= 3 && data[0] == 0x1F && data[1] == 0x8B && data[2] == 0x08;
}

Inflated InflateStream(Bytes data, std::size_t limit) {
  Inflated out;
  z_stream stream{};
  // 15 + 32: a window of up to 32 KiB, the gzip or zlib header recognised by its first bytes.
  if (inflateInit2(&stream, 15 + 32) != Z_OK) return out;
  std::array<unsigned char, 16384> chunk{};
  std::size_t fed = 0;
  int code = Z_OK;
  // Every pass either consumes input or produces output (or zlib reports an end or an error),
  // and both are bounded, so the loop ends.
  while (true) {
    if (stream.avail_in == 0 && fed < data.size()) {
      const std::size_t take =
          std::min<std::size_t>(data.size() - fed, std::numeric_limits<uInt>::max());
      stream.next_in = const_cast<Bytef*>(data.data() + fed);  // zlib does not write to it
      stream.avail_in = static_cast<uInt>(take);
      fed += take;
    }
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    code = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = chunk.size() - stream.avail_out;
    const std::size_t room = limit - out.bytes.size();
    out.bytes.append(reinterpret_cast<const char*>(chunk.data()), std::min(produced, room));
    if (code == Z_STREAM_END) {
      out.status = produced > room ? Inflated::Status::kLimit : Inflated::Status::kComplete;
      break;
    }
    if (produced > room) {
      out.status = Inflated::Status::kLimit;
      break;
    }
    if (code == Z_BUF_ERROR) {
      // No progress was possible: the input is used up before the stream ended.
      out.status = Inflated::Status::kTruncated;
      break;
    }
    if (code != Z_OK) {
      out.status = Inflated::Status::kCorrupt;
      break;
    }
    if (stream.avail_in == 0 && fed == data.size() && stream.avail_out != 0) {
      // Input used up and zlib has nothing buffered: the stream was cut.
      out.status = Inflated::Status::kTruncated;
      break;
    }
  }
  inflateEnd(&stream);
  return out;
}

}  // namespace kestrio
