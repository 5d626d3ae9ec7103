#include <sys/stat.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "backup/media_files.h"
#include "tests/backup/media_samples.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using testing::IcoHead;
using testing::Padded;
using testing::PutLe32;
using testing::SampleOf;
using testing::Samples;
using testing::WriteFile;

TEST(MediaIdentify, EveryKindByItsFirstBytes) {
  fixtures::TempDir dir;
  std::uint64_t counter = 0;
  for (const testing::Sample& sample : Samples()) {
    const std::string bytes = Padded(sample.head);
    EXPECT_EQ(IdentifyBytes(bytes), sample.type) << sample.label;
    // The same bytes in a file: the name counts up and carries the type's extension.
    const std::filesystem::path path = dir / std::string(sample.label);
    WriteFile(path, bytes);
    const std::uint64_t before = counter;
    const std::optional<std::string> name = IdentifyFile(path, counter);
    ASSERT_TRUE(name.has_value()) << sample.label;
    EXPECT_EQ(*name, std::to_string(before) + "." + std::string(sample.type));
    EXPECT_EQ(counter, before + 1);
  }
}

TEST(MediaIdentify, TheFirstTestOfTheTableThatHoldsDecides) {
  // A "moov" atom start that also carries an ISO or 3GPP file-type box is taken by the
  // earlier mp4 and 3gp tests.
  EXPECT_EQ(IdentifyBytes(Padded("moovftypisom"sv)), "mp4");
  EXPECT_EQ(IdentifyBytes(Padded("moovftyp3gp5"sv)), "3gp");
  // mov comes before the HEIF brands.
  EXPECT_EQ(IdentifyBytes(Padded("moovftypheic"sv)), "mov");
}

TEST(MediaIdentify, EveryHeifBrandIsAPhotoAndOthersAreNot) {
  for (std::string_view brand : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"}) {
    EXPECT_EQ(IdentifyBytes(Padded("\x00\x00\x00\x18"
                                   "ftyp"s +
                                   std::string(brand))),
              "heic")
        << brand;
  }
  EXPECT_EQ(IdentifyBytes(Padded("\x00\x00\x00\x18"
                                 "ftypavif"s)),
            "");
  // The brand must be the major brand at 8, not one of the compatible brands after it.
  EXPECT_EQ(IdentifyBytes(Padded("\x00\x00\x00\x18"
                                 "ftypavif\x00\x00\x00\x00heic"s)),
            "");
}

TEST(MediaIdentify, TheAudioOfTodaysPhonesAndItsNearMisses) {
  const std::string opus = SampleOf("opus");
  const std::string vorbis = SampleOf("ogg");
  std::string laterPage = opus;
  laterPage[5] = 0x00;  // not the first page of its stream
  std::string oggVersion = opus;
  oggVersion[4] = 0x01;
  std::string twoSegments = opus;
  twoSegments[26] = 0x02;  // the packet starts a byte later: no "OpusHead" there
  const std::string caf = SampleOf("caf");
  std::string cafVersion = caf;
  cafVersion[5] = 0x02;
  std::string cafData = caf;
  cafData.replace(8, 4, "data");  // the description chunk must come first
  const std::string adts = testing::AdtsFrames(32, 2);
  std::string layer = adts;
  layer[1] = '\xF3';  // layer bits 01: an MPEG audio frame, not ADTS
  std::string rate = adts;
  rate[2] = '\x74';  // sampling frequency index 13
  std::string brokenChain = adts;
  brokenChain[32] = '\x00';  // no second frame where the first ends
  std::string tiny = testing::AdtsFrames(6, 1);
  const std::pair<std::string_view, std::pair<std::string, std::string_view>> cases[] = {
      {"opus", {opus, "opus"}},
      {"vorbis", {vorbis, "ogg"}},
      {"later page", {laterPage, ""}},
      {"ogg version 1", {oggVersion, ""}},
      {"opus head elsewhere", {twoSegments, "ogg"}},
      // Cut before the segment table ends, or before its first packet starts.
      {"ogg cut in its header", {opus.substr(0, 27), ""}},
      {"ogg cut before its packet", {opus.substr(0, 28), ""}},
      {"ogg cut in its packet's head", {opus.substr(0, 35), ""}},
      {"ogg cut after its packet's head", {opus.substr(0, 36), "opus"}},
      {"caf", {caf, "caf"}},
      {"caf version 2", {cafVersion, ""}},
      {"caf without desc first", {cafData, ""}},
      {"amr without its line feed", {Padded("#!AMR-NB"sv), ""}},
      {"aac", {Padded(adts), "aac"}},
      {"mpeg audio frame", {Padded(layer), ""}},
      {"aac rate index 13", {Padded(rate), ""}},
      {"aac chain broken", {Padded(brokenChain), ""}},
      {"aac frame shorter than its header", {Padded(tiny), ""}},
      // The first frame runs past the bytes given: nothing to check it against.
      {"aac one long frame", {testing::AdtsFrames(4000, 1).substr(0, 512), "aac"}},
      {"aac cut in its header", {adts.substr(0, 5), ""}},
  };
  for (const auto& [label, expected] : cases)
    EXPECT_EQ(IdentifyBytes(expected.first), expected.second) << label;
}

TEST(MediaIdentify, IsoBrandsOfAudioVideoAndPictures) {
  auto ftyp = [](std::string_view brand) {
    return Padded(
        "\x00\x00\x00\x18"
        "ftyp"s +
        std::string(brand));
  };
  EXPECT_EQ(IdentifyBytes(ftyp("M4A ")), "m4a");
  EXPECT_EQ(IdentifyBytes(ftyp("M4B ")), "m4a");
  EXPECT_EQ(IdentifyBytes(ftyp("M4V ")), "m4v");
  EXPECT_EQ(IdentifyBytes(ftyp("M4P ")), "") << "protected audio is not listed";
  EXPECT_EQ(IdentifyBytes(ftyp("m4a ")), "") << "brands are compared by case";
  EXPECT_EQ(IdentifyBytes(ftyp("avc1")), "mp4");
  EXPECT_EQ(IdentifyBytes(ftyp("avc2")), "");
  // The mp4 test wants 32 bytes, the audio and video brands 16.
  EXPECT_EQ(IdentifyBytes(ftyp("dash").substr(0, 31)), "");
  EXPECT_EQ(IdentifyBytes(ftyp("M4A ").substr(0, 16)), "m4a");
  EXPECT_EQ(IdentifyBytes(ftyp("M4A ").substr(0, 15)), "");
  // RIFF forms: WebP wants one of its bitstream chunks first.
  EXPECT_EQ(IdentifyBytes(Padded("RIFF\x00\x10\x00\x00WEBPVP8 "sv)), "webp");
  EXPECT_EQ(IdentifyBytes(Padded("RIFF\x00\x10\x00\x00WEBPALPH"sv)), "");
  EXPECT_EQ(IdentifyBytes(Padded("RIFF\x00\x10\x00\x00WEBPVP8 "sv).substr(0, 15)), "");
}

TEST(MediaIdentify, MpegWantsItsSecondStartCodeWithinThe32FirstBytes) {
  std::string head = Padded("\x00\x00\x01\xBA"sv, 600, '\x11');
  head.replace(28, 4, "\x00\x00\x01\xBB"sv);  // ends at byte 32
  EXPECT_EQ(IdentifyBytes(head), "mpeg");
  head.replace(28, 4, "\x11\x00\x00\x01"sv);
  head[32] = '\xBB';  // one byte too far
  EXPECT_EQ(IdentifyBytes(head), "");
  // The pairs do not mix: a pack header with a group-of-pictures code is not mpeg.
  EXPECT_EQ(IdentifyBytes(Padded("\x00\x00\x01\xBA\x44\x00\x00\x01\xB8"sv)), "");
  EXPECT_EQ(IdentifyBytes(Padded("\x00\x00\x01\xB3\x16\x00\x00\x01\xBB"sv)), "");
  // Both codes complete within 16 bytes: still too short below 16.
  const std::string tight = Padded("\x00\x00\x01\xB3\x00\x00\x01\xB8"sv, 16);
  EXPECT_EQ(IdentifyBytes(tight), "mpeg");
  EXPECT_EQ(IdentifyBytes(std::string_view(tight).substr(0, 15)), "");
}

TEST(MediaIdentify, NearMissesAreNotIdentified) {
  std::string bmpCore = Padded("BM"sv, 600);
  PutLe32(bmpCore, 14, 12);  // BITMAPCOREHEADER, not the 40-byte header
  std::string bmpReserved = Padded("BM"sv, 600);
  PutLe32(bmpReserved, 14, 40);
  bmpReserved[7] = 1;
  const std::pair<std::string_view, std::string> cases[] = {
      {"gif with an upper-case letter", Padded("GIF89A"sv)},
      {"bmp core header", bmpCore},
      {"bmp reserved bytes", bmpReserved},
      {"jfif marker in an APP1 segment", Padded("\xFF\xD8\xFF\xE1\x00\x10JFIF"sv)},
      {"exif marker in an APP0 segment", Padded("\xFF\xD8\xFF\xE0\x00\x10"
                                                "Exif"sv)},
      {"id3 flags with low bits", Padded("ID3\x03\x00\x1F\x00\x00\x0F\x76"sv)},
      {"id3 size not synchsafe", Padded("ID3\x03\x00\x00\x00\x80\x0F\x76"sv)},
      {"riff wave without fmt first", Padded("RIFF\x24\x08\x00\x00WAVEdata"sv)},
      {"riff avi without list first", Padded("RIFF\x24\x08\x00\x00"
                                             "AVI JUNK"sv)},
      {"midi header of another length",
       Padded("MThd\x00\x00\x00\x07\x00\x01\x00\x02\x01\xE0MTrk"sv)},
  };
  for (const auto& [label, bytes] : cases) EXPECT_EQ(IdentifyBytes(bytes), "") << label;
}

TEST(MediaIdentify, IconDirectoryMustChainItsImages) {
  EXPECT_EQ(IdentifyBytes(Padded(IcoHead({1128}))), "ico");
  EXPECT_EQ(IdentifyBytes(Padded(IcoHead({40, 100, 7}))), "ico");

  std::string reserved = IcoHead({40, 100});
  reserved[6 + 16 + 3] = 1;  // second entry's reserved byte
  EXPECT_EQ(IdentifyBytes(Padded(reserved)), "");

  std::string gap = IcoHead({40, 100});
  PutLe32(gap, 6 + 16 + 12, 38 + 41);  // second image not where the first ends
  EXPECT_EQ(IdentifyBytes(Padded(gap)), "");

  std::string none = IcoHead({40});
  none[4] = 0;  // no images
  EXPECT_EQ(IdentifyBytes(Padded(none)), "");

  // 31 entries end the directory at 502 bytes, within the 512 read; 32 end it at 518.
  EXPECT_EQ(IdentifyBytes(Padded(IcoHead(std::vector<std::uint32_t>(31, 10)))), "ico");
  std::string tooMany = Padded(IcoHead(std::vector<std::uint32_t>(32, 10)));
  EXPECT_EQ(IdentifyBytes(tooMany), "");
  // A count far beyond the bytes is answered without reading past them.
  std::string huge = Padded(IcoHead({40}));
  huge[4] = '\xFF';
  huge[5] = '\xFF';
  EXPECT_EQ(IdentifyBytes(huge), "");

  // Sizes whose sum wraps around 32 bits do not chain to a small offset.
  std::string wrap = IcoHead({0xFFFFFFFFu, 10});
  PutLe32(wrap, 6 + 16 + 12, 38 - 1);
  EXPECT_EQ(IdentifyBytes(Padded(wrap)), "");
}

TEST(MediaIdentify, ShortInputsNeedTheBytesEachTestNames) {
  // Each type's shortest accepted length, and one byte less.
  const std::pair<std::string_view, std::size_t> floors[] = {
      {"mpeg", 18}, {"mp4", 32},  {"rmvb", 4}, {"wmv", 24},  {"avi", 16}, {"3gp", 32},
      {"mp3", 10},  {"mid", 18},  {"wav", 16}, {"mov", 16},  {"gif", 8},  {"bmp", 40},
      {"jpg", 16},  {"png", 8},   {"ico", 38}, {"heic", 16}, {"m4a", 16}, {"m4v", 16},
      {"caf", 12},  {"opus", 36}, {"ogg", 36}, {"webp", 16}, {"amr", 6},  {"aac", 6},
  };
  for (const auto& [type, floor] : floors) {
    const std::string bytes = testing::SampleOf(type);
    EXPECT_EQ(IdentifyBytes(std::string_view(bytes).substr(0, floor)), type) << type;
    EXPECT_EQ(IdentifyBytes(std::string_view(bytes).substr(0, floor - 1)), "") << type;
  }
  // Every prefix of every sample is read within its end (the sanitizers watch this).
  for (const testing::Sample& sample : Samples()) {
    const std::string bytes = Padded(sample.head, 64);
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
      const std::string copy = bytes.substr(0, n);  // its own allocation, exactly n bytes
      const std::string_view type = IdentifyBytes(copy);
      EXPECT_TRUE(type.empty() || type == sample.type) << sample.label << " " << n;
    }
  }
  // Only the first 512 bytes count.
  EXPECT_EQ(IdentifyBytes(std::string(512, '\0') + "\x89PNG\r\n\x1A\n"), "");
}

TEST(MediaIdentify, FileNeeds512ReadableBytesOfARegularFile) {
  fixtures::TempDir dir;
  const std::string png = testing::SampleOf("png", 512);
  WriteFile(dir / "short", png.substr(0, 511));
  WriteFile(dir / "exact", png);
  WriteFile(dir / "text", std::string(4096, 'a'));
  std::filesystem::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

  std::uint64_t counter = 7;
  EXPECT_EQ(IdentifyFile(dir / "short", counter), std::nullopt);
  EXPECT_EQ(IdentifyFile(dir / "missing", counter), std::nullopt);
  EXPECT_EQ(IdentifyFile(dir / "text", counter), std::nullopt);
  EXPECT_EQ(IdentifyFile(dir / "folder", counter), std::nullopt);
  EXPECT_EQ(IdentifyFile(dir / "fifo", counter), std::nullopt);  // returns, no writer needed
  EXPECT_EQ(IdentifyFile("", counter), std::nullopt);
  EXPECT_EQ(counter, 7u);
  EXPECT_EQ(IdentifyFile(dir / "exact", counter), "7.png");
  EXPECT_EQ(counter, 8u);
}

TEST(MediaExtensions, ListsAreMatchedByWholeEntries) {
  EXPECT_TRUE(IsListedExtension(kVideoExtensions, "rm"));
  EXPECT_TRUE(IsListedExtension(kVideoExtensions, "rmvb"));
  EXPECT_TRUE(IsListedExtension(kVideoExtensions, "lrv"));  // the last entry
  EXPECT_TRUE(IsListedExtension(kAudioExtensions, "mid"));
  EXPECT_TRUE(IsListedExtension(kPictureExtensions, "heic"));
  EXPECT_TRUE(IsListedExtension(kPictureExtensions, "bmp"));  // the first entry
  EXPECT_FALSE(IsListedExtension(kVideoExtensions, "rmv"));
  EXPECT_FALSE(IsListedExtension(kVideoExtensions, "peg"));
  EXPECT_FALSE(IsListedExtension(kPictureExtensions, "mpeg"));  // "*.jpeg" is no "*.mpeg"
  EXPECT_FALSE(IsListedExtension(kPictureExtensions, ""));
  EXPECT_FALSE(IsListedExtension(kPictureExtensions, "JPG"));
  EXPECT_FALSE(IsListedExtension(kPictureExtensions, "jpg|*.png"));
  EXPECT_FALSE(IsListedExtension(kPictureExtensions, "*"));
  // Every identified type has a list, so a preview always has a place to go.
  for (const testing::Sample& sample : Samples()) {
    EXPECT_TRUE(IsListedExtension(kPictureExtensions, sample.type) ||
                IsListedExtension(kAudioExtensions, sample.type) ||
                IsListedExtension(kVideoExtensions, sample.type))
        << sample.type;
  }
}

TEST(MediaClassify, AppFilesSplitIntoPhotosAndVideosByExtension) {
  for (std::string_view name : {"clip.MOV", "song.m4a", "trip.lrv", "beep.snd", "movie.rm",
                                "a.b.MP4", "voice.AMR", "x.rmvb"}) {
    EXPECT_EQ(ClassifyAppFile(name), AppMediaKind::kVideo) << name;
  }
  for (std::string_view name : {"photo.JPG", "data.bin", "README", "trailing.", "shot.HEIC", "",
                                "dir.mov/file", "odd.v", "odd.peg"}) {
    EXPECT_EQ(ClassifyAppFile(name), AppMediaKind::kPhoto) << name;
  }
}

}  // namespace
}  // namespace kestrio
