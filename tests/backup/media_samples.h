// First bytes of real media files, padded to a length the identification reads, and a small
// backup folder to walk: manifest entries and their stored files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "backup/manifest.h"
#include "backup/media_files.h"

namespace kestrio::testing {

using namespace std::string_literals;
using namespace std::string_view_literals;

// `head` followed by filler bytes up to `size` (never shorter than `head`).
inline std::string Padded(std::string_view head, std::size_t size = 600, char filler = '\x00') {
  std::string bytes(head);
  if (bytes.size() < size) bytes.resize(size, filler);
  return bytes;
}

inline void PutLe16(std::string& bytes, std::size_t off, std::uint16_t value) {
  bytes.at(off) = static_cast<char>(value & 0xFF);
  bytes.at(off + 1) = static_cast<char>(value >> 8);
}

inline void PutLe32(std::string& bytes, std::size_t off, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(off + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// An icon file's header and directory: `sizes` images whose data follows the directory.
inline std::string IcoHead(const std::vector<std::uint32_t>& sizes) {
  std::string bytes("\x00\x00\x01\x00"sv);
  bytes.resize(6 + 16 * sizes.size());
  PutLe16(bytes, 4, static_cast<std::uint16_t>(sizes.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(bytes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::size_t entry = 6 + 16 * i;
    bytes[entry] = 16;              // width
    bytes[entry + 1] = 16;          // height
    PutLe16(bytes, entry + 4, 1);   // planes
    PutLe16(bytes, entry + 6, 32);  // bits per pixel
    PutLe32(bytes, entry + 8, sizes[i]);
    PutLe32(bytes, entry + 12, offset);
    offset += sizes[i];
  }
  return bytes;
}

// `count` ADTS frame headers (AAC LC, 44.1 kHz, stereo, no CRC) of `length` bytes each, the
// frames' contents zero.
inline std::string AdtsFrames(std::size_t length, int count) {
  std::string frame(length, '\0');
  frame[0] = '\xFF';
  frame[1] = '\xF1';
  frame[2] = '\x50';
  frame[3] = static_cast<char>(0x80 | ((length >> 11) & 0x03));
  frame[4] = static_cast<char>((length >> 3) & 0xFF);
  frame[5] = static_cast<char>(((length & 0x07) << 5) | 0x1F);
  frame[6] = '\xFC';
  std::string frames;
  for (int i = 0; i < count; ++i) frames += frame;
  return frames;
}

// The first bytes of one file of each kind, as the programs that write them lay them out.
struct Sample {
  std::string_view label;
  std::string head;
  std::string_view type;  // the extension identification gives
};

inline std::vector<Sample> Samples() {
  std::string bmp = "BM"s + std::string(12, '\0');
  PutLe32(bmp, 2, 600);  // file size
  PutLe32(bmp, 10, 54);  // pixel data offset
  bmp.resize(54, '\0');
  PutLe32(bmp, 14, 40);  // BITMAPINFOHEADER
  PutLe32(bmp, 18, 4);   // width
  PutLe32(bmp, 22, 4);   // height
  std::string bmpOs2 = bmp;
  bmpOs2[1] = 'A';
  return {
      // Program stream: pack header (MPEG-2, 14 bytes), then the system header.
      {"mpeg program stream",
       "\x00\x00\x01\xBA\x44\x00\x04\x00\x04\x01\x01\x89\xC3\xF8\x00\x00\x01\xBB\x00\x12"s, "mpeg"},
      // Elementary video: sequence header (12 bytes), then a group of pictures.
      {"mpeg video", "\x00\x00\x01\xB3\x16\x00\xF0\x13\xFF\xFF\xE0\x18\x00\x00\x01\xB8\x00\x08"s,
       "mpeg"},
      {"mp4 isom",
       "\x00\x00\x00\x20"
       "ftypisom\x00\x00\x02\x00isomiso2avc1mp41"s,
       "mp4"},
      {"mp4 mp42",
       "\x00\x00\x00\x1C"
       "ftypmp42\x00\x00\x00\x00mp42isom"s,
       "mp4"},
      {"rmvb", ".RMF\x00\x00\x00\x12\x00\x01\x00\x00\x00\x00\x00\x00\x00\x05PROP"s, "rmvb"},
      {"wmv",
       "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"
       "\x00\x10\x00\x00\x00\x00\x00\x00\x06\x00\x00\x00\x01\x02"s,
       "wmv"},
      {"avi",
       "RIFF\x00\x10\x00\x00"
       "AVI LIST\xC0\x00\x00\x00hdrlavih"s,
       "avi"},
      {"3gp",
       "\x00\x00\x00\x18"
       "ftyp3gp4\x00\x00\x02\x00isom3gp4"s,
       "3gp"},
      {"mp3", "ID3\x03\x00\x00\x00\x00\x0F\x76TIT2"s, "mp3"},
      {"mid", "MThd\x00\x00\x00\x06\x00\x01\x00\x02\x01\xE0MTrk\x00\x00\x00\x13"s, "mid"},
      {"wav", "RIFF\x24\x08\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"s, "wav"},
      {"mov moov atom", "moov\x00\x00\x00\x6Cmvhd\x00\x00\x00\x00"s, "mov"},
      {"mov ftyp qt",
       "\x00\x00\x00\x14"
       "ftypqt  \x00\x00\x02\x00qt  "s,
       "mov"},
      {"gif", "GIF89a\x10\x00\x10\x00\x80\x00\x00"s, "gif"},
      {"bmp", bmp, "bmp"},
      {"bmp os2 array", bmpOs2, "bmp"},
      {"jpg jfif", "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x48\x00\x48\x00\x00"s, "jpg"},
      {"jpg exif",
       "\xFF\xD8\xFF\xE1\x1C\x45"
       "Exif\x00\x00MM\x00\x2A\x00\x00\x00\x08"s,
       "jpg"},
      {"png", "\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR\x00\x00\x00\x10"s, "png"},
      {"ico", IcoHead({40, 100}), "ico"},
      {"heic",
       "\x00\x00\x00\x18"
       "ftypheic\x00\x00\x00\x00mif1heic"s,
       "heic"},
      {"mp4 mp41",
       "\x00\x00\x00\x18"
       "ftypmp41\x00\x00\x00\x00mp41isom"s,
       "mp4"},
      {"mp4 avc1",
       "\x00\x00\x00\x18"
       "ftypavc1\x00\x00\x00\x00"
       "avc1isom"s,
       "mp4"},
      {"mp4 dash",
       "\x00\x00\x00\x18"
       "ftypdash\x00\x00\x00\x00iso6dash"s,
       "mp4"},
      {"m4a",
       "\x00\x00\x00\x1C"
       "ftypM4A \x00\x00\x00\x00M4A mp42isom"s,
       "m4a"},
      {"m4b audio book",
       "\x00\x00\x00\x1C"
       "ftypM4B \x00\x00\x00\x00M4B mp42isom"s,
       "m4a"},
      {"m4v",
       "\x00\x00\x00\x1C"
       "ftypM4V \x00\x00\x00\x01M4V M4A mp42"s,
       "m4v"},
      // CAF: file header, then the audio description chunk (size 32, 44.1 kHz, "aac ").
      {"caf",
       "caff\x00\x01\x00\x00"
       "desc\x00\x00\x00\x00\x00\x00\x00\x20\x40\xE5\x88\x80\x00\x00\x00\x00"
       "aac "s,
       "caf"},
      // An Ogg page: version 0, beginning of stream, granule 0, serial, sequence 0, CRC, one
      // segment of 19 bytes, the Opus identification header.
      {"opus",
       "OggS\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x53\x54\x45\x4B\x00\x00\x00\x00"
       "\x9A\x3B\x11\x7C\x01\x13OpusHead\x01\x01\x38\x01\x80\xBB\x00\x00\x00\x00\x00"s,
       "opus"},
      {"ogg vorbis",
       "OggS\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x53\x54\x45\x4B\x00\x00\x00\x00"
       "\x11\x22\x33\x44\x01\x1E\x01vorbis\x00\x00\x00\x00\x02\x44\xAC\x00\x00"s,
       "ogg"},
      {"webp lossless", "RIFF\x00\x10\x00\x00WEBPVP8L\xF4\x0F\x00\x00\x2F\xFF\x7F\xFC\x07"s,
       "webp"},
      {"webp extended", "RIFF\x00\x10\x00\x00WEBPVP8X\x0A\x00\x00\x00\x10\x00\x00\x00"s, "webp"},
      {"amr", "#!AMR\n\x3C"s, "amr"},
      {"amr wideband", "#!AMR-WB\n\x44"s, "amr"},
      // Two ADTS frames of 32 bytes: MPEG-4, no CRC, AAC LC, 44.1 kHz, stereo.
      {"aac adts", AdtsFrames(32, 2), "aac"},
  };
}

inline std::string SampleOf(std::string_view type, std::size_t size = 600) {
  for (const Sample& sample : Samples()) {
    if (sample.type == type) return Padded(sample.head, size);
  }
  throw std::invalid_argument("no sample of type " + std::string(type));
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Manifest entries with their stored files in a backup folder of one layout.
class SmallBackup {
 public:
  SmallBackup(std::filesystem::path folder, StoreLayout layout)
      : folder_(std::move(folder)), layout_(layout) {}

  // An entry whose stored file holds `bytes`; returns the stored file's path.
  std::filesystem::path Add(const std::string& key, std::string_view bytes) {
    entries_.push_back({key, StoredName(key)});
    const std::filesystem::path path = StoredPath(folder_, entries_.back().storedName, layout_);
    WriteFile(path, bytes);
    return path;
  }
  // An entry without a stored file.
  void AddMissing(const std::string& key) { entries_.push_back({key, StoredName(key)}); }
  // An entry as a hostile index may give it.
  void AddRaw(const std::string& key, const std::string& storedName) {
    entries_.push_back({key, storedName});
  }

  MediaSource Source() const { return {&entries_, folder_, layout_}; }
  const std::vector<ManifestEntry>& entries() const { return entries_; }

 private:
  std::filesystem::path folder_;
  StoreLayout layout_;
  std::vector<ManifestEntry> entries_;
};

}  // namespace kestrio::testing
