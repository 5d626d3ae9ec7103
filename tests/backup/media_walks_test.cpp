#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup/media_files.h"
#include "base/text.h"
#include "tests/backup/media_samples.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

using namespace std::string_literals;
using testing::Padded;
using testing::SampleOf;
using testing::SmallBackup;

// Records every reported percent and answers "stop" at one chosen report (1-based).
struct Recorder {
  std::vector<std::int32_t> seen;
  std::size_t stopAt = 0;

  ProgressSink Sink(std::int32_t base, std::int32_t step) {
    return {[this](std::int32_t percent) {
              seen.push_back(percent);
              return seen.size() == stopAt ? kResultStopped : kResultOk;
            },
            base, step};
  }
};

template <typename Record>
std::vector<std::string> Names(const std::vector<Record>& records) {
  std::vector<std::string> names;
  for (const Record& record : records) names.push_back(record.name);
  return names;
}

std::vector<std::string> Apps(const std::vector<AppFileRecord>& records) {
  std::vector<std::string> apps;
  for (const AppFileRecord& record : records) apps.push_back(record.app);
  return apps;
}

using Texts = std::vector<std::string>;

class CollectedFindings : public FindingsSink {
 public:
  void Report(Finding finding) override { findings.push_back(std::move(finding)); }
  std::vector<Finding> findings;
};
using Percents = std::vector<std::int32_t>;

// ---------------------------------------------------------------------------------------------
// Camera Roll and Photo Stream

class MediaPhotos : public ::testing::Test {
 protected:
  // Eight entries: two Camera Roll files listed, one too short, one unidentified, one missing
  // (not reported), two Photo Stream files, and one entry of another domain.
  void Build(SmallBackup& backup) {
    // A QuickTime movie by its file-type box.
    movPath = backup.Add("CameraRollDomain-Media/DCIM/100APPLE/IMG_0005.MOV",
                         Padded("\0\0\0\x14"
                                "ftypqt  \0\0\0\0qt  "s,
                                700));
    backup.AddMissing("HomeDomain-Library/SMS/sms.db");
    jpgPath = backup.Add("CameraRollDomain-Media/DCIM/100APPLE/img_0002.JPG", SampleOf("jpg"));
    backup.Add("CameraRollDomain-Media/DCIM/100APPLE/IMG_0004.PNG", SampleOf("png", 400));
    backup.AddMissing("CameraRollDomain-Media/DCIM/100APPLE/IMG_0001.HEIC");
    backup.Add("MediaDomain-Media/PhotoStreamsData/1/100APPLE/b.JPG", SampleOf("jpg", 800));
    backup.Add("MediaDomain-Media/PhotoStreamsData/1/100APPLE/A.gif", SampleOf("gif", 512));
    backup.Add("CameraRollDomain-Media/DCIM/100APPLE/IMG_0003.TXT", std::string(600, 'x'));
  }

  fixtures::TempDir dir;
  std::filesystem::path movPath, jpgPath;
  std::vector<FileRecord> cameraRoll{{.size = 1, .name = "stale", .path = "/stale"}},
      photoStream{{.size = 1, .name = "stale", .path = "/s"}};
};

TEST_F(MediaPhotos, ListsIdentifiedFilesOfBothDomainsSortedWithProgress) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  Build(backup);
  Recorder recorder;
  ProgressSink progress = recorder.Sink(10, 20);

  EXPECT_EQ(ScanPhotos(backup.Source(), progress, cameraRoll, photoStream), kResultOk);

  // The QuickTime file keeps its own name; the 400-byte PNG and the text file are left out.
  EXPECT_EQ(Names(cameraRoll), (Texts{"img_0002.JPG", "IMG_0005.MOV"}));
  EXPECT_EQ(cameraRoll[0].size, 600u);
  EXPECT_EQ(cameraRoll[0].path, jpgPath);
  EXPECT_EQ(cameraRoll[1].size, 700u);
  EXPECT_EQ(cameraRoll[1].path, movPath);
  EXPECT_EQ(Names(photoStream), (Texts{"A.gif", "b.JPG"}));
  EXPECT_EQ(photoStream[0].size, 512u);
  // Seven entries reported (the missing one is not), 2 × step spread over eight entries,
  // then the base moved on by 2 × step.
  EXPECT_EQ(recorder.seen, (Percents{15, 20, 25, 30, 35, 40, 45, 50}));
  EXPECT_EQ(progress.base, 50);
}

TEST_F(MediaPhotos, StopKeepsWhatWasFoundSorted) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  Build(backup);
  Recorder recorder;
  recorder.stopAt = 3;
  ProgressSink progress = recorder.Sink(10, 20);

  EXPECT_EQ(ScanPhotos(backup.Source(), progress, cameraRoll, photoStream), kResultStopped);
  EXPECT_EQ(Names(cameraRoll), (Texts{"img_0002.JPG", "IMG_0005.MOV"}));
  EXPECT_TRUE(photoStream.empty());
  EXPECT_EQ(recorder.seen, (Percents{15, 20, 25}));
  EXPECT_EQ(progress.base, 10);
}

TEST_F(MediaPhotos, FlatLayoutHostileRowsAndStableOrder) {
  SmallBackup backup(dir.path(), StoreLayout::kFlat);
  const auto first = backup.Add("CameraRollDomain-Media/DCIM/x.jpg", SampleOf("png"));
  backup.Add("CameraRollDomain-Media/DCIM/a.png", SampleOf("png"));
  const auto second = backup.Add("CameraRollDomain-Media/DCIM/sub/X.JPG", SampleOf("jpg"));
  backup.Add(
      "MediaDomain-Media/PhotoStreamsData/9/\xFF\xFE"
      "bad.jpg",
      SampleOf("jpg"));
  // Rows that must not lead anywhere: no stored name, a path, a folder in the file's place.
  backup.AddRaw("CameraRollDomain-Media/DCIM/evil.jpg", "../../../../etc/passwd");
  backup.AddRaw("CameraRollDomain-Media/DCIM/empty.jpg", "");
  const std::string folderKey = "CameraRollDomain-Media/DCIM/folder.jpg";
  std::filesystem::create_directories(dir.path() / StoredName(folderKey));
  backup.AddRaw(folderKey, StoredName(folderKey));
  // A FIFO where a file should be: the walk must not wait for a writer.
  const std::string fifoKey = "CameraRollDomain-Media/DCIM/fifo.jpg";
  ASSERT_EQ(::mkfifo((dir.path() / StoredName(fifoKey)).c_str(), 0600), 0);
  backup.AddRaw(fifoKey, StoredName(fifoKey));

  Recorder recorder;
  ProgressSink progress = recorder.Sink(0, 50);
  EXPECT_EQ(ScanPhotos(backup.Source(), progress, cameraRoll, photoStream), kResultOk);

  // Equal names without regard to case keep the index order.
  ASSERT_EQ(Names(cameraRoll), (Texts{"a.png", "x.jpg", "X.JPG"}));
  EXPECT_EQ(cameraRoll[1].path, first);
  EXPECT_EQ(cameraRoll[2].path, second);
  EXPECT_EQ(first.parent_path(), dir.path());
  ASSERT_EQ(photoStream.size(), 1u);
  EXPECT_TRUE(IsValidUtf8(photoStream[0].name));
  EXPECT_TRUE(photoStream[0].name.ends_with("bad.jpg"));
  // Rows without a stored file are not reported; the folder and the FIFO are.
  EXPECT_EQ(recorder.seen, (Percents{12, 25, 37, 50, 62, 75, 100}));
}

TEST(MediaWalks, NoEntriesOnlyMoveTheBase) {
  std::vector<ManifestEntry> none;
  Recorder recorder;
  ProgressSink progress = recorder.Sink(5, 7);
  std::vector<FileRecord> a, b;
  EXPECT_EQ(ScanPhotos({&none, "/nonexistent", StoreLayout::kFlat}, progress, a, b), kResultOk);
  std::vector<AttachmentFileRecord> attachments;
  EXPECT_EQ(ScanMessageAttachments({nullptr, "", StoreLayout::kFlat}, progress, attachments),
            kResultOk);
  EXPECT_EQ(recorder.seen, (Percents{19, 26}));
  EXPECT_EQ(progress.base, 26);
}

// ---------------------------------------------------------------------------------------------
// Message attachments

class MediaAttachments : public ::testing::Test {
 protected:
  void Build(SmallBackup& backup) {
    backup.Add("MediaDomain-Library/SMS/Attachments/cd/02/voice", SampleOf("mid"));
    backup.Add("MediaDomain-Library/SMS/Attachments/ab/01/IMG_1234.jpeg", SampleOf("png", 900));
    backup.AddMissing("MediaDomain-Library/SMS/Attachments/ef/03/missing.jpg");
    backup.Add("HomeDomain-Library/SMS/sms.db", Padded("SQLite format 3"));
    backup.Add("MediaDomain-Library/SMS/Attachments/gh/04/clip.tar.mov", SampleOf("mp4"));
    backup.Add("MediaDomain-Library/SMS/Attachments/ij/05/notes.txt", std::string(600, 'n'));
  }

  fixtures::TempDir dir;
  std::vector<AttachmentFileRecord> attachments{{0, 1, "stale", "/stale"}};
};

TEST_F(MediaAttachments, NamesCarryTheRealTypeInUpperCase) {
  SmallBackup backup(dir.path(), StoreLayout::kFlat);
  Build(backup);
  Recorder recorder;
  ProgressSink progress = recorder.Sink(30, 10);

  EXPECT_EQ(ScanMessageAttachments(backup.Source(), progress, attachments), kResultOk);
  // A PNG sent as .jpeg, a MIDI file without extension, an MPEG-4 file named .mov.
  ASSERT_EQ(Names(attachments), (Texts{"clip.tar.MP4", "IMG_1234.PNG", "voice.MID"}));
  EXPECT_EQ(attachments[1].size, 900u);
  EXPECT_EQ(attachments[1].reserved, 0u);
  // Five reports over six entries (step × (i + 1) / 6), then base + step.
  EXPECT_EQ(recorder.seen, (Percents{31, 33, 35, 36, 38, 40}));
  EXPECT_EQ(progress.base, 40);
}

TEST_F(MediaAttachments, StopKeepsWhatWasFoundSorted) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  Build(backup);
  Recorder recorder;
  recorder.stopAt = 2;
  ProgressSink progress = recorder.Sink(30, 10);
  EXPECT_EQ(ScanMessageAttachments(backup.Source(), progress, attachments), kResultStopped);
  EXPECT_EQ(Names(attachments), (Texts{"IMG_1234.PNG", "voice.MID"}));
  EXPECT_EQ(progress.base, 30);
}

// ---------------------------------------------------------------------------------------------
// App files, local backup

class MediaAppFiles : public ::testing::Test {
 protected:
  fixtures::TempDir dir;
  std::vector<AppFileRecord> appFiles{{1, "stale", "stale", "/stale"}};
  std::vector<FileRecord> whatsApp{{.size = 1, .name = "stale", .path = "/stale"}};
};

TEST_F(MediaAppFiles, LocalWalkNamesAppsAndRoutesWhatsApp) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  backup.Add("AppDomain-com.example.Notes-Documents/scan.png", SampleOf("png"));
  backup.Add("AppDomain-org.example.App-Documents/a.png", SampleOf("jpg"));
  const auto chatPhoto =
      backup.Add("AppDomain-net.whatsapp.WhatsApp-Library/Media/chat/photo.jpg", SampleOf("jpg"));
  backup.Add("AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite",
             Padded("SQLite format 3"));
  backup.Add("AppDomainGroup-group.com.example.share-x.png", SampleOf("png"));
  backup.Add("AppDomain-org.example.Web-Library/Caches/www.example.com.gif", SampleOf("gif"));
  backup.Add("AppDomain-net.example.Radio-Documents/b.mp3", SampleOf("mp3"));
  backup.Add("AppDomain-com.Example.Notes-Documents/A.bmp", SampleOf("bmp"));
  backup.AddMissing("AppDomain-com.example.Notes-Documents/missing.png");
  backup.Add("CameraRollDomain-Media/DCIM/x.jpg", SampleOf("jpg"));
  Recorder recorder;
  ProgressSink progress = recorder.Sink(50, 10);

  EXPECT_EQ(ScanAppFiles(backup.Source(), progress, AppWalkKind::kLocalBackup, appFiles, whatsApp),
            kResultOk);
  // Sorted by app without regard to case, index order kept among equal apps. A "com." with no
  // "-" after it names no app; "org." names none either; the group of no app of the backup is
  // named by its identifier.
  EXPECT_EQ(Apps(appFiles), (Texts{"example.Notes", "Example.Notes", "example.Radio",
                                   "example.share", "other", "other"}));
  // A file at the container's top has no "/" in its key: its name is the whole key.
  EXPECT_EQ(Names(appFiles),
            (Texts{"scan.PNG", "A.BMP", "b.MP3", "AppDomainGroup-group.com.example.share-x.PNG",
                   "a.JPG", "www.example.com.GIF"}));
  ASSERT_EQ(Names(whatsApp), (Texts{"photo.JPG"}));
  EXPECT_EQ(whatsApp[0].path, chatPhoto);
  EXPECT_EQ(whatsApp[0].size, 600u);
  // Every entry reported, 2 × step spread over ten entries, but the base moves by one step.
  EXPECT_EQ(recorder.seen, (Percents{52, 54, 56, 58, 60, 62, 64, 66, 68, 70, 60}));
  EXPECT_EQ(progress.base, 60);

  // Stopped at the third entry: the WhatsApp photo is already moved, both lists sorted.
  recorder = {};
  recorder.stopAt = 3;
  progress = recorder.Sink(50, 10);
  EXPECT_EQ(ScanAppFiles(backup.Source(), progress, AppWalkKind::kLocalBackup, appFiles, whatsApp),
            kResultStopped);
  EXPECT_EQ(Apps(appFiles), (Texts{"example.Notes", "other"}));
  EXPECT_EQ(Names(whatsApp), (Texts{"photo.JPG"}));
  EXPECT_EQ(progress.base, 50);
}

TEST_F(MediaAppFiles, DeviceWalkTakesTheTypeFromTheKeyWhenItHasOne) {
  SmallBackup backup(dir.path(), StoreLayout::kFlat);
  // A listed extension in the key is enough: 100 bytes of no known type.
  backup.Add("AppDomainGroup-group.com.example.share-Library/x.png", std::string(100, 't'));
  // The key's extension is compared as it is: upper case is not in the lists.
  backup.Add("AppDomain-com.example.Notes-Documents/IMG.JPG", SampleOf("jpg"));
  backup.Add("AppDomain-com.example.Notes-Documents/data.xyz", SampleOf("png"));
  // Text after the last "." longer than 30 characters: identified from the bytes.
  backup.Add("AppDomainPlugin-com.example.Notes.widget-Library/Caches/a-long-folder-name/thumbnail",
             SampleOf("gif"));
  backup.Add("AppDomain-com.example.Notes-Documents/empty.png", "");
  backup.Add("AppDomain-net.whatsapp.WhatsApp-Media/voice.mp3", SampleOf("mp3"));
  backup.Add("AppDomain-com.solo/Documents/pic.png", SampleOf("png"));
  backup.AddMissing("AppDomain-com.example.Notes-Documents/missing.png");
  const std::string folderKey = "AppDomain-com.example.Notes-Documents/folder.png";
  std::filesystem::create_directories(dir.path() / StoredName(folderKey));
  backup.AddRaw(folderKey, StoredName(folderKey));
  Recorder recorder;
  ProgressSink progress = recorder.Sink(0, 10);

  EXPECT_EQ(ScanAppFiles(backup.Source(), progress, AppWalkKind::kDeviceBackup, appFiles, whatsApp),
            kResultOk);
  // The plug-in is com.example.Notes's, whose own files are in the backup.
  EXPECT_EQ(Apps(appFiles), (Texts{"example.Notes", "example.share", "solo/Documents/pic.png",
                                   "whatsapp.WhatsApp"}));
  EXPECT_EQ(Names(appFiles), (Texts{"thumbnail.GIF", "x.PNG", "pic.PNG", "voice.MP3"}));
  EXPECT_EQ(appFiles[1].size, 100u);
  // The WhatsApp list belongs to the device's own WhatsApp walk.
  EXPECT_EQ(Names(whatsApp), (Texts{"stale"}));
  EXPECT_EQ(recorder.seen, (Percents{2, 4, 6, 8, 11, 13, 15, 17, 20, 10}));
  EXPECT_EQ(progress.base, 10);
}

TEST_F(MediaAppFiles, DeviceWhatsAppWalk) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  backup.Add("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-Message/Media/b.jpg",
             SampleOf("jpg"));
  backup.Add("AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite",
             Padded("SQLite format 3"));
  backup.AddMissing("AppDomain-net.whatsapp.WhatsApp-Library/a.mp4");
  backup.Add("HomeDomain-Library/x", SampleOf("png"));
  backup.Add("AppDomain-net.whatsapp.WhatsApp-Library/Media/A.caf", SampleOf("wav"));
  Recorder recorder;
  ProgressSink progress = recorder.Sink(80, 10);

  EXPECT_EQ(ScanWhatsAppAttachments(backup.Source(), progress, whatsApp), kResultOk);
  EXPECT_EQ(Names(whatsApp), (Texts{"A.WAV", "b.JPG"}));
  EXPECT_EQ(recorder.seen, (Percents{82, 84, 86, 88, 90}));
  EXPECT_EQ(progress.base, 90);

  recorder = {};
  recorder.stopAt = 1;
  progress = recorder.Sink(80, 10);
  EXPECT_EQ(ScanWhatsAppAttachments(backup.Source(), progress, whatsApp), kResultStopped);
  EXPECT_EQ(Names(whatsApp), (Texts{"b.JPG"}));
}

// App groups and plug-ins belong to the app whose identifier theirs continues; odd
// identifiers get cleaned names. Both walks name them alike.
TEST_F(MediaAppFiles, GroupAndPluginFilesAreTheirAppsInBothWalks) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  backup.AddMissing("AppDomain-net.whatsapp.WhatsApp-");  // the app's container, no file
  backup.Add("AppDomain-com.example.App-Documents/a.png", SampleOf("png"));
  backup.Add("AppDomain-com.example.App.Pro-Documents/p.png", SampleOf("png"));
  backup.Add("AppDomainGroup-group.com.example.App.shared-Library/b.png", SampleOf("png"));
  backup.Add("AppDomainGroup-group.com.example.App.Pro.shared-Library/q.png", SampleOf("png"));
  backup.Add("AppDomainPlugin-com.example.App.Share-Library/c.png", SampleOf("png"));
  // Not com.example.App's: its identifier does not continue after a ".".
  backup.Add("AppDomainPlugin-com.example.Application-Library/d.png", SampleOf("png"));
  backup.Add("AppDomainGroup--Library/e.png", SampleOf("png"));
  backup.Add("AppDomainGroup-group.-Library/f.png", SampleOf("png"));
  backup.Add("AppDomainGroup-group.com.-Library/g.png", SampleOf("png"));
  backup.Add("AppDomainGroup-group.com.\xFF\xFEx-Library/h.png", SampleOf("png"));
  backup.Add("AppDomainPlugin-net.whatsapp.WhatsApp.Share-Library/s.png", SampleOf("png"));
  const std::string media = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-Message/Media/";
  backup.Add(media + "4915112345678@s.whatsapp.net/a/1/F00D.jpg", SampleOf("jpg"));
  backup.Add(media + "../../escape.jpg", SampleOf("jpg"));
  backup.Add(media + "Profile/pic.jpg", SampleOf("jpg"));

  ProgressSink quiet;
  ASSERT_EQ(ScanAppFiles(backup.Source(), quiet, AppWalkKind::kLocalBackup, appFiles, whatsApp),
            kResultOk);
  std::map<std::string, std::string> appOf;
  for (const AppFileRecord& file : appFiles) appOf[file.name] = file.app;
  EXPECT_EQ(appOf, (std::map<std::string, std::string>{{"a.PNG", "example.App"},
                                                       {"p.PNG", "example.App.Pro"},
                                                       {"b.PNG", "example.App"},
                                                       {"q.PNG", "example.App.Pro"},
                                                       {"c.PNG", "example.App"},
                                                       {"d.PNG", "example.Application"},
                                                       {"e.PNG", "other"},
                                                       {"f.PNG", "other"},
                                                       {"g.PNG", "other"},
                                                       {"h.PNG", ToValidUtf8("\xFF\xFEx")}}));
  // WhatsApp's plug-in and shared group are WhatsApp's files; only a "<JID>" folder of
  // Message/Media names a chat.
  std::map<std::string, std::string> jidOf;
  for (const FileRecord& file : whatsApp) jidOf[file.name] = file.chatJid;
  EXPECT_EQ(jidOf, (std::map<std::string, std::string>{{"F00D.JPG", "4915112345678@s.whatsapp.net"},
                                                       {"escape.JPG", ""},
                                                       {"pic.JPG", ""},
                                                       {"s.PNG", ""}}));

  std::vector<AppFileRecord> device;
  std::vector<FileRecord> untouched;
  ASSERT_EQ(ScanAppFiles(backup.Source(), quiet, AppWalkKind::kDeviceBackup, device, untouched),
            kResultOk);
  for (const AppFileRecord& file : device) {
    if (appOf.contains(file.name)) {
      EXPECT_EQ(file.app, appOf[file.name]) << file.name;
    }
  }
  EXPECT_EQ(device.size(), appFiles.size() + whatsApp.size());
}

// A file whose name claims a type but that is cut short or holds another kind is left out,
// with one finding that counts them all.
TEST_F(MediaAppFiles, FilesThatClaimATypeButAreCutAreAFinding) {
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  const std::string group = "AppDomainGroup-group.com.example.Recorder-Recordings/";
  backup.Add(group + "cut.m4a", SampleOf("m4a", 300));
  backup.Add(group + "whole.m4a", SampleOf("m4a"));
  backup.Add(group + "lying.MP3", std::string(600, 't'));
  backup.Add(group + "notes.txt", std::string(600, 't'));  // claims nothing
  backup.Add(group + "empty.m4a", "");                     // an empty file is no cut one
  backup.AddMissing(group + "missing.m4a");
  CollectedFindings findings;
  MediaSource source = backup.Source();
  source.findings = &findings;
  ProgressSink quiet;
  ASSERT_EQ(ScanAppFiles(source, quiet, AppWalkKind::kLocalBackup, appFiles, whatsApp), kResultOk);
  EXPECT_EQ(Names(appFiles), (Texts{"whole.M4A"}));
  ASSERT_EQ(findings.findings.size(), 1u);
  EXPECT_EQ(findings.findings[0].file, group + "cut.m4a");
  EXPECT_EQ(findings.findings[0].why.substr(0, 2), "2 ");
}

// ---------------------------------------------------------------------------------------------
// Live Photos

TEST(MediaLivePhotos, AMovieBesideAPhotoOfItsNameIsItsMovingHalf) {
  fixtures::TempDir dir;
  SmallBackup backup(dir.path(), StoreLayout::kTwoLevel);
  const std::string roll = "CameraRollDomain-Media/DCIM/100APPLE/";
  const std::string mov = std::string("\0\0\0\x14", 4) + "ftypqt  " + std::string(4, '\0') + "qt  ";
  backup.Add(roll + "IMG_0001.HEIC", SampleOf("heic"));
  backup.Add(roll + "IMG_0001.MOV", Padded(mov));
  backup.Add(roll + "img_0002.jpg", SampleOf("jpg"));
  backup.Add(roll + "IMG_0002.mov", Padded(mov));
  backup.Add(roll + "IMG_0003.MOV", Padded(mov));  // no photo
  backup.Add(roll + "IMG_0004.HEIC", SampleOf("heic"));
  backup.Add("CameraRollDomain-Media/DCIM/101APPLE/IMG_0004.MOV", Padded(mov));  // elsewhere
  backup.Add(roll + "IMG_0005.PNG", SampleOf("png"));  // a screenshot is no Live Photo
  backup.Add(roll + "IMG_0005.MOV", Padded(mov));
  backup.Add(roll + "IMG_0006.MOV", Padded(mov));
  backup.AddMissing(roll + "IMG_0006.HEIC");  // its photo is not in the backup

  std::vector<FileRecord> cameraRoll, photoStream;
  ProgressSink quiet;
  ASSERT_EQ(ScanPhotos(backup.Source(), quiet, cameraRoll, photoStream), kResultOk);
  std::map<std::string, std::string> halves;
  for (const FileRecord& file : cameraRoll) {
    if (!file.livePhotoOf.empty()) halves[file.key.substr(roll.size())] = file.livePhotoOf;
  }
  EXPECT_EQ(halves, (std::map<std::string, std::string>{{"IMG_0001.MOV", "IMG_0001.HEIC"},
                                                        {"IMG_0002.mov", "img_0002.jpg"}}));

  auto named = [&](std::string_view key) -> const FileRecord& {
    for (const FileRecord& file : cameraRoll) {
      if (file.key == key) return file;
    }
    throw std::invalid_argument(std::string(key));
  };
  EXPECT_EQ(LivePhotoPartner(cameraRoll, named(roll + "IMG_0001.MOV")),
            &named(roll + "IMG_0001.HEIC"));
  EXPECT_EQ(LivePhotoPartner(cameraRoll, named(roll + "img_0002.jpg")),
            &named(roll + "IMG_0002.mov"));
  EXPECT_EQ(LivePhotoPartner(cameraRoll, named(roll + "IMG_0004.HEIC")), nullptr);
  EXPECT_EQ(LivePhotoPartner(cameraRoll, named(roll + "IMG_0003.MOV")), nullptr);
  EXPECT_EQ(LivePhotoPartner(cameraRoll, named(roll + "IMG_0005.PNG")), nullptr);
}

// ---------------------------------------------------------------------------------------------
// WhatsApp media and their messages

TEST(MediaWhatsAppTie, FilesAndMessagesMeetByTheMediaPath) {
  const std::string group = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-";
  std::vector<FileRecord> files = {
      {.size = 1,
       .name = "A.JPG",
       .path = {},
       .key = group + "Message/Media/49@s.whatsapp.net/1/2/A.jpg"},
      {.size = 1,
       .name = "B.OPUS",
       .path = {},
       .key = group + "Message/Media/49@s.whatsapp.net/1/2/B.opus"},
      {.size = 1,
       .name = "C.MP4",
       .path = {},
       .key = "AppDomain-net.whatsapp.WhatsApp-Library/Media/x/C.mp4"},
      {.size = 1, .name = "D.JPG", .path = {}, .key = group + "Message/Media/../../D.jpg"},
      {.size = 1, .name = "E.JPG", .path = {}, .key = group + "Media/E.jpg"},  // not below Message/
  };
  auto message = [](std::int32_t session, std::string path, bool deleted = false) {
    WhatsAppMessageRecord m;
    m.sessionId = session;
    m.deleted = deleted;
    m.partnerName = "Chat " + std::to_string(session);
    m.dateText = "2024-01-0" + std::to_string(session);
    m.mediaPath = std::move(path);
    return m;
  };
  WhatsAppConversationMap chats;
  chats[1] = {message(1, "Media/49@s.whatsapp.net/1/2/A.jpg"), message(1, ""),
              message(1, "Media/49@s.whatsapp.net/1/2/gone.jpg"),
              message(1, "Media/49@s.whatsapp.net/1/2/gone.jpg", true)};
  chats[2] = {message(2, "Media/x/C.mp4"), message(2, "Media/49@s.whatsapp.net/1/2/A.jpg"),
              message(2, "Media/../../D.jpg"), message(2, "/Media/E.jpg"),
              message(2, "Media/E.jpg")};
  CollectedFindings findings;
  TieWhatsAppMedia(chats, files, &findings);

  EXPECT_EQ(files[0].sessionId, 1) << "the first message that names a file keeps it";
  EXPECT_EQ(files[0].chatName, "Chat 1");
  EXPECT_EQ(files[0].messageDate, "2024-01-01");
  EXPECT_EQ(files[1].sessionId, -1) << "a voice note without a message";
  EXPECT_EQ(files[2].sessionId, 2) << "older versions keep media below Library/";
  EXPECT_EQ(files[3].sessionId, -1) << "a climbing path is never joined";
  EXPECT_EQ(files[4].sessionId, -1);
  EXPECT_EQ(chats[1][0].mediaFile, "A.JPG");
  EXPECT_EQ(chats[2][1].mediaFile, "A.JPG");
  EXPECT_EQ(chats[2][0].mediaFile, "C.MP4");
  for (const WhatsAppMessageRecord& m : {chats[1][1], chats[1][2], chats[2][2], chats[2][3]})
    EXPECT_TRUE(m.mediaFile.empty()) << m.mediaPath;

  // Two climbing or absolute paths; two live messages whose file is not there (gone.jpg,
  // Media/E.jpg); the deleted one is not counted.
  ASSERT_EQ(findings.findings.size(), 2u);
  EXPECT_EQ(findings.findings[0].why.substr(0, 2), "2 ");
  EXPECT_NE(findings.findings[0].why.find("climb"), std::string::npos);
  EXPECT_EQ(findings.findings[1].why.substr(0, 2), "2 ");
  EXPECT_NE(findings.findings[1].why.find("do not hold"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Preview copies

class MediaPreview : public ::testing::Test {
 protected:
  std::filesystem::path Stored(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir / ("stored-" + name);
    testing::WriteFile(path, bytes);
    return path;
  }

  fixtures::TempDir dir;
  std::filesystem::path work = dir / "work";
  std::string previewPath = "stale";
  std::vector<std::int32_t> seen;
  std::function<Result(std::int32_t)> record = [this](std::int32_t p) {
    seen.push_back(p);
    return kResultOk;
  };

  void SetUp() override { std::filesystem::create_directory(work); }
};

TEST_F(MediaPreview, EachTypeGoesToItsPreviewFile) {
  const std::pair<std::string_view, std::string_view> routes[] = {
      {"mpeg", "tmp.avi"}, {"mov", "tmp.avi"}, {"3gp", "tmp.avi"}, {"wmv", "tmp.avi"},
      {"mid", "tmp.wav"},  {"mp3", "tmp.wav"}, {"wav", "tmp.wav"}, {"ico", "tmp.jpg"},
      {"heic", "tmp.jpg"}, {"png", "tmp.jpg"}, {"bmp", "tmp.jpg"},
  };
  for (const auto& [type, preview] : routes) {
    const std::string bytes = SampleOf(type, 1000);
    const auto stored = Stored(std::string(type), bytes);
    ASSERT_EQ(ExtractPreview(stored, work, previewPath, nullptr), kResultOk) << type;
    EXPECT_EQ(previewPath, (work / preview).string()) << type;
    EXPECT_EQ(testing::ReadText(work / preview), bytes) << type;
  }
}

TEST_F(MediaPreview, CopiesInPiecesAndLeavesNoStaleBytes) {
  std::string large = SampleOf("jpg", 200000);
  for (std::size_t i = 600; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  ASSERT_EQ(ExtractPreview(Stored("large", large), work, previewPath, record), kResultOk);
  EXPECT_EQ(testing::ReadText(work / "tmp.jpg"), large);
  // After each 64 KiB piece, then once more at the end.
  EXPECT_EQ(seen, (Percents{32, 65, 98, 100, 100}));

  seen.clear();
  const std::string small = SampleOf("png", 600);
  ASSERT_EQ(ExtractPreview(Stored("small", small), work, previewPath, record), kResultOk);
  EXPECT_EQ(testing::ReadText(work / "tmp.jpg"), small);
  EXPECT_EQ(seen, (Percents{100, 100}));
}

TEST_F(MediaPreview, StopAndFailures) {
  const auto large = Stored("large", SampleOf("png", 200000));
  const auto stopAtOnce = [this](std::int32_t p) {
    seen.push_back(p);
    return kResultStopped;
  };
  EXPECT_EQ(ExtractPreview(large, work, previewPath, stopAtOnce), kResultStopped);
  EXPECT_EQ(std::filesystem::file_size(work / "tmp.jpg"), 65536u);
  EXPECT_EQ(seen, (Percents{32, 100}));

  // Not identified, missing, not a regular file: 87 and nothing written.
  std::filesystem::remove(work / "tmp.jpg");
  for (const auto& stored : {Stored("text", std::string(5000, 'x')),
                             Stored("short", SampleOf("png", 511)), dir / "missing", dir.path()}) {
    previewPath = "stale";
    EXPECT_EQ(ExtractPreview(stored, work, previewPath, record), kResultInvalid) << stored;
    EXPECT_TRUE(previewPath.empty());
  }
  EXPECT_TRUE(std::filesystem::is_empty(work));

  // The preview file cannot be created.
  EXPECT_EQ(ExtractPreview(large, dir / "no-such-folder", previewPath, nullptr), kResultInvalid);

  // A write that fails gives the system error (a full device in the preview file's place).
  std::error_code error;
  std::filesystem::create_symlink("/dev/full", work / "tmp.jpg", error);
  if (error || !std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  seen.clear();
  EXPECT_EQ(ExtractPreview(large, work, previewPath, record), kResultSystemBase + ENOSPC);
  EXPECT_EQ(seen, (Percents{100}));
}

}  // namespace
}  // namespace kestrio
