#include "parsers/note_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/inflate.h"
#include "base/text.h"
#include "base/time_text.h"
#include "parsers/protobuf.h"
#include "tests/fixtures/note_store.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

Bytes AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

bool HasFinding(const FindingsList& findings, std::string_view what, std::string_view why) {
  for (const Finding& f : findings.Snapshot()) {
    if (f.what == what && f.why.find(why) != std::string::npos) return true;
  }
  return false;
}

// --- the protobuf reader ------------------------------------------------------------------------

TEST(Protobuf, ReadsEveryWireTypeAndStopsAtTheEnd) {
  // 1: varint 300, 2: "hi", 3: fixed64, 4: fixed32.
  const std::string bytes =
      Hex("08ac02") + Hex("12026869") + Hex("190102030405060708") + Hex("25a1b2c3d4");
  protobuf::Reader reader(AsBytes(bytes));
  protobuf::Field f;
  ASSERT_TRUE(reader.Next(f));
  EXPECT_EQ(f.number, 1u);
  EXPECT_EQ(f.value, 300u);
  ASSERT_TRUE(reader.Next(f));
  EXPECT_EQ(f.type, protobuf::WireType::kLengthDelimited);
  EXPECT_EQ(AsText(f.bytes), "hi");
  ASSERT_TRUE(reader.Next(f));
  EXPECT_EQ(f.value, 0x0807060504030201u);
  ASSERT_TRUE(reader.Next(f));
  EXPECT_EQ(f.type, protobuf::WireType::kFixed32);
  EXPECT_EQ(f.value, 0xd4c3b2a1u);
  EXPECT_FALSE(reader.Next(f));
  EXPECT_FALSE(reader.Failed());
  EXPECT_EQ(reader.Offset(), bytes.size());
}

TEST(Protobuf, RefusesWhatRunsPastItsBufferOrIsNotWireFormat) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"length past the buffer", Hex("0800") + Hex("1205616263")},
      {"length of 2^63", Hex("0800") + Hex("12ffffffffffffffff7f") + "abc"},
      {"varint of 11 bytes", Hex("0800") + Hex("08ffffffffffffffffffff01")},
      {"tenth varint byte above 1", Hex("0800") + Hex("08ffffffffffffffffff02")},
      {"varint cut by the end", Hex("0800") + Hex("08ff")},
      {"fixed64 cut by the end", Hex("0800") + Hex("09010203")},
      {"group start", Hex("0800") + Hex("0b")},
      {"group end", Hex("0800") + Hex("0c")},
      {"wire type 7", Hex("0800") + Hex("0f")},
      {"field number 0", Hex("0800") + Hex("0201")},
      {"field number past 2^29", Hex("0800") + Hex("80808080108001")},
  };
  for (const Case& c : cases) {
    protobuf::Reader reader(AsBytes(c.bytes));
    protobuf::Field f;
    ASSERT_TRUE(reader.Next(f)) << c.name;  // the first field is whole
    EXPECT_FALSE(reader.Next(f)) << c.name;
    EXPECT_TRUE(reader.Failed()) << c.name;
    EXPECT_EQ(reader.Offset(), 2u) << c.name;
    EXPECT_FALSE(reader.Next(f)) << c.name;  // and it stays there
  }
}

TEST(Protobuf, FollowsAPathAndTellsAbsentFromMalformedAndCut) {
  // {1: 0, 2: {3: {2: "text"}}}
  const std::string inner = Hex("1204") + "text";
  const std::string message = Hex("0800") + Hex("12") + std::string(1, char(inner.size() + 2)) +
                              Hex("1a") + std::string(1, char(inner.size())) + inner;
  const std::array<std::uint32_t, 3> path = {2, 3, 2};
  auto found = protobuf::FindPath(AsBytes(message), path);
  ASSERT_EQ(found.status, protobuf::PathStatus::kFound);
  EXPECT_EQ(AsText(found.bytes), "text");
  EXPECT_FALSE(found.cut);

  const std::array<std::uint32_t, 3> other = {2, 4, 2};
  found = protobuf::FindPath(AsBytes(message), other);
  EXPECT_EQ(found.status, protobuf::PathStatus::kAbsent);
  EXPECT_EQ(found.depth, 1u);

  // The same message cut after "te": refused, unless cut fields are accepted.
  const std::string cut = message.substr(0, message.size() - 2);
  EXPECT_EQ(protobuf::FindPath(AsBytes(cut), path).status, protobuf::PathStatus::kMalformed);
  found = protobuf::FindPath(AsBytes(cut), path, true);
  ASSERT_EQ(found.status, protobuf::PathStatus::kFound);
  EXPECT_EQ(AsText(found.bytes), "te");
  EXPECT_TRUE(found.cut);

  // A varint field of the same number is not a message to enter.
  const std::string varint = Hex("1005");
  EXPECT_EQ(protobuf::FindPath(AsBytes(varint), std::array<std::uint32_t, 1>{2}).status,
            protobuf::PathStatus::kAbsent);
  const std::vector<std::uint32_t> deep(protobuf::kMaxPathDepth + 1, 2);
  EXPECT_EQ(protobuf::FindPath(AsBytes(message), deep).status, protobuf::PathStatus::kMalformed);
}

// --- inflating ----------------------------------------------------------------------------------

TEST(Inflate, GivesWhatCameOutAndWhyItStopped) {
  const std::string text = "the quick brown fox jumps over the lazy dog, again and again";
  const std::string gz = fixtures::GzipBytes(text);
  Inflated whole = InflateStream(AsBytes(gz + "trailing"), 1024);
  EXPECT_EQ(whole.status, Inflated::Status::kComplete);
  EXPECT_EQ(whole.bytes, text);

  // Exactly at the limit is complete; one byte less is cut there.
  EXPECT_TRUE(InflateStream(AsBytes(gz), text.size()).Complete());
  const Inflated limited = InflateStream(AsBytes(gz), text.size() - 1);
  EXPECT_EQ(limited.status, Inflated::Status::kLimit);
  EXPECT_EQ(limited.bytes, text.substr(0, text.size() - 1));

  // A stream cut short (its trailer and part of its data gone).
  const Inflated cut = InflateStream(AsBytes(std::string_view(gz).substr(0, gz.size() - 12)), 1024);
  EXPECT_EQ(cut.status, Inflated::Status::kTruncated);
  EXPECT_EQ(text.substr(0, cut.bytes.size()), cut.bytes);

  // A wrong checksum and bytes that are not deflate at all.
  std::string bad = gz;
  bad[bad.size() - 6] ^= 0x40;
  EXPECT_EQ(InflateStream(AsBytes(bad), 1024).status, Inflated::Status::kCorrupt);
  const Inflated none = InflateStream(AsBytes(std::string("bplist00 not gzip")), 1024);
  EXPECT_EQ(none.status, Inflated::Status::kCorrupt);
  EXPECT_TRUE(none.bytes.empty());
  EXPECT_EQ(InflateStream({}, 1024).status, Inflated::Status::kTruncated);
}

TEST(Inflate, ABombStopsAtItsLimit) {
  // 64 MiB of zeros deflate to about 64 KiB.
  const std::string gz = fixtures::GzipBytes(std::string(64u << 20, '\0'));
  ASSERT_LT(gz.size(), 100000u);
  const Inflated bomb = InflateStream(AsBytes(gz), kMaxNoteBodyBytes);
  EXPECT_EQ(bomb.status, Inflated::Status::kLimit);
  EXPECT_EQ(bomb.bytes.size(), kMaxNoteBodyBytes);
}

// --- note bodies --------------------------------------------------------------------------------

TEST(NoteBody, ReadsTheTextOfTheRealLayout) {
  // The first bytes of a real iOS 17 note body: field 1 = 0; field 2 (the document, 404
  // bytes): 1 = 0, 2 = 0, field 3 (the note, 397 bytes): field 2 the text (43 bytes), then the
  // rest of the note (352 bytes of field-3 records here).
  const std::string text = "iOS 15 Note\n\nHere is the test iOS 15 note. ";
  ASSERT_EQ(text.size(), 43u);
  std::string records = Hex("1add02") + std::string(349, '\0');
  for (std::size_t i = 3; i + 4 <= records.size(); i += 4) records.replace(i, 4, Hex("08011000"));
  const std::string bytes = Hex("080012940308001000"
                                "1a8d03"
                                "122b") +
                            text + records;
  ASSERT_EQ(bytes.size(), 5u + 404u);
  const NoteBody body = DecodeNoteBody(AsBytes(fixtures::GzipBytes(bytes)));
  EXPECT_EQ(body.kind, NoteBody::Kind::kText);
  EXPECT_EQ(body.text, text);
  EXPECT_FALSE(body.cut);
  EXPECT_TRUE(body.problem.empty());
}

TEST(NoteBody, TheFixturesProtobufHasTheRealShape) {
  const std::string text = "Trip 👋🏽\nphoto \xEF\xBF\xBC here";
  const std::string proto = fixtures::NoteProtobuf(text);
  EXPECT_EQ(proto.substr(0, 3), Hex("080012"));
  // Attribute runs (field 5 of the note) add up to the text's UTF-16 length.
  const auto note = protobuf::FindPath(AsBytes(proto), std::array<std::uint32_t, 2>{2, 3});
  ASSERT_EQ(note.status, protobuf::PathStatus::kFound);
  protobuf::Reader reader(note.bytes);
  protobuf::Field f;
  std::uint64_t units = 0;
  int records = 0;
  while (reader.Next(f)) {
    if (f.number == 3) ++records;
    if (f.number != 5) continue;
    protobuf::Reader run(f.bytes);
    protobuf::Field r;
    while (run.Next(r)) units += r.number == 1 ? r.value : 0;
  }
  EXPECT_FALSE(reader.Failed());
  EXPECT_EQ(records, 2);
  EXPECT_EQ(units, 22u);  // 4 + 1 + 2 + 2 (surrogates and the skin tone) + 1 + 6 + 1 + 5

  const NoteBody body = DecodeNoteBody(AsBytes(fixtures::GzipBytes(proto)));
  EXPECT_EQ(body.text, "Trip 👋🏽\nphoto  here");  // the attachment's marker is left out
}

TEST(NoteBody, HostileBodiesEndWithWhatCouldBeReadAndAProblem) {
  // Text that does not compress much, so that half the stream holds part of it only.
  std::string text = "Packing list\n";
  for (unsigned i = 0, x = 7; i < 3000; ++i, x = x * 1103515245u + 12345u) {
    text += static_cast<char>('a' + (x >> 16) % 26);
  }
  text += "\nthe end";
  const std::string gz = fixtures::GzipBytes(fixtures::NoteProtobuf(text));

  const NoteBody cut = DecodeNoteBody(AsBytes(std::string_view(gz).substr(0, gz.size() / 2)));
  EXPECT_EQ(cut.kind, NoteBody::Kind::kText);
  EXPECT_TRUE(cut.cut);
  EXPECT_NE(cut.problem.find("cut short"), std::string::npos);
  EXPECT_TRUE(cut.text.starts_with("Packing list\n"));
  EXPECT_GT(cut.text.size(), 100u);
  EXPECT_EQ(text.substr(0, cut.text.size()), cut.text);
  EXPECT_LT(cut.text.size(), text.size());

  const NoteBody limited = DecodeNoteBody(AsBytes(gz), 1000);
  EXPECT_TRUE(limited.cut);
  EXPECT_NE(limited.problem.find("limit"), std::string::npos);
  EXPECT_TRUE(limited.text.starts_with("Packing list\n"));
  EXPECT_LE(limited.text.size(), 1000u);

  // The text's length runs past its message: the bytes there are.
  std::string proto = fixtures::NoteProtobuf("short");
  const std::string lying = Hex("0800") + Hex("1209") + Hex("1a07") + Hex("1240") + "short";
  const NoteBody past = DecodeNoteBody(AsBytes(fixtures::GzipBytes(lying)));
  EXPECT_EQ(past.kind, NoteBody::Kind::kText);
  EXPECT_EQ(past.text, "short");
  EXPECT_TRUE(past.cut);
  EXPECT_NE(past.problem.find("protobuf"), std::string::npos);

  // An 11-byte varint before the document: nothing to read, and said so.
  const NoteBody varint =
      DecodeNoteBody(AsBytes(fixtures::GzipBytes(Hex("08ffffffffffffffffffff01") + proto)));
  EXPECT_EQ(varint.kind, NoteBody::Kind::kUnreadable);
  EXPECT_FALSE(varint.problem.empty());

  const NoteBody encrypted = DecodeNoteBody(AsBytes(std::string("bplist00\xd4\x01\x02")));
  EXPECT_EQ(encrypted.kind, NoteBody::Kind::kEncrypted);
  EXPECT_TRUE(encrypted.text.empty());

  const NoteBody garbage = DecodeNoteBody(AsBytes(std::string("plain text, not gzip")));
  EXPECT_EQ(garbage.kind, NoteBody::Kind::kUnreadable);
  EXPECT_NE(garbage.problem.find("gzip"), std::string::npos);

  // A UTF-8 sequence split by the cut leaves no broken character behind.
  const std::string umlauts =
      fixtures::GzipBytes(fixtures::NoteProtobuf(std::string(400, 'a') + "ääääääääää"));
  for (std::size_t limit = 420; limit < 440; ++limit) {
    const NoteBody b = DecodeNoteBody(AsBytes(umlauts), limit);
    EXPECT_TRUE(IsValidUtf8(b.text)) << limit;
  }
}

TEST(NoteBody, AnEmptyNoteHasAnEmptyTextAndNoProblem) {
  const NoteBody body = DecodeNoteBody(AsBytes(fixtures::GzipBytes(fixtures::NoteProtobuf(""))));
  EXPECT_EQ(body.kind, NoteBody::Kind::kText);
  EXPECT_TRUE(body.text.empty());
  EXPECT_TRUE(body.problem.empty());
  // A note message without a text field at all reads the same.
  const NoteBody bare = DecodeNoteBody(AsBytes(fixtures::GzipBytes(Hex("0800120408001a00"))));
  EXPECT_EQ(bare.kind, NoteBody::Kind::kText);
  EXPECT_TRUE(bare.text.empty());
}

// --- NoteStore.sqlite ---------------------------------------------------------------------------

struct Figures {
  std::size_t liveFound = 0, liveExpected = 0, deletedFound = 0, deletedExpected = 0;
  std::size_t carvedFound = 0, carvedExpected = 0;
  std::size_t carvedRecords = 0;  // carved notes whose note record was carved too (a date)
};

// Compares the parse with the truth: every note that is not only carved exactly (title, text,
// folder, dates, marks), carved ones by title and text; nothing else may be listed.
Figures Compare(const fixtures::NoteStoreDb& db, const std::vector<NoteRecord>& notes) {
  Figures figures;
  std::vector<bool> taken(notes.size(), false);
  for (const fixtures::ExpectedNote& want : db.notes) {
    (want.deleted ? figures.deletedExpected : figures.liveExpected) += 1;
    figures.carvedExpected += want.carved ? 1 : 0;
    bool found = false;
    for (std::size_t i = 0; i < notes.size() && !found; ++i) {
      const NoteRecord& got = notes[i];
      if (taken[i] || got.title != want.title) continue;
      found = true;
      taken[i] = true;
      EXPECT_EQ(got.body, want.body) << want.title;
      EXPECT_EQ(got.deleted, want.deleted) << want.title;
      EXPECT_EQ(got.locked, want.locked) << want.title;
      if (!want.carved) {
        EXPECT_EQ(got.folder, want.folder) << want.title;
        EXPECT_EQ(got.dateText, AppleTimeText(want.created)) << want.title;
        EXPECT_EQ(got.modifiedText, AppleTimeText(want.modified)) << want.title;
      }
    }
    if (!want.carved) {
      EXPECT_TRUE(found) << want.title;
    }
    if (found) {
      (want.deleted ? figures.deletedFound : figures.liveFound) += 1;
      figures.carvedFound += want.carved ? 1 : 0;
    }
    if (found && want.carved) {
      const auto it = std::find_if(notes.begin(), notes.end(), [&](const NoteRecord& n) {
        return n.title == want.title && n.deleted;
      });
      if (it != notes.end() && !it->dateText.empty()) {
        EXPECT_EQ(it->dateText, AppleTimeText(want.created)) << want.title;
        ++figures.carvedRecords;
      }
    }
  }
  for (std::size_t i = 0; i < notes.size(); ++i) {
    EXPECT_TRUE(taken[i]) << "unexpected note: " << notes[i].title << " / " << notes[i].body;
  }
  return figures;
}

class NoteStoreLayouts : public ::testing::TestWithParam<fixtures::NoteStoreLayout> {};

TEST_P(NoteStoreLayouts, EveryNoteWithItsFolderDatesAndMarks) {
  fixtures::TempDir dir;
  fixtures::NoteStoreOptions options;
  options.layout = GetParam();
  const fixtures::NoteStoreDb db = fixtures::WriteNoteStore(dir / "NoteStore.sqlite", options);
  FindingsList findings;
  std::vector<NoteRecord> notes(1);  // appended to
  notes[0].title = "kept";
  ASSERT_EQ(ParseNoteStore(db.path, notes, &findings), kResultOk);
  ASSERT_EQ(notes.front().title, "kept");
  notes.erase(notes.begin());
  const Figures f = Compare(db, notes);
  std::printf(
      "[ figures  ] NoteStore %s: live %zu/%zu, deleted %zu/%zu (carved %zu/%zu, %zu of them "
      "with their carved note record)\n",
      GetParam() == fixtures::NoteStoreLayout::kIos9 ? "iOS 9" : "iOS 17", f.liveFound,
      f.liveExpected, f.deletedFound, f.deletedExpected, f.carvedFound, f.carvedExpected,
      f.carvedRecords);
  EXPECT_EQ(f.liveFound, f.liveExpected);
  EXPECT_EQ(f.carvedFound, f.carvedExpected);
  // A locked note is no failure.
  for (const Finding& finding : findings.Snapshot()) {
    EXPECT_EQ(finding.why.find("encrypted"), std::string::npos) << finding.why;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, NoteStoreLayouts,
                         ::testing::Values(fixtures::NoteStoreLayout::kIos9,
                                           fixtures::NoteStoreLayout::kIos17));

// Runs `sql` on the fixture's file.
void Change(const fixtures::NoteStoreDb& db, const std::string& sql) {
  testing::ExecSql(db.path, sql);
}

TEST(NoteStore, WithoutTheEntityTableNotesAreToldByTheirColumns) {
  fixtures::TempDir dir;
  fixtures::NoteStoreOptions options;
  options.deletedNotes = 0;
  const fixtures::NoteStoreDb db = fixtures::WriteNoteStore(dir / "NoteStore.sqlite", options);
  Change(db, "DROP TABLE Z_PRIMARYKEY; PRAGMA writable_schema=ON;");
  FindingsList findings;
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ParseNoteStore(db.path, notes, &findings), kResultOk);
  Compare(db, notes);
  EXPECT_TRUE(HasFinding(findings, "table", "ICNote"));
}

TEST(NoteStore, HostileBodiesInTheDatabaseAreFindingsAndTheParseGoesOn) {
  fixtures::TempDir dir;
  fixtures::NoteStoreOptions options;
  options.deletedNotes = 0;
  const fixtures::NoteStoreDb db = fixtures::WriteNoteStore(dir / "NoteStore.sqlite", options);
  std::string longText = "Long one\nyyy";
  for (unsigned i = 0, x = 3; i < 5000; ++i, x = x * 1103515245u + 12345u) {
    longText += static_cast<char>('a' + (x >> 16) % 26);
  }
  const std::string gz = fixtures::GzipBytes(fixtures::NoteProtobuf(longText));
  std::string hex;
  for (const unsigned char c : gz.substr(0, gz.size() / 2)) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  // Shopping list (row 10): a cut gzip stream; Pasta sauce (row 11, not locked): an encrypted
  // body; Journal day 1: a body that is no gzip at all.
  Change(db, "UPDATE ZICNOTEDATA SET ZDATA = X'" + hex +
                 "' WHERE ZNOTE = 10;"
                 "UPDATE ZICNOTEDATA SET ZDATA = CAST('bplist00xyz' AS BLOB) WHERE ZNOTE = 11;"
                 "UPDATE ZICNOTEDATA SET ZDATA = CAST('not a body' AS BLOB) WHERE ZNOTE = 17;"
                 // Journal day 2: marked locked, its body plain text all the same.
                 "UPDATE ZICCLOUDSYNCINGOBJECT SET ZISPASSWORDPROTECTED = 1 WHERE Z_PK = 18;");
  FindingsList findings;
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ParseNoteStore(db.path, notes, &findings), kResultOk);
  std::map<std::string, NoteRecord> byTitle;
  for (const NoteRecord& n : notes) byTitle[n.title] = n;
  ASSERT_EQ(byTitle.size(), db.notes.size());
  EXPECT_TRUE(byTitle["Shopping list"].body.starts_with("Long one\nyyy"));
  EXPECT_LT(byTitle["Shopping list"].body.size(), longText.size());
  EXPECT_TRUE(HasFinding(findings, "note body", "cut short"));
  EXPECT_TRUE(byTitle["Pasta sauce"].locked);
  EXPECT_TRUE(byTitle["Pasta sauce"].body.empty());
  EXPECT_TRUE(HasFinding(findings, "note body", "not marked locked"));
  EXPECT_TRUE(byTitle["Journal day 1"].body.empty());
  EXPECT_TRUE(HasFinding(findings, "note body", "gzip"));
  EXPECT_EQ(byTitle["Grüße aus München"].body, db.notes[2].body);
  ASSERT_EQ(db.notes[8].title, "Journal day 2");
  EXPECT_EQ(byTitle["Journal day 2"].body, db.notes[8].body);
  EXPECT_FALSE(byTitle["Journal day 2"].locked);
  EXPECT_TRUE(HasFinding(findings, "note body", "marked locked; the text is shown"));
}

TEST(NoteStore, ASqliteFileWithoutTheNoteTablesIsALayoutNotRecognised) {
  fixtures::TempDir dir;
  testing::ExecSql(dir / "NoteStore.sqlite",
                   "CREATE TABLE other (a, b); INSERT INTO other VALUES (1, 2);");
  FindingsList findings;
  std::vector<NoteRecord> notes;
  EXPECT_EQ(ParseNoteStore(dir / "NoteStore.sqlite", notes, &findings), kResultLayoutUnknown);
  EXPECT_TRUE(notes.empty());
  EXPECT_TRUE(HasFinding(findings, "table", "not recognised"));
  EXPECT_NE(ParseNoteStore(dir / "missing.sqlite", notes, &findings), kResultOk);
}

TEST(NoteStore, AFolderOfNoteRowsThatIsGoneIsAFinding) {
  fixtures::TempDir dir;
  fixtures::NoteStoreOptions options;
  options.deletedNotes = 0;
  const fixtures::NoteStoreDb db = fixtures::WriteNoteStore(dir / "NoteStore.sqlite", options);
  Change(db, "DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = 3;");  // Recipes
  FindingsList findings;
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ParseNoteStore(db.path, notes, &findings), kResultOk);
  auto pasta = std::find_if(notes.begin(), notes.end(),
                            [](const NoteRecord& n) { return n.title == "Pasta sauce"; });
  ASSERT_NE(pasta, notes.end());
  EXPECT_TRUE(pasta->folder.empty());
  EXPECT_FALSE(pasta->deleted);
  EXPECT_TRUE(HasFinding(findings, "note", "folder 3"));
}

}  // namespace
}  // namespace kestrio
