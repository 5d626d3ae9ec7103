// libFuzzer target for the protocol buffer reader: any bytes give fields or a stop, never a
// read outside the buffer; every field lies inside the bytes after the one before, and a path
// lookup ends inside the message.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "base/bytes.h"
#include "parsers/protobuf.h"

namespace {

bool Inside(kestrio::Bytes outer, kestrio::Bytes inner) {
  if (inner.empty()) return true;
  return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kestrio::Bytes bytes(data, size);
  kestrio::protobuf::Reader reader(bytes);
  kestrio::protobuf::Field field;
  std::size_t last = 0;
  std::size_t count = 0;
  while (reader.Next(field)) {
    if (reader.Offset() <= last || reader.Offset() > size) std::abort();
    if (field.number == 0 || field.number > kestrio::protobuf::kMaxFieldNumber) std::abort();
    if (!Inside(bytes, field.bytes)) std::abort();
    // Nested messages are read the same way.
    if (field.type == kestrio::protobuf::WireType::kLengthDelimited) {
      kestrio::protobuf::Reader inner(field.bytes);
      kestrio::protobuf::Field nested;
      while (inner.Next(nested)) {
        if (!Inside(field.bytes, nested.bytes)) std::abort();
      }
    }
    last = reader.Offset();
    ++count;
  }
  if (count > size) std::abort();
  if (!reader.Failed() && reader.Offset() != size) std::abort();

  // The note text's path, and paths taken from the first bytes.
  static constexpr std::array<std::uint32_t, 3> kTextPath = {2, 3, 2};
  for (const bool acceptCut : {false, true}) {
    const auto found = kestrio::protobuf::FindPath(bytes, kTextPath, acceptCut);
    if (!Inside(bytes, found.bytes) || found.depth > kTextPath.size()) std::abort();
    if (found.cut && !acceptCut) std::abort();
  }
  if (size >= 4) {
    const std::array<std::uint32_t, 2> path = {data[0] % 8u, data[1] % 8u};
    const auto found = kestrio::protobuf::FindPath(bytes.subspan(2), path, data[2] % 2 == 1);
    if (!Inside(bytes, found.bytes)) std::abort();
  }
  return 0;
}
