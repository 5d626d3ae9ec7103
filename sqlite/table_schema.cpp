#include "sqlite/table_schema.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "base/text.h"
#include "sqlite/btree_page.h"

namespace kestrio {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// One token of SQL text. Quoted identifiers and strings keep their quotes in `raw`.
struct Token {
  enum class Kind { kWord, kQuoted, kString, kNumber, kPunct };
  Kind kind = Kind::kPunct;
  std::string_view raw;
};

// Splits SQL text into tokens, skipping white space and comments. False when a quote or a
// block comment is left open.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next token, or nothing at the end (or on an unclosed quote, see Broken()).
  std::optional<Token> Next() {
    SkipSpaceAndComments();
    if (pos_ >= text_.size() || broken_) return std::nullopt;
    const std::size_t start = pos_;
    const char c = text_[pos_];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      ++pos_;
      while (true) {
        const std::size_t end = text_.find(close, pos_);
        if (end == std::string_view::npos) {
          broken_ = true;
          return std::nullopt;
        }
        pos_ = end + 1;
        // A doubled quote inside a quoted text stands for the quote itself.
        if (close != ']' && pos_ < text_.size() && text_[pos_] == close) {
          ++pos_;
          continue;
        }
        break;
      }
      return Token{c == '\'' ? Token::Kind::kString : Token::Kind::kQuoted,
                   text_.substr(start, pos_ - start)};
    }
    if (std::isdigit(static_cast<unsigned char>(c)) != 0 ||
        (c == '.' && pos_ + 1 < text_.size() &&
         std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])) != 0)) {
      while (pos_ < text_.size() &&
             (std::isalnum(static_cast<unsigned char>(text_[pos_])) != 0 || text_[pos_] == '.' ||
              ((text_[pos_] == '+' || text_[pos_] == '-') &&
               (text_[pos_ - 1] == 'e' || text_[pos_ - 1] == 'E')))) {
        ++pos_;
      }
      return Token{Token::Kind::kNumber, text_.substr(start, pos_ - start)};
    }
    if (IsWordChar(c)) {
      while (pos_ < text_.size() && IsWordChar(text_[pos_])) ++pos_;
      return Token{Token::Kind::kWord, text_.substr(start, pos_ - start)};
    }
    ++pos_;
    return Token{Token::Kind::kPunct, text_.substr(start, 1)};
  }

  bool Broken() const { return broken_; }
  std::size_t Position() const { return pos_; }

 private:
  void SkipSpaceAndComments() {
    while (pos_ < text_.size()) {
      if (IsSpace(text_[pos_])) {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "--") {
        const std::size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(pos_, 2) == "/*") {
        const std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) {
          broken_ = true;
          pos_ = text_.size();
        } else {
          pos_ = end + 2;
        }
      } else {
        break;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool broken_ = false;
};

bool IsWord(const Token& token, std::string_view word) {
  return token.kind == Token::Kind::kWord && EqualsIgnoreCase(token.raw, word);
}
bool IsPunct(const Token& token, char c) {
  return token.kind == Token::Kind::kPunct && token.raw.size() == 1 && token.raw[0] == c;
}

// An identifier without its quotes; doubled quotes inside become one.
std::string Unquote(const Token& token) {
  const std::string_view raw = token.raw;
  if (token.kind != Token::Kind::kQuoted && token.kind != Token::Kind::kString)
    return std::string(raw);
  if (raw.size() < 2) return {};
  const char close = raw.front() == '[' ? ']' : raw.front();
  std::string out;
  const std::string_view inner = raw.substr(1, raw.size() - 2);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (close != ']' && inner[i] == close && i + 1 < inner.size() && inner[i + 1] == close) ++i;
  }
  return out;
}

// The tokens of one element of the column list.
using Element = std::vector<Token>;

bool IsTableConstraint(const Element& element) {
  if (element.empty()) return true;
  for (std::string_view word : {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"}) {
    if (IsWord(element.front(), word)) return true;
  }
  return false;
}

// Words that end a column's declared type and start its constraints.
bool EndsType(const Token& token) {
  for (std::string_view word : {"CONSTRAINT", "PRIMARY", "NOT", "NULL", "UNIQUE", "CHECK",
                                "DEFAULT", "COLLATE", "REFERENCES", "GENERATED", "AS"}) {
    if (IsWord(token, word)) return true;
  }
  return false;
}

std::optional<std::int64_t> ParseInteger(std::string_view text, bool negative) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (negative) {
    if (value > std::uint64_t{1} << 63) return std::nullopt;
    return static_cast<std::int64_t>(0 - value);
  }
  if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// The literal after DEFAULT at `at`: a signed number, a string, NULL, TRUE or FALSE, possibly
// in parentheses. Anything else (an expression, CURRENT_TIME) reads as NULL.
DefaultValue ParseDefault(const Element& element, std::size_t at) {
  DefaultValue value;
  while (at < element.size() && IsPunct(element[at], '(')) ++at;
  bool negative = false;
  if (at < element.size() && (IsPunct(element[at], '-') || IsPunct(element[at], '+'))) {
    negative = IsPunct(element[at], '-');
    ++at;
  }
  if (at >= element.size()) return value;
  const Token& token = element[at];
  if (token.kind == Token::Kind::kNumber) {
    std::string_view digits = token.raw;
    if (auto integer = ParseInteger(digits, negative)) {
      value.kind = DefaultValue::Kind::kInteger;
      value.integer = *integer;
    } else {
      double real = 0;
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), real);
      if (error == std::errc{} && end == digits.data() + digits.size() && std::isfinite(real)) {
        value.kind = DefaultValue::Kind::kReal;
        value.real = negative ? -real : real;
      }
    }
  } else if (token.kind == Token::Kind::kString) {
    value.kind = DefaultValue::Kind::kText;
    value.text = Unquote(token);
  } else if (IsWord(token, "TRUE") || IsWord(token, "FALSE")) {
    value.kind = DefaultValue::Kind::kInteger;
    value.integer = IsWord(token, "TRUE") ? 1 : 0;
  }
  return value;
}

// Reads one column element (its first token is the name).
SchemaColumn ParseColumn(const Element& element) {
  SchemaColumn column;
  column.name = Unquote(element.front());
  std::size_t i = 1;
  int depth = 0;
  for (; i < element.size(); ++i) {
    const Token& token = element[i];
    if (depth == 0 && EndsType(token)) break;
    if (IsPunct(token, '(')) ++depth;
    if (IsPunct(token, ')')) --depth;
    if (!column.declaredType.empty() && token.kind != Token::Kind::kPunct &&
        !column.declaredType.ends_with('('))
      column.declaredType += ' ';
    column.declaredType += token.raw;
  }
  for (depth = 0; i < element.size(); ++i) {
    const Token& token = element[i];
    if (IsPunct(token, '(')) ++depth;
    if (IsPunct(token, ')')) --depth;
    if (depth != 0) continue;
    if (IsWord(token, "PRIMARY") && i + 1 < element.size() && IsWord(element[i + 1], "KEY")) {
      // INTEGER PRIMARY KEY DESC is the one spelling that is not a rowid alias.
      const bool descending = i + 2 < element.size() && IsWord(element[i + 2], "DESC");
      column.rowIdAlias = EqualsIgnoreCase(column.declaredType, "INTEGER") && !descending;
    } else if (IsWord(token, "DEFAULT")) {
      column.defaultValue = ParseDefault(element, i + 1);
    }
  }
  return column;
}

// A table constraint "PRIMARY KEY (x)" naming one INTEGER column makes that column the rowid.
void ApplyPrimaryKeyConstraint(const Element& element, TableSchema& schema) {
  std::size_t i = 0;
  if (IsWord(element.front(), "CONSTRAINT")) i = 2;
  if (i + 2 >= element.size() || !IsWord(element[i], "PRIMARY") || !IsWord(element[i + 1], "KEY") ||
      !IsPunct(element[i + 2], '('))
    return;
  std::vector<std::string> names;
  for (std::size_t j = i + 3; j < element.size() && !IsPunct(element[j], ')'); ++j) {
    if (element[j].kind == Token::Kind::kWord || element[j].kind == Token::Kind::kQuoted) {
      names.push_back(Unquote(element[j]));
      // A column with ASC, DESC or COLLATE after it still counts once.
      while (j + 1 < element.size() && !IsPunct(element[j + 1], ',') &&
             !IsPunct(element[j + 1], ')'))
        ++j;
    }
  }
  if (names.size() != 1) return;
  const std::uint32_t index = schema.Find(names.front());
  if (index != TableSchema::kMissing &&
      EqualsIgnoreCase(schema.columns[index].declaredType, "INTEGER"))
    schema.columns[index].rowIdAlias = true;
}

FieldValue FromDefault(const DefaultValue& value) {
  FieldValue field;
  switch (value.kind) {
    case DefaultValue::Kind::kNull:
      field.kind = FieldValue::Kind::kNull;
      break;
    case DefaultValue::Kind::kInteger:
      field.kind = FieldValue::Kind::kInteger;
      field.integer = value.integer;
      break;
    case DefaultValue::Kind::kReal:
      field.kind = FieldValue::Kind::kReal;
      field.real = value.real;
      break;
    case DefaultValue::Kind::kText:
      field.kind = FieldValue::Kind::kText;
      field.bytes =
          Bytes(reinterpret_cast<const std::uint8_t*>(value.text.data()), value.text.size());
      break;
  }
  return field;
}

// The schema's b-tree is walked no deeper than SQLite's own limit (20) and a little more.
constexpr int kMaxSchemaDepth = 24;

class SchemaWalk {
 public:
  SchemaWalk(const RawSqliteReader& reader, std::vector<SchemaObject>& out)
      : reader_(reader), out_(out), visited_(reader.PageCount(), false) {}

  Result Walk(std::uint32_t index, int depth) {
    if (depth > kMaxSchemaDepth || index >= visited_.size() || visited_[index]) return kResultOk;
    visited_[index] = true;
    std::vector<std::uint8_t> buffer(reader_.PageSize());
    if (const Result read = reader_.ReadPage(index, buffer); read != kResultOk) return read;
    const BtreePage page{Bytes(buffer), index == 0 ? kFirstPageHeaderOffset : 0};
    Result result = kResultOk;
    if (page.Type() == kLeafTablePage) {
      for (std::uint32_t off : CellOffsets(page)) Row(Tail(page.bytes, off));
    } else if (page.Type() == kInteriorTablePage) {
      std::vector<std::uint32_t> children;
      for (std::uint32_t off : CellOffsets(page))
        children.push_back(ReadBe32(page.bytes, off).value_or(0));
      children.push_back(ReadBe32(page.bytes, page.header + 8).value_or(0));
      for (std::uint32_t child : children) {
        if (child == 0 || child > visited_.size()) continue;
        const Result walked = Walk(child - 1, depth + 1);
        if (result == kResultOk) result = walked;
      }
    }
    return result;
  }

 private:
  void Row(Bytes cell) {
    DecodedRecord record;
    if (DecodeRecord(reader_, RecordView{cell, false, false, false}, {}, record) != kResultOk)
      return;
    if (record.columns.size() < 5) return;
    const auto text = [&](std::size_t i) {
      const RecordColumn& column = record.columns[i];
      return column.IsText() ? DatabaseTextToUtf8(column.value, reader_.TextEncoding())
                             : std::string();
    };
    SchemaObject object;
    object.type = text(0);
    object.name = text(1);
    object.tableName = text(2);
    const auto root = record.columns[3].Integer();
    object.rootPage =
        root && *root > 0 && *root <= 0xFFFFFFFF ? static_cast<std::uint32_t>(*root) : 0;
    object.sql = text(4);
    out_.push_back(std::move(object));
  }

  const RawSqliteReader& reader_;
  std::vector<SchemaObject>& out_;
  std::vector<bool> visited_;
};

FieldValue FromColumn(const RecordColumn& column) {
  FieldValue field;
  const std::uint64_t t = column.serialType;
  if (t == 0 || t == 10 || t == 11) {
    field.kind = FieldValue::Kind::kNull;
  } else if (auto integer = column.Integer()) {
    field.kind = FieldValue::Kind::kInteger;
    field.integer = *integer;
  } else if (auto real = column.Real()) {
    field.kind = FieldValue::Kind::kReal;
    field.real = *real;
  } else if (column.IsText()) {
    field.kind = FieldValue::Kind::kText;
    field.bytes = column.value;
  } else if (column.IsBlob()) {
    field.kind = FieldValue::Kind::kBlob;
    field.bytes = column.value;
  } else {
    field.kind = FieldValue::Kind::kNull;
  }
  return field;
}

}  // namespace

std::optional<std::int64_t> FieldValue::Integer() const {
  if (kind == Kind::kInteger) return integer;
  // The bounds are exactly representable; values outside them do not fit.
  if (kind == Kind::kReal && std::isfinite(real) && real >= -9223372036854775808.0 &&
      real < 9223372036854775808.0)
    return static_cast<std::int64_t>(real);
  return std::nullopt;
}

std::optional<double> FieldValue::Number() const {
  if (kind == Kind::kInteger) return static_cast<double>(integer);
  if (kind == Kind::kReal) return real;
  return std::nullopt;
}

std::uint32_t TableSchema::Find(std::string_view column) const {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (EqualsIgnoreCase(columns[i].name, column)) return static_cast<std::uint32_t>(i);
  }
  return kMissing;
}

FieldValue TableSchema::Field(const DecodedRecord& record, std::uint32_t index, bool carved) const {
  if (index >= columns.size()) return {};
  const SchemaColumn& column = columns[index];
  if (column.rowIdAlias && !withoutRowId) {
    // A carved record's rowid was in the cell header it lost.
    if (carved) return {};
    FieldValue field;
    field.kind = FieldValue::Kind::kInteger;
    field.integer = static_cast<std::int64_t>(record.rowId);
    return field;
  }
  if (const RecordColumn* stored = record.Column(index)) return FromColumn(*stored);
  if (!carved && index >= record.EndColumn()) return FromDefault(column.defaultValue);
  return {};
}

std::optional<TableSchema> ParseCreateTable(std::string_view sql) {
  Lexer lexer(sql);
  auto expect = [&](std::string_view word) {
    const auto token = lexer.Next();
    return token && IsWord(*token, word);
  };
  if (!expect("CREATE")) return std::nullopt;
  auto token = lexer.Next();
  if (token && (IsWord(*token, "TEMP") || IsWord(*token, "TEMPORARY"))) token = lexer.Next();
  if (!token || !IsWord(*token, "TABLE")) return std::nullopt;
  token = lexer.Next();
  if (token && IsWord(*token, "IF")) {
    if (!expect("NOT") || !expect("EXISTS")) return std::nullopt;
    token = lexer.Next();
  }
  if (!token || (token->kind != Token::Kind::kWord && token->kind != Token::Kind::kQuoted &&
                 token->kind != Token::Kind::kString))
    return std::nullopt;
  TableSchema schema;
  schema.name = Unquote(*token);
  token = lexer.Next();
  if (token && IsPunct(*token, '.')) {  // schema.name
    token = lexer.Next();
    if (!token || IsPunct(*token, '(')) return std::nullopt;
    schema.name = Unquote(*token);
    token = lexer.Next();
  }
  if (!token || !IsPunct(*token, '(')) return std::nullopt;

  // The body, split into elements at commas outside parentheses.
  std::vector<Element> elements(1);
  int depth = 0;
  bool closed = false;
  while ((token = lexer.Next())) {
    if (IsPunct(*token, '(')) {
      ++depth;
    } else if (IsPunct(*token, ')')) {
      if (depth == 0) {
        closed = true;
        break;
      }
      --depth;
    } else if (depth == 0 && IsPunct(*token, ',')) {
      elements.emplace_back();
      continue;
    }
    elements.back().push_back(*token);
  }
  if (!closed || lexer.Broken()) return std::nullopt;
  while ((token = lexer.Next())) {
    if (IsWord(*token, "WITHOUT")) schema.withoutRowId = true;
  }
  if (lexer.Broken()) return std::nullopt;

  for (const Element& element : elements) {
    if (element.empty()) return std::nullopt;  // "(a,,b)" or "()"
    if (IsTableConstraint(element)) continue;
    SchemaColumn& column = schema.columns.emplace_back(ParseColumn(element));
    column.affinity = AffinityOf(column.declaredType);
    const std::string lower = AsciiLower(column.name);
    column.dateLike = lower.find("date") != std::string::npos;
    column.guidLike = lower == "guid" || lower == "zguid";
  }
  if (schema.columns.empty()) return std::nullopt;
  for (const Element& element : elements) {
    if (IsTableConstraint(element)) ApplyPrimaryKeyConstraint(element, schema);
  }
  return schema;
}

Affinity AffinityOf(std::string_view declaredType) {
  const std::string type = AsciiLower(declaredType);
  if (type.find("int") != std::string::npos) return Affinity::kInteger;
  if (type.find("char") != std::string::npos || type.find("clob") != std::string::npos ||
      type.find("text") != std::string::npos)
    return Affinity::kText;
  if (type.empty() || type.find("blob") != std::string::npos) return Affinity::kBlob;
  if (type.find("real") != std::string::npos || type.find("floa") != std::string::npos ||
      type.find("doub") != std::string::npos)
    return Affinity::kReal;
  return Affinity::kNumeric;
}

namespace {

// Integers, reals and the constants 0 and 1.
bool IsNumberType(std::uint64_t serialType) { return serialType >= 1 && serialType <= 9; }

}  // namespace

bool CarvedTextFits(const RecordColumn& column, int encoding) {
  if (!column.IsText()) return true;
  const Bytes text = column.value;
  if (encoding == 2 || encoding == 3) {
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
      if (text[i] == 0 && text[i + 1] == 0) return false;
    }
    return true;
  }
  return IsValidUtf8(column.Text()) &&
         std::find(text.begin(), text.end(), std::uint8_t{0}) == text.end();
}

namespace {

// Seconds since 1970 or 2001 up to the year 2100 (back to about 1870 before the epoch), or
// nanoseconds since either up to 2100 (Apple's newer date columns). Values between the two
// are neither.
constexpr double kLastSeconds = 4.2e9;
constexpr double kFirstNanoseconds = 1e15;
constexpr double kLastNanoseconds = 4.2e18;

bool DateFits(const RecordColumn& column) {
  double value = 0;
  if (const auto integer = column.Integer()) {
    value = static_cast<double>(*integer);
  } else if (const auto real = column.Real()) {
    if (!std::isfinite(*real)) return false;
    value = *real;
  } else {
    return true;  // NULL, or a text or blob the affinity check judges
  }
  if (value == 0) return true;
  // Negative seconds are dates before the epoch (a photo taken before 2001).
  return (value >= -kLastSeconds && value <= kLastSeconds) ||
         (value >= kFirstNanoseconds && value <= kLastNanoseconds);
}

// Record guids are identifiers: UUIDs, or prefixed ones ("p:0/...", "SMS_...").
constexpr std::size_t kShortestGuid = 8;
constexpr std::size_t kLongestGuid = 128;

bool GuidFits(const RecordColumn& column) {
  if (!column.IsText() || column.value.empty()) return true;
  if (column.value.size() < kShortestGuid || column.value.size() > kLongestGuid) return false;
  return std::all_of(column.value.begin(), column.value.end(),
                     [](std::uint8_t b) { return b > 0x20 && b < 0x7F; });
}

}  // namespace

bool SplitSerialTypeRun(Bytes bytes, std::uint32_t first, std::uint32_t count, std::size_t lead,
                        DecodedRecord& out) {
  out.rowId = 0;
  out.headerSize = 0;
  out.headerSizeLength = 0;
  out.columns.clear();
  out.firstColumn = first;
  const std::size_t run = VarintRunLength(bytes, count);
  if (run == 0) return false;
  // The run was measured: its `count` varints all end inside its `run` bytes.
  const Bytes types = bytes.first(run);
  std::size_t typePos = 0;
  std::size_t body = run;
  if (!InRange(bytes.size(), body, lead)) return false;
  body += lead;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t type = types[typePos];
    if (type < 0x80) {
      ++typePos;
    } else {
      const auto field = ReadTerminatedVarint(types, typePos);
      if (!field) return false;
      type = field->value;
      typePos += field->length;
    }
    const std::uint64_t length = SerialTypeSize(type);
    if (!InRange(bytes.size(), body, length)) return false;
    out.columns.push_back(
        RecordColumn{type, bytes.subspan(body, static_cast<std::size_t>(length))});
    body += static_cast<std::size_t>(length);
  }
  return true;
}

namespace {

// Column 0 lost its serial type but not its value, which lies before column 1's. Its length
// is what the freeblock (whose header sits in the 4 bytes before the run) holds beyond the
// rest of the record; a block that merged two freed cells gives no length and no row.
bool LostFirstValue(const TableSchema& schema, const RecordView& view, int encoding,
                    const CarvedRecordChecks& checks, DecodedRecord& out) {
  const std::uint32_t cc = schema.ColumnCount();
  if (view.offset < 4) return false;
  const std::uint8_t* at = view.bytes.data();
  const std::size_t blockSize = std::size_t{at[-2]} << 8 | at[-1];
  if (!SplitSerialTypeRun(view.bytes, 1, cc - 1, 0, out)) return false;
  const std::size_t run = VarintRunLength(view.bytes, cc - 1);
  std::size_t rest = run;
  for (const RecordColumn& column : out.columns) rest += column.value.size();
  if (blockSize < 4 + rest) return false;
  const std::size_t lead = blockSize - 4 - rest;
  if (lead > view.bytes.size() - run) return false;
  if (!SplitSerialTypeRun(view.bytes, 1, cc - 1, lead, out) ||
      !CarvedRecordFits(schema, out, encoding, checks))
    return false;
  const Bytes value = view.bytes.subspan(run, lead);
  static constexpr std::uint64_t kIntegerType[9] = {0, 1, 2, 3, 4, 0, 5, 0, 6};
  const Affinity affinity = schema.columns[0].affinity;
  std::optional<std::uint64_t> type;
  if (lead == 0) {
    type = 0;
  } else if (affinity == Affinity::kText) {
    type = 13 + 2 * std::uint64_t{lead};
  } else if ((affinity == Affinity::kInteger || affinity == Affinity::kNumeric) && lead <= 8 &&
             kIntegerType[lead] != 0) {
    type = kIntegerType[lead];
  }
  if (!type) return true;  // the value stays lost
  const RecordColumn first{*type, value};
  if (checks.text && !CarvedTextFits(first, encoding)) return false;
  out.columns.insert(out.columns.begin(), first);
  out.firstColumn = 0;
  return CarvedRecordFits(schema, out, encoding, checks);
}

}  // namespace

bool CarvedRecordFits(const TableSchema& schema, const DecodedRecord& record, int encoding,
                      const CarvedRecordChecks& checks) {
  bool anyValue = false;
  for (std::uint32_t i = record.firstColumn; i < record.EndColumn(); ++i) {
    const RecordColumn& column = *record.Column(i);
    const std::uint64_t type = column.serialType;
    if (type == 10 || type == 11) return false;
    if (i >= schema.columns.size()) return false;
    const SchemaColumn& declared = schema.columns[i];
    if (declared.rowIdAlias && !schema.withoutRowId && type != 0) return false;
    if (checks.affinity) {
      // SQLite turns numbers into text in a TEXT column, and numeric text into numbers in an
      // INTEGER or REAL one; a blob there is rare enough to take for misread bytes.
      const bool blob = column.IsBlob();
      switch (declared.affinity) {
        case Affinity::kText:
          if (IsNumberType(type) || blob) return false;
          break;
        case Affinity::kInteger:
        case Affinity::kReal:
          if (blob || column.IsText()) return false;
          break;
        default:
          break;
      }
    }
    if (checks.text && !CarvedTextFits(column, encoding)) return false;
    if (checks.dates && declared.dateLike && !DateFits(column)) return false;
    if (checks.guid && declared.guidLike && !GuidFits(column)) return false;
    if (type != 0) anyValue = true;
  }
  return anyValue;
}

bool DecodeCarvedRecord(const TableSchema& schema, const RecordView& view, int encoding,
                        DecodedRecord& out, const CarvedRecordChecks& checks) {
  const std::uint32_t cc = schema.ColumnCount();
  if (view.bytes.empty() || cc == 0) return false;
  const std::size_t fullRun = VarintRunLength(view.bytes, cc);
  const bool headerBefore = view.offset >= 1 && fullRun != 0 && fullRun + 1 < 0x80 &&
                            *(view.bytes.data() - 1) == fullRun + 1;
  const bool zeroFirst = view.bytes[0] == 0;
  std::uint32_t firsts[3];
  std::size_t count = 0;
  if (headerBefore) firsts[count++] = 0;
  if (!zeroFirst && cc > 1) firsts[count++] = 1;
  if (zeroFirst && !headerBefore) firsts[count++] = 0;
  if (zeroFirst && cc > 1) firsts[count++] = 1;
  // A run found right after a freeblock header ends inside the block: a leading 0 read as
  // column 0's type must leave a record that fits the block's size (else the 0 is column 1's,
  // column 0's type having gone under the header).
  std::optional<std::size_t> blockRoom;
  if (zeroFirst && !headerBefore && view.origin == CarveOrigin::kFreeblock && view.offset >= 4) {
    const std::uint8_t* at = view.bytes.data();
    const std::size_t blockSize = std::size_t{at[-2]} << 8 | at[-1];
    if (blockSize > 4 && blockSize - 4 <= view.bytes.size()) blockRoom = blockSize - 4;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t first = firsts[k];
    if (first == 1 && !schema.columns[0].rowIdAlias) {
      if (LostFirstValue(schema, view, encoding, checks, out)) return true;
      continue;
    }
    if (!SplitSerialTypeRun(view.bytes, first, cc - first, 0, out)) continue;
    if (first == 0 && blockRoom) {
      std::size_t length = VarintRunLength(view.bytes, cc);
      for (const RecordColumn& column : out.columns) length += column.value.size();
      if (length > *blockRoom) continue;
    }
    if (CarvedRecordFits(schema, out, encoding, checks)) return true;
  }
  return false;
}

Result ReadSchema(const RawSqliteReader& reader, std::vector<SchemaObject>& out) {
  if (!reader.IsOpen()) return kResultInvalid;
  return SchemaWalk(reader, out).Walk(0, 0);
}

}  // namespace kestrio
