#include "sqlite/record.h"

#include <bit>
#include <cstring>

namespace kestrio {

std::optional<std::int64_t> RecordColumn::Integer() const {
  if (serialType == 8) return 0;
  if (serialType == 9) return 1;
  if (serialType < 1 || serialType > 6) return std::nullopt;
  const std::size_t width = static_cast<std::size_t>(SerialTypeSize(serialType));
  if (value.size() < width) return std::nullopt;
  std::uint64_t raw = 0;
  for (std::size_t i = 0; i < width; ++i) raw = (raw << 8) | value[i];
  // Sign-extend from the stored width.
  const unsigned shift = static_cast<unsigned>(64 - 8 * width);
  return static_cast<std::int64_t>(raw << shift) >> shift;
}

std::optional<double> RecordColumn::Real() const {
  if (serialType != 7) return std::nullopt;
  const auto raw = ReadBigEndian(value, 0, 8);
  if (!raw) return std::nullopt;
  return std::bit_cast<double>(*raw);
}

namespace {

// Reads the serial types in [typeStart, typeEnd) and the values from `bodyStart` on.
// typeEnd <= record.size() (the callers check it).
Result SplitColumns(Bytes record, std::size_t typeStart, std::size_t typeEnd, std::size_t bodyStart,
                    DecodedRecord& out) {
  const std::uint8_t* data = record.data();
  const std::size_t size = record.size();
  std::size_t typePos = typeStart;
  std::size_t body = bodyStart;
  while (typePos < typeEnd) {
    std::uint64_t type = data[typePos];
    if (type < 0x80) {
      ++typePos;
    } else {
      const auto field = ReadTerminatedVarint(record.first(typeEnd), typePos);
      if (!field) return kResultInvalid;
      type = field->value;
      typePos += field->length;
    }
    const std::uint64_t length = SerialTypeSize(type);
    if (!InRange(size, body, length)) return kResultInvalid;
    out.columns.push_back(RecordColumn{type, Bytes(data + body, static_cast<std::size_t>(length))});
    body += static_cast<std::size_t>(length);
  }
  return kResultOk;
}

// Empties `out` for the next record, keeping the memory of its column list and payload
// storage: a scan decodes every row into one record.
void Reset(DecodedRecord& out) {
  out.rowId = 0;
  out.headerSize = 0;
  out.headerSizeLength = 0;
  out.firstColumn = 0;
  out.columns.clear();
  out.cell.payloadLength = 0;
  out.cell.rowId = 0;
  out.cell.payload = {};
  out.cell.storage.clear();
}

}  // namespace

Result DecodeRecord(const RawSqliteReader& reader, const RecordView& view, const CarvedRun& run,
                    DecodedRecord& out) {
  Reset(out);
  if (!view.carved) {
    if (!reader.ReadCell(view.bytes, out.cell, !view.deleted)) return kResultInvalid;
    out.rowId = out.cell.rowId;
    const Bytes record = out.cell.payload;
    const auto headerSize = ReadTerminatedVarint(record, 0);
    if (!headerSize) return kResultInvalid;
    out.headerSize = headerSize->value;
    out.headerSizeLength = headerSize->length;
    if (out.headerSize < out.headerSizeLength || out.headerSize > record.size())
      return kResultInvalid;
    const std::size_t h = static_cast<std::size_t>(out.headerSize);
    return SplitColumns(record, out.headerSizeLength, h, h, out);
  }
  const Bytes record = view.bytes;
  if (record.empty()) return kResultInvalid;
  const bool lostFirst = record[0] != 0;
  out.firstColumn = lostFirst ? 1 : 0;
  std::size_t runLength = 0;
  if (run.runBytes) {
    runLength = *run.runBytes;
    if (lostFirst) runLength = runLength == 0 ? 0 : runLength - 1;
  } else {
    const std::uint32_t count =
        lostFirst ? (run.columnCount == 0 ? 0 : run.columnCount - 1) : run.columnCount;
    runLength = VarintRunLength(record, count);
    if (runLength == 0 && count != 0) return kResultInvalid;
  }
  if (runLength > record.size()) return kResultInvalid;
  return SplitColumns(record, 0, runLength, runLength, out);
}

std::string DatabaseTextToUtf8(Bytes text, int encoding) {
  if (encoding != 2 && encoding != 3) return std::string(AsText(text));
  std::string out;
  out.reserve(text.size());
  const auto unit = [&](std::size_t i) -> std::uint32_t {
    return encoding == 2 ? text[i] | (text[i + 1] << 8) : (text[i] << 8) | text[i + 1];
  };
  const auto put = [&out](std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  constexpr std::uint32_t kReplacement = 0xFFFD;
  std::size_t i = 0;
  for (; i + 1 < text.size(); i += 2) {
    const std::uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < text.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    put(u >= 0xD800 && u < 0xE000 ? kReplacement : u);
  }
  if (i < text.size()) put(kReplacement);
  return out;
}

Result DecodeTableRecord(const RawSqliteReader& reader, const RecordView& view,
                         const TableShape& shape, DecodedRecord& out) {
  return DecodeRecord(reader, view, CarvedRun{shape.columnCount, std::nullopt}, out);
}

}  // namespace kestrio
