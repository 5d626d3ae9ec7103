// The plain text of a message body archived as a "typedstream": the NSArchiver format of
// NeXTSTEP that iOS uses for sms.db message.attributedBody (an NSAttributedString) and for
// the texts of a message's edit history.
//
// FILE FORMAT (reader of dgelessus/python-typedstream, checked against real message blobs)
//
//   header   04                  streamer version 4
//            0B "streamtyped"    signature; "streamtyped" means little-endian numbers,
//                                "typedstream" big-endian (not seen on iOS)
//            81 E8 03            system version, an integer (1000 on iOS)
//
//   integers a head byte read as signed: 00..7F and 92..FF are the value itself (0..127,
//            -110..-1); 81 = 2-byte integer follows, 82 = 4-byte integer follows, 83 =
//            floating point follows (4 or 8 bytes by the type), 84 = NEW (a literal string,
//            object or class follows), 85 = NIL, 86 = END of an object; 80, 87..91 reserved.
//            Lengths are unsigned: a head 92..FF then means 146..255.
//   refs     where a reference may stand, the integer + 110 is an index into a table, so
//            92 = 0 ... FF = 109, 00..7F = 110..237, 81 lo hi for larger ones. There are two
//            tables, both counted from 0: shared strings (type encodings, class names), and
//            objects + classes + C strings, numbered in the order their 84 is read.
//   strings  shared:   84 <length> <bytes> (new), a reference, or 85
//            unshared: <length> <bytes> or 85 (type '+': an NSString's text, UTF-8 bytes)
//            C string: 84 <shared string> (new object entry), a reference, or 85
//   stream   a sequence of typed-value groups: a shared string of Objective-C type codes,
//            then one value per code. Codes: '@' object, '#' class, '+' unshared string,
//            '*' and ':' C string, 'c' 'C' 'B' one raw byte, 's' 'S' 'i' 'I' 'l' 'L' 'q' 'Q'
//            integers, 'f' 'd' floating point, '[<count><code>]' arrays ('[582c]' is 582 raw
//            bytes with no length prefix).
//   object   85, a reference, or 84 + class chain + typed-value groups + 86. The class chain
//            is 84 <shared class name> <integer version>, repeated for each superclass, ended
//            by 85 (root reached) or by a reference to a class already read.
//
//   An attributed body is an NS(Mutable)AttributedString whose first field is an
//   NS(Mutable)String holding one '+' field: the whole text. Attribute runs follow (pairs
//   of dictionary index and length in UTF-16 units, dictionaries on first use); they are not
//   needed for the text and are not read.
//
// SAFETY: the blob is hostile. Every length and reference is checked against the bytes left
// and the tables read so far, nesting is bounded and the walk is bounded in steps. A blob the
// walk cannot follow to its text (a carved record that lost its tail, a damaged middle) goes
// to a search: the class name NSString, then the first new '+' type code (84 01 2B) after it,
// then its length prefix; what remains of the text is returned and marked truncated. Texts
// are never cut at byte patterns ("86 84" occurs inside UTF-8 text).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace kestrio {

struct AttributedText {
  std::string text;        // UTF-8; ill-formed sequences replaced by U+FFFD
  bool truncated = false;  // the blob ended before the text's stored length (search path)
};

// The plain text of an NSAttributedString or NSString typedstream blob; nothing when the blob
// is not a typedstream or holds no string that could be found. The text keeps U+FFFC (the
// position of an attachment) and U+FFFD (app and balloon placeholders); see
// WithoutObjectMarkers for display.
std::optional<AttributedText> AttributedBodyText(Bytes blob);

// The text without U+FFFC OBJECT REPLACEMENT CHARACTER and U+FFFD REPLACEMENT CHARACTER: what
// a body shows once its attachments and app balloons are listed apart. Every other byte stays.
std::string WithoutObjectMarkers(std::string_view text);

}  // namespace kestrio
