#include "parsers/contacts.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/text.h"
#include "parsers/decoder_support.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::uint32_t kFirstNameColumn = 1;
constexpr std::uint32_t kLastNameColumn = 2;
constexpr std::uint32_t kOrganizationColumn = 7;
constexpr std::uint32_t kPhoneColumn = 16;  // 17 in the newer layout; the next four follow
constexpr std::size_t kMinPhoneLength = 7;

// How a carved contact row's serial-type run is measured: by the serial-type bytes of the
// last live row when one was seen, else by the table's column count.
CarvedRun ContactRun(TableReader& reader) {
  CarvedRun run;
  run.columnCount = reader.TableColumnCount(kContactTable);
  if (reader.Learned().contactIndexVariant != 0)
    run.runBytes = reader.Learned().contactIndexVariant;
  return run;
}

// Live rows teach the reader the layout's serial-type byte count and the highest rowid.
void LearnFromLiveRow(TableReader& reader, const DecodedRecord& record) {
  LearnedLayout& learned = reader.Learned();
  learned.contactIndexVariant =
      static_cast<std::uint32_t>(record.headerSize - record.headerSizeLength);
  learned.contactColumnCount = static_cast<std::uint32_t>(record.columns.size());
  learned.highestContactRowId = std::max(learned.highestContactRowId, record.rowId);
}

// Splits a contact row; a live row teaches the reader as it goes.
Result DecodeContactRecord(TableReader& reader, const RecordView& view, DecodedRecord& record) {
  if (DecodeRecord(reader.Sqlite(), view, ContactRun(reader), record) != kResultOk)
    return kResultInvalid;
  if (!view.carved) LearnFromLiveRow(reader, record);
  return kResultOk;
}

Result DecodeContact(TableReader& reader, const RecordView& view, ContactRecord& contact) {
  DecodedRecord record;
  if (DecodeContactRecord(reader, view, record) != kResultOk) return kResultInvalid;

  // Every text of the row must be real text, not carved garbage.
  std::string text;
  for (const RecordColumn& column : record.columns) {
    if (!StrictText(&column, text)) return kResultInvalid;
  }
  const std::uint32_t phone = kPhoneColumn + (reader.Learned().newLayout ? 1 : 0);
  std::string first, last;
  StrictText(record.Column(kFirstNameColumn), first);
  StrictText(record.Column(kLastNameColumn), last);
  contact.fullName = first + last;
  StrictText(record.Column(kOrganizationColumn), contact.company);
  StrictText(record.Column(phone), contact.phones);
  StrictText(record.Column(phone + 1), contact.email);
  StrictText(record.Column(phone + 2), contact.postalAddress);
  StrictText(record.Column(phone + 3), contact.social);
  StrictText(record.Column(phone + 4), contact.homePage);
  contact.deleted = view.deleted;
  const bool control = std::any_of(contact.phones.begin(), contact.phones.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  return control ? kResultInvalid : kResultOk;
}

// Byte offset of the last `n` code points of `text`.
std::size_t LastCodePoints(std::string_view text, std::size_t n) {
  std::size_t pos = text.size();
  while (n > 0 && pos > 0) {
    --pos;
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) --n;
  }
  return pos;
}

}  // namespace

Result ReadContactRows(TableReader& reader, std::vector<ContactRecord>& contacts) {
  return reader.ScanTable(kContactTable, [&](const RecordView& view) {
    ContactRecord contact;
    const Result result = DecodeContact(reader, view, contact);
    if (result == kResultOk) contacts.push_back(std::move(contact));
    return result;
  });
}

std::string CleanPhoneList(std::string_view phoneText) {
  std::string out;
  std::string_view previous;
  std::size_t start = 0;
  for (std::size_t space = phoneText.find(' '); space != std::string_view::npos;
       start = space + 1, space = phoneText.find(' ', start)) {
    const std::string_view piece = phoneText.substr(start, space - start);
    if (Utf8Length(piece) < kMinPhoneLength) continue;
    if (!previous.empty() &&
        piece.substr(LastCodePoints(piece, 2)) == previous.substr(LastCodePoints(previous, 2)))
      continue;
    if (!out.empty()) out += '\n';
    out += piece;
    previous = piece;
  }
  return out;
}

Result ParseContacts(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     std::vector<ContactRecord>& contacts, std::uint64_t& highestRowId) {
  TableReader reader(context.findings);
  reader.Learned().newLayout = context.newLayout;
  const Result opened = reader.OpenDatabase(addressBookPath, kAddressBookLabel);
  if (opened != kResultOk) return opened;
  std::vector<ContactRecord> rows;
  ReadContactRows(reader, rows);

  contacts.clear();
  for (ContactRecord& contact : rows) {
    if (contact.phones.empty()) continue;
    if (contact.fullName.empty()) contact.fullName = "No Name";
    contact.phones = CleanPhoneList(contact.phones);
    contacts.push_back(std::move(contact));
  }
  std::stable_sort(contacts.begin(), contacts.end(),
                   [](const ContactRecord& a, const ContactRecord& b) {
                     return CompareIgnoreCase(a.fullName, b.fullName) < 0;
                   });
  highestRowId = reader.Learned().highestContactRowId;
  return kResultOk;
}

namespace {

// One row of the contact dump:
//   <rowid>,<value>,<value>,...<last value>\r\n
// NULL and empty texts are NULL; texts are quoted with ' and " doubled; the last value has
// no comma after it when it is a text or NULL.
Result DumpContactRow(TableReader& reader, const RecordView& view, std::string& line) {
  DecodedRecord record;
  if (DecodeContactRecord(reader, view, record) != kResultOk) return kResultInvalid;
  if (record.columns.empty()) return kResultInvalid;
  LearnedLayout& learned = reader.Learned();
  std::uint64_t rowId = view.carved ? 0 : record.rowId;
  if (rowId == 0) rowId = ++learned.highestContactRowId;

  line = std::to_string(rowId) + ",";
  const std::uint32_t last = record.EndColumn() - 1;
  for (std::uint32_t c = record.firstColumn; c <= last; ++c) {
    const RecordColumn& column = *record.Column(c);
    const std::uint64_t t = column.serialType;
    const char* comma = c == last ? "" : ",";
    // Column 0 is the rowid alias, stored as NULL; the rowid above stands for it.
    if (c == 0 && t == 0) continue;
    if (t == 0 || t == 13) {
      line += "NULL";
      line += comma;
    } else if (t <= 9) {
      line += NumberText(column) + ",";
    } else if (column.IsText()) {
      if (!IsValidUtf8(column.Text())) return kResultInvalid;
      AppendQuoted(line, column.Text());
      line += comma;
    } else if (column.IsBlob()) {
      AppendHex(line, column.value);
      line += ",";
    }
  }
  line += "\r\n";
  return kResultOk;
}

}  // namespace

Result DumpContactRows(const std::filesystem::path& addressBookPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       bool newLayout) {
  TableReader reader;
  reader.Learned().highestContactRowId = highestRowId;
  reader.Learned().newLayout = newLayout;
  const Result opened = reader.OpenDatabase(addressBookPath);
  if (opened != kResultOk) return opened;
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(outputFile.c_str(), "ab"), &std::fclose);
  std::string line;
  return reader.ScanTable(kContactTable, [&](const RecordView& view) {
    const Result result = DumpContactRow(reader, view, line);
    if (result == kResultOk && out) std::fwrite(line.data(), 1, line.size(), out.get());
    return result;
  });
}

}  // namespace kestrio
