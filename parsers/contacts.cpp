#include "parsers/contacts.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "base/text.h"
#include "parsers/contact_names.h"
#include "parsers/decoder_support.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::uint32_t kFirstNameColumn = 1;
constexpr std::uint32_t kLastNameColumn = 2;
constexpr std::uint32_t kOrganizationColumn = 7;
constexpr std::uint32_t kPhoneColumn = 16;  // 17 in the newer layout; the next four follow

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

// ---------------------------------------------------------------------------------------------
// The address book's own tables.
//
// ABPerson holds one row per person (ROWID, First, Last, Organization, ...). ABMultiValue
// holds the person's values, one row each: UID (rowid alias), record_id (-> ABPerson.ROWID),
// property (what kind of value), label (-> the implicit rowid of ABMultiValueLabel, whose
// built-in labels read "_$!<Mobile>!$_"), value (the text as typed; NULL for structured
// values). A structured value (postal address, instant messaging, social profile) keeps its
// parts in ABMultiValueEntry (parent_id -> ABMultiValue.UID, key -> the implicit rowid of
// ABMultiValueEntryKey, whose rows name the part: "Street", "City", "username", ...).

constexpr std::string_view kPersonTable = "ABPerson";
constexpr std::string_view kValueTable = "ABMultiValue";
constexpr std::string_view kLabelTable = "ABMultiValueLabel";
constexpr std::string_view kEntryTable = "ABMultiValueEntry";
constexpr std::string_view kEntryKeyTable = "ABMultiValueEntryKey";

constexpr std::int64_t kPropertyPhone = 3;
constexpr std::int64_t kPropertyEmail = 4;
constexpr std::int64_t kPropertyAddress = 5;
constexpr std::int64_t kPropertyIm = 13;
constexpr std::int64_t kPropertyUrl = 22;
constexpr std::int64_t kPropertySocial = 46;

bool ShownProperty(std::int64_t property) {
  return property == kPropertyPhone || property == kPropertyEmail || property == kPropertyAddress ||
         property == kPropertyIm || property == kPropertyUrl || property == kPropertySocial;
}

void AppendLine(std::string& lines, std::string_view line) {
  if (line.empty()) return;
  if (!lines.empty()) lines += '\n';
  lines += line;
}

// Appends `line` unless `seen` (the lines given so far, keyed by what they are) has it.
void AppendDistinctLine(std::string& lines, std::string_view line,
                        std::unordered_set<std::string>& seen, char kind) {
  if (line.empty()) return;
  std::string key(1, kind);
  key += line;
  if (seen.insert(std::move(key)).second) AppendLine(lines, line);
}

// "_$!<Mobile>!$_" -> "Mobile"; custom labels as they are.
std::string LabelText(std::string_view stored) {
  constexpr std::string_view kOpen = "_$!<";
  constexpr std::string_view kClose = ">!$_";
  if (stored.size() >= kOpen.size() + kClose.size() && stored.starts_with(kOpen) &&
      stored.ends_with(kClose)) {
    stored = stored.substr(kOpen.size(), stored.size() - kOpen.size() - kClose.size());
  }
  return std::string(stored);
}

std::string FullName(std::string_view first, std::string_view last, std::string_view company) {
  std::string name(first);
  if (!name.empty() && !last.empty()) name += ' ';
  name += last;
  if (name.empty()) name = company;
  return name;
}

// Looks a column up by name; a missing one is a finding and reads as absent.
std::uint32_t ColumnOf(const TableSchema& schema, std::string_view column, FindingsSink* findings) {
  const std::uint32_t index = schema.Find(column);
  if (index == TableSchema::kMissing) {
    Report(findings, {std::string(kAddressBookLabel), "column",
                      "table " + schema.name + " column " + std::string(column),
                      "missing; its values are left out"});
  }
  return index;
}

struct Person {
  std::int64_t id = 0;  // 0 for a carved row: its rowid was in the lost cell header
  std::string first, last, company;
  bool carved = false;
};

struct MultiValue {
  std::int64_t uid = 0;  // 0 for a carved row
  std::int64_t recordId = 0;
  std::int64_t property = 0;
  std::int64_t label = 0;
  std::string value;
  bool carved = false;
};

struct EntryPart {
  std::int64_t key = 0;
  std::string value;
};

// Reads the live rows of a table of (value TEXT) by their implicit rowid.
std::map<std::int64_t, std::string> ReadRowIdTexts(TableReader& reader, std::string_view table,
                                                   FindingsSink* findings) {
  std::map<std::int64_t, std::string> texts;
  const TableSchema* schema = reader.Schema(table);
  if (schema == nullptr) return texts;
  const std::uint32_t value = ColumnOf(*schema, "value", findings);
  reader.ScanTable(table, [&](const RecordView& view) {
    if (view.carved) return kResultInvalid;  // a freed label or key name has no rowid
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    std::string text;
    if (!StrictText(schema->Field(record, value, false), text)) return kResultInvalid;
    texts[static_cast<std::int64_t>(record.rowId)] = std::move(text);
    return kResultOk;
  });
  return texts;
}

std::vector<Person> ReadPersons(TableReader& reader, const TableSchema& schema,
                                FindingsSink* findings) {
  const std::uint32_t rowId = schema.Find("ROWID");
  const std::uint32_t first = ColumnOf(schema, "First", findings);
  const std::uint32_t last = ColumnOf(schema, "Last", findings);
  const std::uint32_t company = ColumnOf(schema, "Organization", findings);
  std::vector<Person> persons;
  reader.ScanTable(kPersonTable, [&](const RecordView& view) {
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    Person person;
    person.carved = view.carved;
    if (!view.carved) {
      const FieldValue id = schema.Field(record, rowId, false);
      person.id = id.kind == FieldValue::Kind::kInteger ? id.integer
                                                        : static_cast<std::int64_t>(record.rowId);
    }
    if (!StrictText(schema.Field(record, first, view.carved), person.first) ||
        !StrictText(schema.Field(record, last, view.carved), person.last) ||
        !StrictText(schema.Field(record, company, view.carved), person.company))
      return kResultInvalid;
    // A freed row that kept no name is nothing to show.
    if (view.carved && person.first.empty() && person.last.empty() && person.company.empty())
      return kResultInvalid;
    persons.push_back(std::move(person));
    return kResultOk;
  });
  return persons;
}

std::vector<MultiValue> ReadMultiValues(TableReader& reader, const TableSchema& schema,
                                        FindingsSink* findings) {
  const std::uint32_t uid = schema.Find("UID");
  const std::uint32_t recordId = ColumnOf(schema, "record_id", findings);
  const std::uint32_t property = ColumnOf(schema, "property", findings);
  const std::uint32_t label = ColumnOf(schema, "label", findings);
  const std::uint32_t value = ColumnOf(schema, "value", findings);
  std::vector<MultiValue> values;
  reader.ScanTable(kValueTable, [&](const RecordView& view) {
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    MultiValue v;
    v.carved = view.carved;
    if (!view.carved) {
      const FieldValue id = schema.Field(record, uid, false);
      v.uid = id.kind == FieldValue::Kind::kInteger ? id.integer
                                                    : static_cast<std::int64_t>(record.rowId);
    }
    const FieldValue owner = schema.Field(record, recordId, view.carved);
    const FieldValue kind = schema.Field(record, property, view.carved);
    if (owner.kind != FieldValue::Kind::kInteger || kind.kind != FieldValue::Kind::kInteger)
      return kResultInvalid;
    v.recordId = owner.integer;
    v.property = kind.integer;
    const FieldValue labelId = schema.Field(record, label, view.carved);
    if (labelId.kind == FieldValue::Kind::kInteger) v.label = labelId.integer;
    if (!StrictText(schema.Field(record, value, view.carved), v.value)) return kResultInvalid;
    // Freed bytes that only look like a row: a person's values have a positive record_id and
    // one of the property codes shown; a freed value must still hold its text.
    if (v.recordId <= 0 || !ShownProperty(v.property)) return kResultInvalid;
    if (view.carved && v.value.empty()) return kResultInvalid;
    values.push_back(std::move(v));
    return kResultOk;
  });
  return values;
}

// The parts of structured values by their parent's UID, live rows only (a freed part's
// parent cannot be told: the parent's own UID is lost with its cell header when it is freed).
std::map<std::int64_t, std::vector<EntryPart>> ReadEntries(TableReader& reader,
                                                           FindingsSink* findings) {
  std::map<std::int64_t, std::vector<EntryPart>> entries;
  const TableSchema* schema = reader.Schema(kEntryTable);
  if (schema == nullptr) return entries;
  const std::uint32_t parent = ColumnOf(*schema, "parent_id", findings);
  const std::uint32_t key = ColumnOf(*schema, "key", findings);
  const std::uint32_t value = ColumnOf(*schema, "value", findings);
  reader.ScanTable(kEntryTable, [&](const RecordView& view) {
    if (view.carved) return kResultInvalid;
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    const FieldValue parentId = schema->Field(record, parent, false);
    const FieldValue keyId = schema->Field(record, key, false);
    EntryPart part;
    if (parentId.kind != FieldValue::Kind::kInteger || keyId.kind != FieldValue::Kind::kInteger ||
        !StrictText(schema->Field(record, value, false), part.value) || part.value.empty())
      return kResultInvalid;
    part.key = keyId.integer;
    entries[parentId.integer].push_back(std::move(part));
    return kResultOk;
  });
  return entries;
}

// A structured value on one line: a postal address's parts in the order an address is
// written ("Street, City, State ZIP, Country"), other parts after them; an IM account or a
// social profile as "service: username" (or its URL when it has no user name).
std::string StructuredText(const std::vector<EntryPart>& parts,
                           const std::map<std::int64_t, std::string>& keyNames,
                           std::int64_t property) {
  std::map<std::string, std::string, std::less<>> byName;
  std::vector<std::string> others;
  for (const EntryPart& part : parts) {
    const auto name = keyNames.find(part.key);
    if (name == keyNames.end()) {
      others.push_back(part.value);
    } else if (!byName.try_emplace(AsciiLower(name->second), part.value).second) {
      others.push_back(part.value);
    }
  }
  auto take = [&](std::string_view name) {
    const auto it = byName.find(name);
    if (it == byName.end()) return std::string();
    std::string value = std::move(it->second);
    byName.erase(it);
    return value;
  };
  std::string text;
  auto add = [&](std::string_view separator, const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += separator;
    text += part;
  };
  if (property == kPropertyAddress) {
    add(", ", take("street"));
    add(", ", take("city"));
    add(", ", take("state"));
    add(" ", take("zip"));
    add(", ", take("country"));
    take("countrycode");  // the country's two-letter code repeats the country
  } else {
    const std::string service = take("service");
    const std::string user = take("username");
    const std::string url = take("url");
    add("", service);
    add(": ", user.empty() ? url : user);
  }
  for (auto& [name, value] : byName) add(", ", value);
  for (const std::string& value : others) add(", ", value);
  return text;
}

void AddValue(ContactRecord& contact, std::unordered_set<std::string>& seen,
              const MultiValue& value, const std::string& text,
              const std::map<std::int64_t, std::string>& labels) {
  switch (value.property) {
    case kPropertyPhone:
      AppendDistinctLine(contact.phones, text, seen, 'p');
      break;
    case kPropertyEmail:
      AppendDistinctLine(contact.email, text, seen, 'e');
      break;
    case kPropertyUrl:
      AppendDistinctLine(contact.homePage, text, seen, 'u');
      break;
    case kPropertyAddress: {
      // Addresses carry their label ("Home: ..."): a person often has more than one.
      const auto label = labels.find(value.label);
      const std::string shown = label == labels.end() || label->second.empty()
                                    ? text
                                    : LabelText(label->second) + ": " + text;
      AppendDistinctLine(contact.postalAddress, shown, seen, 'a');
      break;
    }
    default:  // instant messaging and social profiles
      AppendDistinctLine(contact.social, text, seen, 's');
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The full-text search content table: one row per person (docid = ABPerson.ROWID) with the
// person's searchable texts, in columns named c<N><Field> whose N shifts between versions
// (c15Phone, c16Phone): they are found by their suffix. A table whose columns carry no such
// names is read by the positions of the 24- and 25-column layouts.

struct SearchColumns {
  std::uint32_t first = TableSchema::kMissing, last = TableSchema::kMissing,
                company = TableSchema::kMissing, phone = TableSchema::kMissing,
                email = TableSchema::kMissing, address = TableSchema::kMissing,
                social = TableSchema::kMissing, url = TableSchema::kMissing;
};

std::uint32_t FindBySuffix(const TableSchema& schema, std::string_view suffix) {
  for (std::uint32_t i = 0; i < schema.ColumnCount(); ++i) {
    std::string_view name = schema.columns[i].name;
    if (name.size() < 2 || (name[0] != 'c' && name[0] != 'C')) continue;
    name.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (digits > 0 && EqualsIgnoreCase(name.substr(digits), suffix)) return i;
  }
  return TableSchema::kMissing;
}

SearchColumns ResolveSearchColumns(const TableSchema* schema, bool newLayout) {
  SearchColumns c;
  if (schema != nullptr) {
    c.first = FindBySuffix(*schema, "First");
    c.last = FindBySuffix(*schema, "Last");
    c.company = FindBySuffix(*schema, "Organization");
    c.phone = FindBySuffix(*schema, "Phone");
    c.email = FindBySuffix(*schema, "Email");
    c.address = FindBySuffix(*schema, "Address");
    c.social = FindBySuffix(*schema, "SocialProfile");
    c.url = FindBySuffix(*schema, "URL");
    if (c.phone != TableSchema::kMissing) return c;
  }
  const std::uint32_t phone = kPhoneColumn + (newLayout ? 1 : 0);
  return {kFirstNameColumn, kLastNameColumn, kOrganizationColumn, phone,
          phone + 1,        phone + 2,       phone + 3,           phone + 4};
}

bool SameNumber(std::string_view a, std::string_view b);

// Whether a piece other than those of [from, to] holds the number `joined` whole (with a
// country code or prefix, maybe).
bool SameNumberElsewhere(const std::vector<std::string>& digitsOf, std::size_t from, std::size_t to,
                         std::string_view joined) {
  joined.remove_prefix(std::min(joined.find_first_not_of('0'), joined.size()));
  for (std::size_t i = 0; i < digitsOf.size(); ++i) {
    if (i >= from && i <= to) continue;
    std::string_view other = digitsOf[i];
    other.remove_prefix(std::min(other.find_first_not_of('0'), other.size()));
    if (other.size() >= joined.size() && SameNumber(other, joined)) return true;
  }
  return false;
}

// Whether two digit runs are one number: the longer ends with the shorter, leading zeros (a
// trunk or international prefix) set aside, and the shorter has at least 7 digits.
bool SameNumber(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  const std::string_view shorter = a.size() <= b.size() ? a : b;
  const std::string_view longer = a.size() <= b.size() ? b : a;
  if (shorter.size() < ContactNames::kMinimumDigits) return shorter == longer;
  return longer.ends_with(shorter);
}

}  // namespace

std::string SearchTextPhones(std::string_view phoneText) {
  constexpr std::size_t kMostPiecesOfANumber = 4;  // "+86 138 0013 8000"
  // A person's numbers in all their forms make some dozens of pieces; a text of more is not
  // one the index wrote, and its tail is left unread.
  constexpr std::size_t kMostPieces = 512;
  std::vector<std::string> pieces;
  for (std::size_t start = 0; start < phoneText.size() && pieces.size() < kMostPieces;) {
    std::size_t end = phoneText.find(' ', start);
    if (end == std::string_view::npos) end = phoneText.size();
    if (end > start) pieces.emplace_back(phoneText.substr(start, end - start));
    start = end + 1;
  }
  std::vector<std::string> digitsOf;
  digitsOf.reserve(pieces.size());
  for (const std::string& piece : pieces) digitsOf.push_back(PhoneDigits(piece));

  std::vector<std::string> taken;  // digits of the numbers kept
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string number = pieces[i];
    std::string digits = digitsOf[i];
    // A written form with spaces ("(555) 010-4477", "+1 (555) 010-9321") is split over
    // pieces: a piece too short to be a number is joined with the pieces after it, up to the
    // most of them whose digits another piece holds as one number.
    if (digits.size() < ContactNames::kMinimumDigits) {
      std::string joined = digits;
      std::size_t glued = i;
      for (std::size_t j = i + 1; j < pieces.size() && j <= i + kMostPiecesOfANumber; ++j) {
        joined += digitsOf[j];
        if (SameNumberElsewhere(digitsOf, i, j, joined)) glued = j;
      }
      for (std::size_t j = i + 1; j <= glued; ++j) {
        number += ' ' + pieces[j];
        digits += digitsOf[j];
      }
      i = glued;
    }
    if (digits.size() < ContactNames::kMinimumDigits) continue;
    const bool known = std::any_of(taken.begin(), taken.end(),
                                   [&](const std::string& t) { return SameNumber(t, digits); });
    if (known) continue;
    taken.push_back(digits);
    AppendLine(out, number);
  }
  return out;
}

namespace {

// A row of the content table as a contact: phones as SearchTextPhones gives them.
bool DecodeSearchRow(const TableSchema* schema, const SearchColumns& columns,
                     const DecodedRecord& record, bool carved, ContactRecord& contact) {
  // Every text of the row must be real text, not carved garbage.
  std::string text;
  for (const RecordColumn& column : record.columns) {
    if (!StrictText(&column, text)) return false;
  }
  auto get = [&](std::uint32_t index, std::string& out) {
    if (schema != nullptr) {
      StrictText(schema->Field(record, index, carved), out);
    } else {
      StrictText(record.Column(index), out);
    }
  };
  std::string first, last, phones, addresses;
  get(columns.first, first);
  get(columns.last, last);
  get(columns.company, contact.company);
  get(columns.phone, phones);
  get(columns.email, contact.email);
  get(columns.address, contact.postalAddress);
  get(columns.social, contact.social);
  get(columns.url, contact.homePage);
  if (std::any_of(phones.begin(), phones.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    return false;
  contact.fullName = FullName(first, last, contact.company);
  contact.phones = SearchTextPhones(phones);
  // The index keeps several e-mail addresses or URLs separated by spaces.
  for (std::string* lines : {&contact.email, &contact.homePage}) {
    std::string split;
    std::unordered_set<std::string> seen;
    for (std::size_t start = 0; start < lines->size();) {
      std::size_t end = lines->find(' ', start);
      if (end == std::string::npos) end = lines->size();
      AppendDistinctLine(split, std::string_view(*lines).substr(start, end - start), seen, 'x');
      start = end + 1;
    }
    *lines = std::move(split);
  }
  return true;
}

// Every row of the content table, live and carved, in scan order.
void ReadSearchRows(TableReader& reader, std::vector<ContactRecord>& rows) {
  const TableSchema* schema = reader.Schema(kContactTable);
  const SearchColumns columns = ResolveSearchColumns(schema, reader.Learned().newLayout);
  reader.ScanTable(kContactTable, [&](const RecordView& view) {
    DecodedRecord record;
    const Result decoded = schema != nullptr ? DecodeTableRecord(reader, view, record)
                                             : DecodeContactRecord(reader, view, record);
    if (decoded != kResultOk) return kResultInvalid;
    if (schema != nullptr && !view.carved) LearnFromLiveRow(reader, record);
    ContactRecord contact;
    if (!DecodeSearchRow(schema, columns, record, view.carved, contact)) return kResultInvalid;
    contact.deleted = view.deleted;
    rows.push_back(std::move(contact));
    return kResultOk;
  });
}

// Calls `visit` with each line of `lines`, at most `most` of them.
template <typename Visit>
void EachLine(std::string_view lines, std::size_t most, Visit&& visit) {
  for (std::size_t start = 0; start < lines.size() && most > 0; --most) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string_view::npos) end = lines.size();
    visit(lines.substr(start, end - start));
    start = end + 1;
  }
}

// The numbers, e-mail addresses, URLs and names of the contacts listed so far, for the
// checks of the freed index rows; each key keeps a few contacts (a value many people share
// is covered by the first of them).
class KnownValues {
 public:
  void AddValues(const ContactRecord& contact, std::size_t index) {
    EachLine(contact.phones, kMostLines, [&](std::string_view line) {
      const std::string digits = TrimmedDigits(line);
      if (digits.empty()) return;  // a "number" without digits matches nothing
      auto& list = numbers_[NumberKey(digits)];
      if (list.size() < kMostPerKey) list.push_back({digits, index});
    });
    EachLine(contact.email, kMostLines,
             [&](std::string_view line) { AddKey("e" + AsciiLower(line), index); });
    EachLine(contact.homePage, kMostLines,
             [&](std::string_view line) { AddKey("u" + std::string(line), index); });
  }
  void AddName(std::string_view name, std::size_t index) {
    if (!name.empty()) AddKey("n" + std::string(name), index);
  }
  // The contacts that share a number (by its digits), an e-mail address or a URL with `row`.
  std::set<std::size_t> Sharing(const ContactRecord& row) const {
    std::set<std::size_t> found;
    EachLine(row.phones, kMostLines, [&](std::string_view line) {
      const std::string digits = TrimmedDigits(line);
      if (digits.empty()) return;
      const auto it = numbers_.find(NumberKey(digits));
      if (it == numbers_.end()) return;
      for (const Number& number : it->second) {
        if (SameNumber(number.digits, digits)) found.insert(number.contact);
      }
    });
    auto lookUp = [&](const std::string& key) {
      const auto it = others_.find(key);
      if (it != others_.end()) found.insert(it->second.begin(), it->second.end());
    };
    EachLine(row.email, kMostLines, [&](std::string_view line) { lookUp("e" + AsciiLower(line)); });
    EachLine(row.homePage, kMostLines,
             [&](std::string_view line) { lookUp("u" + std::string(line)); });
    return found;
  }
  std::vector<std::size_t> Named(std::string_view name) const {
    const auto it = others_.find("n" + std::string(name));
    return it == others_.end() ? std::vector<std::size_t>{} : it->second;
  }

 private:
  static constexpr std::size_t kMostPerKey = 16;
  static constexpr std::size_t kMostLines = 256;
  struct Number {
    std::string digits;
    std::size_t contact;
  };
  static std::string TrimmedDigits(std::string_view text) {
    std::string digits = PhoneDigits(text);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    return digits;
  }
  // The last digits SameNumber needs to match; shorter numbers match only whole.
  static std::string NumberKey(const std::string& digits) {
    return digits.size() <= ContactNames::kMinimumDigits
               ? digits
               : digits.substr(digits.size() - ContactNames::kMinimumDigits);
  }
  void AddKey(std::string key, std::size_t index) {
    auto& list = others_[std::move(key)];
    if (list.size() < kMostPerKey) list.push_back(index);
  }
  std::unordered_map<std::string, std::vector<Number>> numbers_;
  std::unordered_map<std::string, std::vector<std::size_t>> others_;
};

// The person and value tables joined. Live persons come first in rowid order, then what was
// found of deleted contacts:
//  - freed values whose record_id names no live person, grouped per record_id;
//  - freed person rows with a name, each on its own (their rowid was lost with the cell
//    header, so they cannot be joined to values) unless a live person has the same name,
//    organisation included: then the row is a copy the b-tree left behind when it moved
//    cells between pages;
//  - freed rows of the full-text content table whose name or values no contact above has.
//    Such a row that shares a value with freed values of no person names them, and joins
//    them with the freed person row of its name; one that only has the name of a freed
//    person row lends it its numbers and addresses.
// A freed value of a live person (a number the user removed, or a moved cell's copy) is not
// listed: the live person is shown as the address book holds them now.
void JoinAddressBook(TableReader& reader, std::vector<ContactRecord>& contacts,
                     FindingsSink* findings, std::uint64_t& highest) {
  const TableSchema* personSchema = reader.Schema(kPersonTable);
  const TableSchema* valueSchema = reader.Schema(kValueTable);
  std::vector<Person> persons;
  if (personSchema != nullptr) persons = ReadPersons(reader, *personSchema, findings);
  std::vector<MultiValue> values;
  if (valueSchema != nullptr) values = ReadMultiValues(reader, *valueSchema, findings);
  const std::map<std::int64_t, std::string> labels = ReadRowIdTexts(reader, kLabelTable, findings);
  const std::map<std::int64_t, std::string> keyNames =
      ReadRowIdTexts(reader, kEntryKeyTable, findings);
  const std::map<std::int64_t, std::vector<EntryPart>> entries = ReadEntries(reader, findings);

  const std::size_t first = contacts.size();
  std::vector<std::unordered_set<std::string>> seen;  // per contact from `first` on
  std::map<std::int64_t, std::size_t> livePerson;     // ROWID -> index in contacts
  std::vector<const Person*> carvedPersons;
  std::set<std::string> liveNames;
  for (const Person& person : persons) {
    if (person.carved) {
      carvedPersons.push_back(&person);
      continue;
    }
    if (!livePerson.try_emplace(person.id, contacts.size()).second) continue;
    highest = std::max(highest, static_cast<std::uint64_t>(std::max<std::int64_t>(person.id, 0)));
    ContactRecord contact;
    contact.fullName = FullName(person.first, person.last, person.company);
    contact.company = person.company;
    liveNames.insert(person.first + '\x1f' + person.last + '\x1f' + person.company);
    contacts.push_back(std::move(contact));
    seen.emplace_back();
  }

  std::map<std::int64_t, std::size_t> orphans;  // record_id -> index of its group
  std::set<std::int64_t> reported;
  for (const MultiValue& value : values) {
    std::string text = value.value;
    if (!value.carved && text.empty()) {
      const auto parts = entries.find(value.uid);
      if (parts != entries.end()) text = StructuredText(parts->second, keyNames, value.property);
    }
    if (text.empty()) continue;
    const auto owner = livePerson.find(value.recordId);
    if (owner != livePerson.end()) {
      if (!value.carved) {
        AddValue(contacts[owner->second], seen[owner->second - first], value, text, labels);
      }
      continue;
    }
    if (!value.carved && personSchema != nullptr && reported.insert(value.recordId).second) {
      Report(findings, {std::string(kAddressBookLabel), "value",
                        "table ABMultiValue record_id " + std::to_string(value.recordId),
                        "names no person; listed as a contact of its own"});
    }
    auto [group, fresh] = orphans.try_emplace(value.recordId, contacts.size());
    if (fresh) {
      ContactRecord contact;
      contact.deleted = value.carved;
      contacts.push_back(std::move(contact));
      seen.emplace_back();
    }
    ContactRecord& contact = contacts[group->second];
    if (!value.carved) contact.deleted = false;
    AddValue(contact, seen[group->second - first], value, text, labels);
  }

  std::map<std::string, std::size_t> carvedByName;
  for (const Person* person : carvedPersons) {
    const std::string key = person->first + '\x1f' + person->last + '\x1f' + person->company;
    if (liveNames.contains(key) || carvedByName.contains(key)) continue;
    carvedByName[key] = contacts.size();
    ContactRecord contact;
    contact.deleted = true;
    contact.fullName = FullName(person->first, person->last, person->company);
    contact.company = person->company;
    contacts.push_back(std::move(contact));
  }

  // The content table's freed rows: a second source of deleted contacts.
  if (reader.HasTable(kContactTable)) {
    std::vector<ContactRecord> rows;
    ReadSearchRows(reader, rows);
    KnownValues known;
    for (std::size_t i = first; i < contacts.size(); ++i) {
      known.AddValues(contacts[i], i);
      known.AddName(contacts[i].fullName, i);
    }
    std::vector<bool> merged(contacts.size(), false);  // freed person rows joined to values
    for (ContactRecord& row : rows) {
      if (!row.deleted) continue;
      if (row.phones.empty() && row.email.empty() && row.homePage.empty() && row.fullName.empty())
        continue;
      bool covered = false;
      std::optional<std::size_t> namedPerson;  // a freed person row of this name, no values
      std::optional<std::size_t> nameless;     // freed values of no person, sharing one
      for (const std::size_t i : known.Sharing(row)) {
        if (i < merged.size() && merged[i]) continue;
        if (contacts[i].deleted && contacts[i].fullName.empty()) {
          nameless = i;
        } else {
          covered = true;
        }
      }
      if (!row.fullName.empty() && !nameless) {
        for (const std::size_t i : known.Named(row.fullName)) {
          if (i < merged.size() && merged[i]) continue;
          const ContactRecord& person = contacts[i];
          if (person.deleted && person.phones.empty() && person.email.empty() &&
              person.homePage.empty()) {
            namedPerson = i;
          } else {
            covered = true;  // a live person's earlier index row, or a copy of a freed one
          }
        }
      }
      if (covered) continue;
      if (nameless) {
        // The index row ties the freed values to a name, and so to the freed person row of
        // that name: one deleted contact.
        ContactRecord& group = contacts[*nameless];
        group.fullName = row.fullName;
        group.company = row.company;
        known.AddName(group.fullName, *nameless);
        if (!row.fullName.empty()) {
          for (const std::size_t i : known.Named(row.fullName)) {
            const ContactRecord& person = contacts[i];
            if (i != *nameless && i < merged.size() && person.deleted && person.phones.empty() &&
                person.email.empty() && person.homePage.empty())
              merged[i] = true;
          }
        }
        continue;
      }
      if (namedPerson) {
        ContactRecord& person = contacts[*namedPerson];
        person.phones = std::move(row.phones);
        person.email = std::move(row.email);
        person.homePage = std::move(row.homePage);
        if (person.postalAddress.empty()) person.postalAddress = std::move(row.postalAddress);
        if (person.social.empty()) person.social = std::move(row.social);
        known.AddValues(person, *namedPerson);
        continue;
      }
      known.AddValues(row, contacts.size());
      known.AddName(row.fullName, contacts.size());
      contacts.push_back(std::move(row));
    }
    std::size_t kept = first;
    for (std::size_t i = first; i < contacts.size(); ++i) {
      if (i < merged.size() && merged[i]) continue;
      if (kept != i) contacts[kept] = std::move(contacts[i]);
      ++kept;
    }
    contacts.resize(kept);
  }
}

// Whether the address book is read from its person and value tables; a file without them
// (the content table alone) is read from the full-text content table.
bool HasOwnTables(TableReader& reader) {
  return reader.HasTable(kPersonTable) && reader.HasTable(kValueTable);
}

void ReadAddressBook(TableReader& reader, std::vector<ContactRecord>& contacts,
                     FindingsSink* findings, std::uint64_t& highest) {
  if (HasOwnTables(reader)) {
    JoinAddressBook(reader, contacts, findings, highest);
  } else {
    if (!reader.HasTable(kContactTable)) {
      Report(findings, {std::string(kAddressBookLabel), "table", "table ABPerson",
                        "missing, and no full-text content table either: no contacts"});
      return;
    }
    ReadSearchRows(reader, contacts);
    highest = std::max(highest, reader.Learned().highestContactRowId);
  }
}

}  // namespace

Result ReadContactRows(TableReader& reader, std::vector<ContactRecord>& contacts) {
  if (!reader.Sqlite().IsOpen()) return kResultInvalid;
  std::uint64_t highest = 0;
  ReadAddressBook(reader, contacts, nullptr, highest);
  return kResultOk;
}

Result ParseContacts(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     std::vector<ContactRecord>& contacts, std::uint64_t& highestRowId) {
  TableReader reader(context.findings);
  reader.Learned().newLayout = context.newLayout;
  const Result opened = reader.OpenDatabase(addressBookPath, kAddressBookLabel);
  if (opened != kResultOk) return opened;
  contacts.clear();
  std::uint64_t highest = 0;
  ReadAddressBook(reader, contacts, context.findings, highest);
  for (ContactRecord& contact : contacts) {
    if (contact.fullName.empty()) contact.fullName = "No Name";
  }
  std::stable_sort(contacts.begin(), contacts.end(),
                   [](const ContactRecord& a, const ContactRecord& b) {
                     return CompareIgnoreCase(a.fullName, b.fullName) < 0;
                   });
  highestRowId = highest;
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
