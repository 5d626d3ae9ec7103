// File types of stored media, told by their first bytes.
//
// The tests run in this order and the first that holds names the type ("len" is the number of
// bytes given, at most 512; every test also needs the bytes it looks at):
//
//   mpeg  MPEG program stream: pack header 00 00 01 BA at 0 and a system header 00 00 01 BB
//         within the first 32 bytes, or MPEG-1/2 video: sequence header 00 00 01 B3 at 0 and
//         a group-of-pictures start 00 00 01 B8 within the first 32 bytes; len > 15
//   mp4   ISO base media: box type "ftyp" at 4, major brand "iso?", "mp42", "mp41", "avc1" or
//         "dash" at 8; len >= 32
//   m4a   "ftyp" at 4, major brand "M4A " (AAC or ALAC audio) or "M4B " (an audio book) at 8;
//         len > 15
//   m4v   "ftyp" at 4, major brand "M4V " at 8 (video of the iTunes family); len > 15
//   rmvb  RealMedia: ".RMF" at 0
//   wmv   ASF: header object GUID 75B22630-668E-11CF-A6D9-00AA0062CE6C (stored
//         30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C) at 0; len > 23
//   avi   RIFF at 0, form type "AVI " at 8, first chunk "LIST" at 12; len > 15
//   3gp   "ftyp" at 4, major brand "3gp?" at 8; len >= 32
//   mp3   ID3v2 tag: "ID3" at 0, version bytes 3 and 4 not FF, flags byte 5 with the low five
//         bits clear, synchsafe size bytes 6..9 each below 80
//   mid   Standard MIDI file: "MThd" at 0, header length 00 00 00 06 at 4, "MTrk" at 14
//   wav   RIFF at 0, form type "WAVE" at 8, "fmt " chunk at 12; len > 15
//   mov   QuickTime: atom "moov" at 0, or "ftyp" at 4 with brand "qt  " at 8; len > 15
//   gif   "GIF", two decimal digits, one lower-case letter ("GIF87a", "GIF89a"); len > 7
//   bmp   "BM" (or OS/2 "BA") at 0, reserved bytes 6..9 zero, DIB header size 40
//         (BITMAPINFOHEADER, 32-bit little-endian) at 14; len >= 40
//   jpg   SOI + APP0 FF D8 FF E0 with "JFIF" at 6, or SOI + APP1 FF D8 FF E1 with "Exif" at 6;
//         len > 15
//   png   89 50 4E 47 0D 0A 1A 0A; len > 7
//   ico   ICONDIR: reserved 00 00 and type 01 00 at 0, image count n (16-bit little-endian) at
//         4, not 0, then n 16-byte ICONDIRENTRY records from 6 (all within len): each has its
//         reserved byte 3 zero, and its data offset (32-bit at 12) is where the previous image
//         ended, the first at 6 + 16 n, the next one its size (32-bit at 8) further; len > 15
//   heic  HEIF: "ftyp" at 4 with major brand heic, heix, hevc, hevx, heim, heis, mif1 or msf1
//         at 8 (the photo format of current iPhones); len > 15
//   caf   Core Audio Format (voice messages of Messages): "caff" at 0, file version 00 01 at 4,
//         flags 00 00 at 6, the audio description chunk "desc" first at 8
//   opus  Ogg page "OggS" at 0, stream structure version 0 at 4, the beginning-of-stream flag
//         (02) in the header type at 5, page segment count n at 26; the first packet (at
//         27 + n; its first 8 bytes within len) starts with "OpusHead" (WhatsApp's voice
//         notes)
//   ogg   the same first page with any other first packet (Vorbis, Speex, FLAC, ...)
//   webp  RIFF at 0, form type "WEBP" at 8, first chunk "VP8 ", "VP8L" or "VP8X" at 12
//         (stickers); len > 15
//   amr   "#!AMR\n" (narrowband) or "#!AMR-WB\n" (wideband) at 0
//   aac   ADTS frame header: sync FF Fx at 0 with layer bits 00 (byte 1 & F6 = F0), a sampling
//         frequency index (byte 2 bits 5..2) below 13, a frame length (13 bits from byte 3)
//         of at least the 7 header bytes; when the next frame starts within len, it starts
//         with the same sync
#include <optional>
#include <string>

#include "backup/media_files.h"
#include "backup/stored_file.h"

namespace kestrio {

const std::string_view kPictureExtensions =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|"
    "*.cr2|*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|"
    "*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.heic|*.webp";
const std::string_view kAudioExtensions =
    "*.mp3|*.wav|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|"
    "*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.opus|*.aac";
const std::string_view kVideoExtensions =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.ape|*.m4v|*.3gp|*.dv|"
    "*.3g2|*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|"
    "*.hdmov|*.mod|*.m2t|*.lrv";

namespace {

// The first bytes of a file; every accessor checks its range and answers "no" beyond the end.
class Head {
 public:
  explicit Head(std::string_view bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }

  bool Has(std::size_t offset, std::string_view text) const {
    return offset <= bytes_.size() && text.size() <= bytes_.size() - offset &&
           bytes_.compare(offset, text.size(), text) == 0;
  }

  std::optional<std::uint8_t> Byte(std::size_t offset) const {
    if (offset >= bytes_.size()) return std::nullopt;
    return static_cast<std::uint8_t>(bytes_[offset]);
  }

  std::optional<std::uint32_t> Le16(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return std::nullopt;
    return static_cast<std::uint32_t>(*Byte(offset) | (*Byte(offset + 1) << 8));
  }

  std::optional<std::uint32_t> Le32(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) value = (value << 8) | *Byte(offset + i);
    return value;
  }

  // `text` starts somewhere within the first `limit` bytes (and ends within them).
  bool FindsWithin(std::size_t limit, std::string_view text) const {
    const std::string_view window = bytes_.substr(0, limit);
    return window.find(text) != std::string_view::npos;
  }

 private:
  std::string_view bytes_;
};

using namespace std::string_view_literals;

bool IsMpeg(const Head& h) {
  if (h.size() <= 15) return false;
  if (h.Has(0, "\x00\x00\x01\xBA"sv)) return h.FindsWithin(32, "\x00\x00\x01\xBB"sv);
  if (h.Has(0, "\x00\x00\x01\xB3"sv)) return h.FindsWithin(32, "\x00\x00\x01\xB8"sv);
  return false;
}

bool IsMp4(const Head& h) {
  if (h.size() < 32 || !h.Has(4, "ftyp")) return false;
  for (std::string_view brand : {"iso", "mp42", "mp41", "avc1", "dash"}) {
    if (h.Has(8, brand)) return true;
  }
  return false;
}

bool IsM4a(const Head& h) {
  return h.size() > 15 && h.Has(4, "ftyp") && (h.Has(8, "M4A ") || h.Has(8, "M4B "));
}

bool IsM4v(const Head& h) { return h.size() > 15 && h.Has(4, "ftypM4V "); }

bool IsRmvb(const Head& h) { return h.Has(0, ".RMF"); }

bool IsWmv(const Head& h) {
  return h.size() > 23 &&
         h.Has(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv);
}

bool IsAvi(const Head& h) {
  return h.size() > 15 && h.Has(0, "RIFF") && h.Has(8, "AVI ") && h.Has(12, "LIST");
}

bool Is3gp(const Head& h) { return h.size() >= 32 && h.Has(4, "ftyp") && h.Has(8, "3gp"); }

bool IsMp3(const Head& h) {
  if (!h.Has(0, "ID3") || h.size() < 10) return false;
  if (*h.Byte(3) == 0xFF || *h.Byte(4) == 0xFF || (*h.Byte(5) & 0x1F) != 0) return false;
  for (std::size_t i = 6; i < 10; ++i) {
    if (*h.Byte(i) >= 0x80) return false;
  }
  return true;
}

bool IsMid(const Head& h) {
  return h.Has(0, "MThd") && h.Has(4, "\x00\x00\x00\x06"sv) && h.Has(14, "MTrk");
}

bool IsWav(const Head& h) {
  return h.size() > 15 && h.Has(0, "RIFF") && h.Has(8, "WAVE") && h.Has(12, "fmt ");
}

bool IsMov(const Head& h) {
  return h.size() > 15 && (h.Has(0, "moov") || (h.Has(4, "ftyp") && h.Has(8, "qt  ")));
}

bool IsDigit(std::optional<std::uint8_t> c) { return c && *c >= '0' && *c <= '9'; }

bool IsGif(const Head& h) {
  const std::optional<std::uint8_t> letter = h.Byte(5);
  return h.size() > 7 && h.Has(0, "GIF") && IsDigit(h.Byte(3)) && IsDigit(h.Byte(4)) && letter &&
         *letter >= 'a' && *letter <= 'z';
}

bool IsBmp(const Head& h) {
  return h.size() >= 40 && (h.Has(0, "BM") || h.Has(0, "BA")) && h.Has(6, "\x00\x00\x00\x00"sv) &&
         h.Le32(14) == 40u;
}

bool IsJpg(const Head& h) {
  if (h.size() <= 15) return false;
  return (h.Has(0, "\xFF\xD8\xFF\xE0"sv) && h.Has(6, "JFIF")) ||
         (h.Has(0, "\xFF\xD8\xFF\xE1"sv) && h.Has(6, "Exif"));
}

bool IsPng(const Head& h) { return h.Has(0, "\x89PNG\r\n\x1A\n"sv); }

bool IsIco(const Head& h) {
  constexpr std::size_t kDirectory = 6;
  constexpr std::size_t kEntry = 16;
  if (h.size() <= 15 || !h.Has(0, "\x00\x00\x01\x00"sv)) return false;
  const std::uint32_t count = *h.Le16(4);
  if (count == 0) return false;
  // 64 bits: the sum of the hostile sizes must not wrap around to a matching offset.
  std::uint64_t expected = kDirectory + std::uint64_t{kEntry} * count;
  if (h.size() < expected) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = kDirectory + kEntry * i;
    if (h.Byte(entry + 3) != 0u || h.Le32(entry + 12) != expected) return false;
    expected += *h.Le32(entry + 8);
  }
  return true;
}

bool IsHeic(const Head& h) {
  if (h.size() <= 15 || !h.Has(4, "ftyp")) return false;
  for (std::string_view brand : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"}) {
    if (h.Has(8, brand)) return true;
  }
  return false;
}

bool IsCaf(const Head& h) {
  return h.Has(0,
               "caff\x00\x01\x00\x00"
               "desc"sv);
}

// Where the first packet of an Ogg stream's first page starts, or nothing when the bytes are
// no such page.
std::optional<std::size_t> OggFirstPacket(const Head& h) {
  constexpr std::size_t kSegmentCount = 26;
  constexpr std::uint8_t kBeginningOfStream = 0x02;
  if (!h.Has(0, "OggS") || h.Byte(4) != 0u) return std::nullopt;
  const std::optional<std::uint8_t> type = h.Byte(5);
  const std::optional<std::uint8_t> segments = h.Byte(kSegmentCount);
  if (!type || (*type & kBeginningOfStream) == 0 || !segments) return std::nullopt;
  // The packet's first 8 bytes tell Opus from the others: a page cut before them is not
  // taken for either.
  constexpr std::size_t kPacketHead = 8;
  const std::size_t packet = kSegmentCount + 1 + *segments;
  if (packet + kPacketHead > h.size()) return std::nullopt;
  return packet;
}

bool IsOpus(const Head& h) {
  const std::optional<std::size_t> packet = OggFirstPacket(h);
  return packet && h.Has(*packet, "OpusHead");
}

bool IsOgg(const Head& h) { return OggFirstPacket(h).has_value(); }

bool IsWebp(const Head& h) {
  return h.size() > 15 && h.Has(0, "RIFF") && h.Has(8, "WEBP") &&
         (h.Has(12, "VP8 ") || h.Has(12, "VP8L") || h.Has(12, "VP8X"));
}

bool IsAmr(const Head& h) { return h.Has(0, "#!AMR\n") || h.Has(0, "#!AMR-WB\n"); }

// An ADTS header: 12 sync bits, the MPEG version bit, two layer bits that are always 0, the
// protection bit; then profile, sampling frequency index and channels; the frame length
// (header included) takes 13 bits from the last two bits of byte 3.
std::optional<std::size_t> AdtsFrameLength(const Head& h, std::size_t at) {
  constexpr std::size_t kHeader = 7;
  constexpr std::uint8_t kFirstSampleRateMissing = 13;
  const std::optional<std::uint8_t> b0 = h.Byte(at), b1 = h.Byte(at + 1), b2 = h.Byte(at + 2),
                                    b3 = h.Byte(at + 3), b4 = h.Byte(at + 4), b5 = h.Byte(at + 5);
  if (!b5 || *b0 != 0xFF || (*b1 & 0xF6) != 0xF0) return std::nullopt;
  if (((*b2 >> 2) & 0x0F) >= kFirstSampleRateMissing) return std::nullopt;
  const std::size_t length =
      (static_cast<std::size_t>(*b3 & 0x03) << 11) | (std::size_t{*b4} << 3) | (*b5 >> 5);
  if (length < kHeader) return std::nullopt;
  return length;
}

bool IsAac(const Head& h) {
  const std::optional<std::size_t> length = AdtsFrameLength(h, 0);
  if (!length) return false;
  // The next frame, when its header lies within the bytes given, must be one too.
  if (*length + 6 < h.size()) return AdtsFrameLength(h, *length).has_value();
  return true;
}

struct FileType {
  std::string_view extension;
  bool (*test)(const Head&);
};

constexpr FileType kFileTypes[] = {
    {"mpeg", IsMpeg}, {"mp4", IsMp4},   {"rmvb", IsRmvb}, {"wmv", IsWmv}, {"avi", IsAvi},
    {"3gp", Is3gp},   {"mp3", IsMp3},   {"mid", IsMid},   {"wav", IsWav}, {"mov", IsMov},
    {"gif", IsGif},   {"bmp", IsBmp},   {"jpg", IsJpg},   {"png", IsPng}, {"ico", IsIco},
    {"heic", IsHeic}, {"m4a", IsM4a},   {"m4v", IsM4v},   {"caf", IsCaf}, {"opus", IsOpus},
    {"ogg", IsOgg},   {"webp", IsWebp}, {"amr", IsAmr},   {"aac", IsAac},
};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string_view IdentifyBytes(std::string_view firstBytes) {
  const Head head(firstBytes.substr(0, kIdentifyBytes));
  for (const FileType& type : kFileTypes) {
    if (type.test(head)) return type.extension;
  }
  return {};
}

std::optional<std::string> IdentifyFile(const std::filesystem::path& path, std::uint64_t& counter) {
  StoredFile file;
  if (file.Open(path) != 0) return std::nullopt;
  const std::string_view extension = file.Identify();
  if (extension.empty()) return std::nullopt;
  std::string name = std::to_string(counter) + "." + std::string(extension);
  ++counter;
  return name;
}

bool IsListedExtension(std::string_view list, std::string_view extension) {
  // Entries are "*.<ext>" joined by "|", and "*" only starts an entry: "*.<ext>" found in the
  // list and followed by "|" or the end is a whole entry.
  if (extension.find_first_of("*|") != std::string_view::npos) return false;
  std::string entry = "*.";
  entry.append(extension);
  for (std::size_t at = list.find(entry); at != std::string_view::npos;
       at = list.find(entry, at + 1)) {
    const std::size_t end = at + entry.size();
    if (end == list.size() || list[end] == '|') return true;
  }
  return false;
}

AppMediaKind ClassifyAppFile(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  std::string extension;
  if (dot != std::string_view::npos) {
    for (char c : fileName.substr(dot + 1)) extension.push_back(AsciiLower(c));
  }
  if (IsListedExtension(kPictureExtensions, extension)) return AppMediaKind::kPhoto;
  if (IsListedExtension(kVideoExtensions, extension) ||
      IsListedExtension(kAudioExtensions, extension)) {
    return AppMediaKind::kVideo;
  }
  return AppMediaKind::kPhoto;
}

}  // namespace kestrio
