// libFuzzer target for the note body path of NoteStore.sqlite: gzip, then the protocol buffer,
// then the text. The first byte picks what the rest is: even, a protobuf that is gzipped here
// (so the mutations reach the protobuf walk); odd, the stored bytes themselves (hostile gzip).
// Any input gives a text or a stated problem, never a crash: the text is well-formed UTF-8
// without object markers and never longer than what inflated.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "parsers/note_store.h"

namespace {

// The gzip member of `bytes` (zlib's deflate with a gzip header).
std::vector<std::uint8_t> Gzip(kestrio::Bytes bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    std::abort();
  std::vector<std::uint8_t> out(deflateBound(&stream, bytes.size()) + 32);
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

void Check(const kestrio::NoteBody& body, std::size_t limit) {
  if (!kestrio::IsValidUtf8(body.text)) std::abort();
  if (body.text.find("\xEF\xBF\xBC") != std::string::npos) std::abort();
  if (body.text.size() > limit) std::abort();
  if (body.kind != kestrio::NoteBody::Kind::kText && !body.text.empty()) std::abort();
  if (body.cut && body.problem.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const kestrio::Bytes rest(data + 1, size - 1);
  // A small limit, so that the limit is reached often.
  const std::size_t limit = 64 + data[0];
  if (data[0] % 2 == 0) {
    const std::vector<std::uint8_t> gz = Gzip(rest);
    Check(kestrio::DecodeNoteBody(gz, limit), limit);
    Check(kestrio::DecodeNoteBody(gz), kestrio::kMaxNoteBodyBytes);
    // The same stream cut in the middle.
    const kestrio::Bytes cut(gz.data(), gz.size() / 2);
    Check(kestrio::DecodeNoteBody(cut), kestrio::kMaxNoteBodyBytes);
  } else {
    Check(kestrio::DecodeNoteBody(rest, limit), limit);
    Check(kestrio::DecodeNoteBody(rest), kestrio::kMaxNoteBodyBytes);
  }
  return 0;
}
