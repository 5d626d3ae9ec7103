#include "parsers/typedstream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio {
namespace {

// A blob written byte by byte.
struct Blob {
  std::vector<std::uint8_t> bytes;

  Blob& Raw(const std::vector<std::uint8_t>& raw) {
    bytes.insert(bytes.end(), raw.begin(), raw.end());
    return *this;
  }
  Blob& Str(std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  // An unsigned length in its shortest form, then the bytes.
  Blob& Counted(std::string_view text) {
    const std::size_t n = text.size();
    if (n < 0x80) {
      Raw({static_cast<std::uint8_t>(n)});
    } else if (n <= 0xFFFF) {
      Raw({0x81, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)});
    } else {
      Raw({0x82, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
           static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)});
    }
    return Str(text);
  }
  Bytes span() const { return bytes; }
};

Blob Header() { return Blob().Raw({0x04, 0x0B}).Str("streamtyped").Raw({0x81, 0xE8, 0x03}); }

// The body iOS writes for a text without attachments, in the byte order of the messages
// database (the annotated 233-byte blob of "Noter test" when text is that). Mutable root
// and content classes; `text` in the shortest length form.
Blob MutableBody(std::string_view text) {
  Blob b = Header();
  b.Raw({0x84, 0x01, 0x40});                                               // group "@" (shared #0)
  b.Raw({0x84});                                                           // object #0
  b.Raw({0x84, 0x84, 0x19}).Str("NSMutableAttributedString").Raw({0x00});  // #1, shared #1
  b.Raw({0x84, 0x84, 0x12}).Str("NSAttributedString").Raw({0x00});         // #2, shared #2
  b.Raw({0x84, 0x84, 0x08}).Str("NSObject").Raw({0x00});                   // #3, shared #3
  b.Raw({0x85});                                                           // chain ends
  b.Raw({0x92, 0x84});                                                     // group "@", object #4
  b.Raw({0x84, 0x84, 0x0F}).Str("NSMutableString").Raw({0x01});            // #5, shared #4
  b.Raw({0x84, 0x84, 0x08}).Str("NSString").Raw({0x01});                   // #6, shared #5
  b.Raw({0x95});                                                           // superclass: NSObject
  b.Raw({0x84, 0x01, 0x2B}).Counted(text).Raw({0x86});                     // "+" (shared #6), end
  return b;
}

// The rest of the real blob: one attribute run and its dictionary, then the root's end.
Blob& AddRunOfTen(Blob& b) {
  b.Raw({0x84, 0x02, 0x69, 0x49, 0x01, 0x0A});  // "iI": dictionary 1, 10 UTF-16 units
  b.Raw({0x92, 0x84, 0x84, 0x84, 0x0C}).Str("NSDictionary").Raw({0x00, 0x95});
  b.Raw({0x84, 0x01, 0x69, 0x01});  // "i": one pair
  b.Raw({0x92, 0x84, 0x98, 0x98, 0x1D}).Str("__kIMMessagePartAttributeName").Raw({0x86});
  b.Raw({0x92, 0x84, 0x84, 0x84, 0x08}).Str("NSNumber").Raw({0x00});
  b.Raw({0x84, 0x84, 0x07}).Str("NSValue").Raw({0x00, 0x95});
  b.Raw({0x84, 0x01, 0x2A, 0x84, 0x9B, 0x9B, 0x00, 0x86});  // "*" = "i", value 0
  b.Raw({0x86, 0x86});  // end of the dictionary, end of the root
  return b;
}

Blob RealNoterTest() {
  Blob b = MutableBody("Noter test");
  return AddRunOfTen(b);
}

// The non-mutable shape: NSAttributedString holding an NSString.
Blob PlainBody(std::string_view text) {
  Blob b = Header();
  b.Raw({0x84, 0x01, 0x40, 0x84});
  b.Raw({0x84, 0x84, 0x12}).Str("NSAttributedString").Raw({0x00});  // #1, shared #1
  b.Raw({0x84, 0x84, 0x08}).Str("NSObject").Raw({0x00, 0x85});      // #2, shared #2
  b.Raw({0x92, 0x84});                                              // object #3
  b.Raw({0x84, 0x84, 0x08}).Str("NSString").Raw({0x01, 0x94});      // #4, then NSObject
  b.Raw({0x84, 0x01, 0x2B}).Counted(text).Raw({0x86});
  b.Raw({0x84, 0x02, 0x69, 0x49, 0x01, 0x06, 0x86});
  return b;
}

std::optional<AttributedText> Read(const Blob& b) { return AttributedBodyText(b.span()); }

Blob Cut(const Blob& b, std::size_t size) {
  Blob cut;
  cut.bytes.assign(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>(size));
  return cut;
}

TEST(TypedStreamText, ReadsTheRealAttributedBody) {
  const Blob blob = RealNoterTest();
  ASSERT_EQ(blob.bytes.size(), 233u);
  EXPECT_EQ(blob.bytes[0x79], 0x0A);  // the length byte where the annotated blob has it
  const auto text = Read(blob);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text, "Noter test");
  EXPECT_FALSE(text->truncated);

  const auto plain = Read(PlainBody("Test 3"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->text, "Test 3");
  EXPECT_FALSE(plain->truncated);
}

TEST(TypedStreamText, ReadsLongAndMultiByteTexts) {
  // 300 bytes: the 81 lo hi length form; 70,000 bytes: 82 + four bytes.
  std::string medium;
  for (int i = 0; i < 30; ++i) medium += "0123456789";
  ASSERT_EQ(MutableBody(medium).bytes[0x79], 0x81);
  EXPECT_EQ(Read(MutableBody(medium))->text, medium);
  const std::string large(70000, 'x');
  EXPECT_EQ(Read(PlainBody(large))->text, large);

  // Ten mathematical bold letters (four UTF-8 bytes each) and a space: 41 bytes.
  std::string bold;
  for (char c = 0; c < 10; ++c) bold += std::string("\xF0\x9D\x90") + static_cast<char>(0x80 + c);
  bold += ' ';
  ASSERT_EQ(bold.size(), 41u);
  EXPECT_EQ(Read(MutableBody(bold))->text, bold);

  // Attachments keep their U+FFFC markers; ill-formed bytes become U+FFFD.
  const std::string parts = "\xEF\xBF\xBCtest 1\xEF\xBF\xBCtest 2 \xEF\xBF\xBCtest 3";
  ASSERT_EQ(parts.size(), 28u);
  EXPECT_EQ(Read(MutableBody(parts))->text, parts);
  EXPECT_EQ(Read(MutableBody("a\xFF"
                             "b"))
                ->text,
            "a\xEF\xBF\xBD"
            "b");
  // "86 84" inside the text (U+2184) does not end it.
  EXPECT_EQ(Read(MutableBody("x\xE2\x86\x84y"))->text, "x\xE2\x86\x84y");
}

TEST(TypedStreamText, ReadsTheBigEndianVariant) {
  Blob b = Blob().Raw({0x04, 0x0B}).Str("typedstream").Raw({0x81, 0x03, 0xE8});
  const std::string text(300, 'b');
  b.Raw({0x84, 0x01, 0x40, 0x84, 0x84, 0x84, 0x08}).Str("NSString").Raw({0x01, 0x85});
  b.Raw({0x84, 0x01, 0x2B, 0x81, 0x01, 0x2C}).Str(text).Raw({0x86});
  EXPECT_EQ(Read(b)->text, text);
}

TEST(TypedStreamText, FollowsReferencesPastOtherValues) {
  // A '+' outside any object, a byte array and a number with a C string and a '+' come first;
  // the string object then names its class and its '+' code by reference, so only the walk,
  // not the search, finds its text.
  Blob b = Header();
  b.Raw({0x84, 0x01, 0x2B}).Counted("decoy");                   // shared #0 "+"
  b.Raw({0x84, 0x04}).Str("[3c]").Raw({0x01, 0x02, 0x03});      // shared #1
  b.Raw({0x84, 0x01, 0x40, 0x84});                              // shared #2 "@", object #0
  b.Raw({0x84, 0x84, 0x08}).Str("NSNumber").Raw({0x00, 0x85});  // class #1, shared #3
  b.Raw({0x84, 0x02}).Str("*q").Raw({0x84, 0x84, 0x01}).Str("q").Raw({0x82, 1, 2, 3, 4});
  b.Raw({0x84, 0x01}).Str("d").Raw({0x83, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  b.Raw({0x92}).Counted("not a string's text").Raw({0x86});                       // '+' in a number
  b.Raw({0x84, 0x01, 0x23, 0x84, 0x84, 0x08}).Str("NSString").Raw({0x01, 0x85});  // "#"
  b.Raw({0x94, 0x84, 0x95});  // group "@": new object #4 of class #3 (NSString)
  b.Raw({0x92}).Counted("the text").Raw({0x86});
  const auto text = Read(b);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text, "the text");
  EXPECT_FALSE(text->truncated);
}

TEST(TypedStreamText, SearchesABlobCutShortOrDamaged) {
  const Blob blob = RealNoterTest();
  // Cut inside the text: what is left, marked truncated.
  auto cut = Read(Cut(blob, 0x7A + 4));
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->text, "Note");
  EXPECT_TRUE(cut->truncated);
  // Cut right after the text: the whole text.
  cut = Read(Cut(blob, 0x84));
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->text, "Noter test");
  EXPECT_FALSE(cut->truncated);
  // Cut inside the 81 lo hi length, or before the text starts: nothing.
  EXPECT_FALSE(Read(Cut(MutableBody(std::string(200, 'y')), 0x7A)));
  EXPECT_FALSE(Read(Cut(blob, 0x60)));

  // A reserved byte as NSObject's version stops the walk; the search still finds the text.
  Blob damaged = blob;
  damaged.bytes[0x52] = 0x80;
  const auto found = Read(damaged);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->text, "Noter test");
  EXPECT_FALSE(found->truncated);
}

TEST(TypedStreamText, LengthsPastTheEndAreCutToTheBlob) {
  // 0x7F bytes declared, a blob that ends with the text.
  Blob lying = Cut(RealNoterTest(), 0x84);
  lying.bytes[0x79] = 0x7F;
  auto text = Read(lying);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text, "Noter test");
  EXPECT_TRUE(text->truncated);

  // 82 with four gigabytes, and 81 with more than the blob holds.
  for (const auto& length :
       std::vector<std::vector<std::uint8_t>>{{0x82, 0xFF, 0xFF, 0xFF, 0xFF}, {0x81, 0x00, 0x10}}) {
    Blob b = Cut(RealNoterTest(), 0x79);
    b.Raw(length).Str("Noter test");
    text = Read(b);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, "Noter test");
    EXPECT_TRUE(text->truncated);
  }
}

TEST(TypedStreamText, RejectsWhatIsNoTypedStream) {
  EXPECT_FALSE(AttributedBodyText({}));
  EXPECT_FALSE(Read(Header()));
  EXPECT_FALSE(Read(Cut(Header(), 14)));  // system version cut after its 81
  // Streamer version 3, a signature one byte short, a wrong signature.
  for (const auto& [offset, byte] : {std::pair<int, char>{0, 0x03}, {1, 0x0A}, {12, 'x'}}) {
    Blob changed = RealNoterTest();
    changed.bytes[static_cast<std::size_t>(offset)] = static_cast<std::uint8_t>(byte);
    EXPECT_FALSE(Read(changed)) << offset;
  }
  // A typedstream of something other than a string.
  Blob number = Header();
  number.Raw({0x84, 0x01, 0x69, 0x05});
  EXPECT_FALSE(Read(number));
}

TEST(TypedStreamText, BadReferencesGiveNothingOrTheSearchResult) {
  // The '+' code as a shared-string reference past the table: the walk stops, and the search
  // finds no new '+' after NSString.
  Blob shared = MutableBody("Noter test");
  ASSERT_EQ(shared.bytes[0x76], 0x84);
  shared.bytes.erase(shared.bytes.begin() + 0x76, shared.bytes.begin() + 0x79);
  shared.bytes.insert(shared.bytes.begin() + 0x76, 0xFF);
  EXPECT_FALSE(Read(shared));

  // A superclass reference to an object that is no class, or to no object at all, with an
  // index in each of the integer forms.
  for (const auto& ref : std::vector<std::vector<std::uint8_t>>{
           {0x92}, {0xFF}, {0x7F}, {0x81, 0xFF, 0x7F}, {0x82, 0x00, 0x00, 0x00, 0x80}}) {
    Blob b = Cut(MutableBody("Noter test"), 0x75);
    b.Raw(ref).Raw({0x84, 0x01, 0x2B}).Counted("Noter test").Raw({0x86});
    const auto text = Read(b);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, "Noter test");  // from the search
  }

  // A class that names itself as its superclass ends the chain, no loop.
  Blob self = Header();
  self.Raw({0x84, 0x01, 0x40, 0x84, 0x84, 0x84, 0x04}).Str("Loop").Raw({0x00, 0x93, 0x86});
  EXPECT_FALSE(Read(self));
}

// Objects nested `levels` deep, each the first field of the one outside it, around a string.
Blob Nested(int levels, bool with_string) {
  Blob b = Header();
  b.Raw({0x84, 0x01, 0x40, 0x84, 0x84, 0x84, 0x04}).Str("Node").Raw({0x00, 0x85});  // class #1
  for (int i = 0; i < levels; ++i) b.Raw({0x92, 0x84, 0x93});
  if (with_string) {
    b.Raw({0x92, 0x84, 0x84, 0x84, 0x08}).Str("NSString").Raw({0x01, 0x85});
    b.Raw({0x84, 0x01, 0x2B}).Counted("deep").Raw({0x86});
  }
  for (int i = 0; i < levels; ++i) b.Raw({0x86});
  return b.Raw({0x86});
}

TEST(TypedStreamText, NestingIsBounded) {
  EXPECT_EQ(Read(Nested(20, true))->text, "deep");
  // Far deeper than any body: the walk gives up without exhausting the stack.
  EXPECT_FALSE(Read(Nested(200000, false)));
}

TEST(TypedStreamText, ArraysAndCountsAreChecked) {
  // A byte array longer than the blob, and a count with more digits than any blob.
  for (const std::string_view types : {"[99999c]", "[99999999999999999999999i]", "[3", "[c]x"}) {
    Blob b = Header();
    b.Raw({0x84}).Counted(types).Raw({0x01, 0x02});
    EXPECT_FALSE(Read(b)) << types;
  }
}

TEST(TypedStreamMarkers, RemovesObjectAndReplacementCharacters) {
  EXPECT_EQ(WithoutObjectMarkers("\xEF\xBF\xBCtest 1\xEF\xBF\xBC"
                                 "a\xEF\xBF\xBD"),
            "test 1a");
  // Other characters, and a marker's first bytes at the end, stay.
  EXPECT_EQ(WithoutObjectMarkers("caf\xC3\xA9 \xEF\xBF\xBE \xEF\xBF"),
            "caf\xC3\xA9 \xEF\xBF\xBE \xEF\xBF");
  EXPECT_EQ(WithoutObjectMarkers(""), "");
}

}  // namespace
}  // namespace kestrio
