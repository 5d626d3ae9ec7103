#include "output/recovery_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <memory>
#include <set>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "scan/scan_run.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

const fs::path kProgramFolder = KESTRIO_SOURCE_DIR;  // template/ lies here
constexpr std::time_t kNow = 1480756507;             // 2016-12-03 09:15:07 UTC

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    BackupStoreFolders folders;
    folders.workFolder = dir_ / "work";
    folders.temporaryBackupFolder = [this] { return dir_ / "tmp"; };
    store_ = std::make_unique<BackupStore>(folders);
    fs::create_directories(dir_ / "store");
    backend_ = CreateScanBackend(SourceKind::kBackupFolder, store_.get());
  }

  // A stored file of `size` bytes.
  fs::path Stored(const std::string& name, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + size);
    testing::WriteBytes(dir_ / "store" / name, bytes);
    return dir_ / "store" / name;
  }

  std::unique_ptr<RecoveryRun> Run(RecoveryObserver observer = {}) {
    RecoverySource source{&selection_, &results_, backend_.get(), "Kim's phone"};
    auto run = std::make_unique<RecoveryRun>(source, dir_ / "out", kProgramFolder, observer);
    std::string missing;
    EXPECT_EQ(run->LoadTemplates(missing), kResultOk) << missing;
    run->Run(kNow);
    return run;
  }

  fx::TempDir dir_;
  std::unique_ptr<BackupStore> store_;
  std::unique_ptr<ScanBackend> backend_;
  ScanResults results_;
  SelectionModel selection_;
};

TEST_F(RecoveryTest, SameNamesGetNumberedAndAnEarlierRunsFileIsNeverOverwritten) {
  results_.cameraRoll = {{100, "IMG.JPG", Stored("a", 100)},
                         {200, "IMG.JPG", Stored("b", 200)},
                         {0, "empty.JPG", Stored("c", 0)}};
  selection_.BuildFiles(kCodeCameraRoll, results_.cameraRoll);
  fs::create_directories(dir_ / "out" / "Camera Roll");
  testing::WriteBytes(dir_ / "out" / "Camera Roll" / "IMG.JPG", {'o', 'l', 'd'});
  auto run = Run();
  EXPECT_EQ(testing::ReadText(dir_ / "out" / "Camera Roll" / "IMG.JPG"), "old");
  EXPECT_EQ(testing::ReadBytes(dir_ / "out" / "Camera Roll" / "IMG(1).JPG"),
            testing::ReadBytes(dir_ / "store" / "a"));
  EXPECT_EQ(testing::ReadBytes(dir_ / "out" / "Camera Roll" / "IMG(2).JPG"),
            testing::ReadBytes(dir_ / "store" / "b"));
  // An empty file is copied and counted although its copy reports nothing.
  EXPECT_TRUE(fs::exists(dir_ / "out" / "Camera Roll" / "empty.JPG"));
  EXPECT_EQ(run->Done(), 3);
  EXPECT_EQ(run->Total(), 3);
  EXPECT_EQ(run->Failed(), 0);
}

TEST_F(RecoveryTest, FailuresAreCountedListedFirstAndTheRunGoesOn) {
  for (int i = 0; i < 10; ++i) {
    const std::string name = "IMG_" + std::to_string(i) + ".JPG";
    // Two stored files are gone since the scan.
    const fs::path path = i == 3 || i == 7 ? dir_ / "store" / "gone" : Stored(name, 2000 + i);
    results_.photoStream.push_back({static_cast<std::uint32_t>(2000 + i), name, path});
  }
  selection_.BuildFiles(kCodePhotoStream, results_.photoStream);
  RecoveryProgress last;
  auto run = Run({[&](const RecoveryProgress& p) { last = p; }, nullptr});
  EXPECT_EQ(last.done, 10);
  EXPECT_EQ(last.total, 10);
  EXPECT_EQ(last.done - last.failed, 8);
  EXPECT_EQ(last.failed, 2);
  const auto rows = run->StatusRows();
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_TRUE(rows[0].failed && rows[1].failed);
  EXPECT_EQ(rows[0].path.filename(), "IMG_7.JPG");  // newest failure on top
  EXPECT_EQ(rows[0].status, ResultText(kResultInvalid));
  EXPECT_EQ(rows[2].status, "Success");
  EXPECT_EQ(rows[2].path.filename(), "IMG_0.JPG");
}

TEST_F(RecoveryTest, NamesFromTheBackupNeverLeaveTheOutputFolder) {
  results_.messageAttachments = {{0, 10, "..", Stored("x", 10)}, {0, 10, ".", Stored("y", 10)}};
  selection_.BuildAttachments(results_.messageAttachments);
  results_.appPhotos["../../escape"] = {{10, "../../escape", "a.PNG", Stored("z", 10)}};
  results_.appPhotos[".."] = {{10, "..", std::string(400, 'n') + ".PNG", Stored("w", 10)}};
  selection_.BuildAppFiles(kCodeAppPhotos, results_.appPhotos);
  auto run = Run();
  EXPECT_EQ(run->Failed(), 0);
  EXPECT_EQ(run->Done(), 4);
  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(dir_ / "out")) {
    if (entry.is_regular_file()) written.insert(fs::relative(entry.path(), dir_ / "out").string());
  }
  EXPECT_TRUE(written.count("Message Attachments/_"));
  EXPECT_TRUE(written.count("Message Attachments/_(1)"));
  EXPECT_TRUE(written.count("App Photos/.._.._escape/a.PNG"));
  // Too long for one name: shortened, extension kept.
  const fs::path longName = *std::find_if(
      written.begin(), written.end(), [](const auto& w) { return w.starts_with("App Photos/_/"); });
  EXPECT_LE(longName.filename().string().size(), 255u);
  EXPECT_EQ(longName.extension(), ".PNG");
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "work" || name == "tmp" || name == "store" || name == "out") << name;
  }
}

TEST_F(RecoveryTest, ConversationsAndChatsFolderNamesAndNoExportableEntry) {
  MessageRecord m;
  m.handleId = 4;
  m.conversationId = 4;
  m.address = "+15550100";
  m.text = "hello";
  m.dateText = "2016-12-01 10:00:00";
  results_.messages[4] = {m};
  results_.conversationRows = {m};
  selection_.BuildConversations(results_.conversationRows);
  WhatsAppMessageRecord w;
  w.sessionId = 9;
  w.partnerName = "Team, Friday";
  w.chatNames = "Anna Ben";
  w.text = "see you";
  results_.whatsApp[9] = {w};
  results_.whatsAppRows = {w};
  selection_.BuildWhatsAppChats(results_.whatsAppRows);
  auto run = Run();
  const fs::path conversation = dir_ / "out" / "Message" / "Unknown-20161203091507";
  EXPECT_TRUE(fs::exists(conversation / "Unknown(+15550100).txt"));
  EXPECT_TRUE(fs::exists(conversation / "Unknown(+15550100).html"));
  const fs::path chat = dir_ / "out" / "WhatsApp Message" / "Anna Ben-20161203091507";
  for (const char* ext : {".txt", ".csv", ".html"})
    EXPECT_TRUE(fs::exists(chat / (std::string("Anna Ben") + ext))) << ext;
  const std::string html = testing::ReadText(conversation / "Unknown(+15550100).html");
  EXPECT_NE(html.find("iPhone's Messages of Kim's phone"), std::string::npos);
  EXPECT_NE(html.find("Name: Unknown, Phone: +15550100"), std::string::npos);
  EXPECT_EQ(run->Done(), 2);

  // Nothing ticked: the run ends at once and writes nothing.
  selection_.TickCategory(kCodeMessages, false);
  selection_.TickCategory(kCodeWhatsApp, false);
  fs::remove_all(dir_ / "out");
  auto empty = Run();
  EXPECT_EQ(empty->Total(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(RecoveryTest, CancelStopsALongCopyAtItsNextReport) {
  results_.cameraRoll = {{0, "big.MOV", Stored("big", 40 * kCopyPieceBytes)},
                         {0, "next.JPG", Stored("next", 100)}};
  selection_.BuildFiles(kCodeCameraRoll, results_.cameraRoll);
  RecoveryRun* running = nullptr;
  RecoverySource source{&selection_, &results_, backend_.get(), ""};
  RecoveryRun run(source, dir_ / "out", kProgramFolder,
                  {[&](const RecoveryProgress& p) {
                     if (p.percent >= 10) running->Cancel();
                   },
                   nullptr});
  running = &run;
  std::string missing;
  ASSERT_EQ(run.LoadTemplates(missing), kResultOk);
  EXPECT_EQ(run.Run(kNow), kResultStopped);
  const auto copied = fs::file_size(dir_ / "out" / "Camera Roll" / "big.MOV");
  EXPECT_LT(copied, 40 * kCopyPieceBytes / 4);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "Camera Roll" / "next.JPG"));
}

TEST_F(RecoveryTest, AMissingTemplateIsNamedBeforeAnythingIsWritten) {
  fx::TempDir program;
  fs::create_directories(program / "template");
  fs::copy_file(kProgramFolder / "template" / "CallHistory.html",
                program / "template" / "CallHistory.html");
  RecoverySource source{&selection_, &results_, backend_.get(), ""};
  RecoveryRun run(source, dir_ / "out", program.path(), {});
  std::string missing;
  EXPECT_NE(run.LoadTemplates(missing), kResultOk);
  EXPECT_EQ(fs::path(missing).filename(), "Notes.html");
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// A generated backup scanned to the end, every item ticked.
struct ScannedFixture {
  ScannedFixture() {
    setenv("TZ", "UTC", 1);
    tzset();
    model = fx::WriteBackup(dir / "backup", fx::BackupOptions{});
    BackupStoreFolders folders;
    folders.workFolder = dir / "work";
    folders.temporaryBackupFolder = [this] { return dir / "tmp"; };
    store = std::make_unique<BackupStore>(folders);
    EXPECT_EQ(ReadBackupSummary(dir / "backup", summary), kResultOk);
    store->ChooseBackup(summary);
    scan = std::make_unique<ScanRun>(CreateScanBackend(SourceKind::kBackupFolder, store.get()), "",
                                     ScanObserver{});
    scanned = scan->Run();
  }
  fx::TempDir dir;
  fx::BackupModel model;
  std::unique_ptr<BackupStore> store;
  BackupSummary summary;
  std::unique_ptr<ScanRun> scan;
  Result scanned = kResultInvalid;
};

TEST(RecoveryEndToEnd, AFixtureBackupComesOutFileByFile) {
  ScannedFixture fixture;
  ASSERT_EQ(fixture.scanned, kResultOk);
  const fx::TempDir& dir = fixture.dir;
  const fx::BackupModel& model = fixture.model;
  const BackupSummary& summary = fixture.summary;
  ScanRun& scan = *fixture.scan;
  const ScanResults& results = scan.Results();
  RecoverySource source{&scan.Selection(), &results, scan.Backend(), summary.displayName};
  RecoveryRun run(source, dir / "out", kProgramFolder, {});
  std::string missing;
  ASSERT_EQ(run.LoadTemplates(missing), kResultOk);
  ASSERT_EQ(run.Run(kNow), kResultOk);
  EXPECT_EQ(run.Failed(), 0);
  EXPECT_EQ(run.Done(), run.Total());
  EXPECT_EQ(static_cast<std::size_t>(run.Total()),
            results.cameraRoll.size() + results.photoStream.size() +
                results.messageAttachments.size() + results.appFiles.size() +
                results.conversationRows.size() + results.contacts.size() +
                results.callHistory.size() + results.notes.size() + results.whatsAppRows.size() +
                results.whatsAppAttachments.size());

  // Every file is a byte-exact copy of its stored file.
  const fs::path out = dir / "out";
  std::multiset<std::string> cameraRoll;
  for (const auto& e : fs::directory_iterator(out / "Camera Roll"))
    cameraRoll.insert(testing::ReadText(e.path()));
  for (const auto& f : model.cameraRoll) {
    EXPECT_EQ(cameraRoll.count(testing::ReadText(f.path)), 1u) << f.name;
  }
  for (const auto& f : model.appFiles) {
    const bool video = ClassifyAppFile(f.name) == AppMediaKind::kVideo;
    const fs::path folder = out / (video ? "App Video" : "App Photos") / f.app;
    EXPECT_TRUE(fs::exists(folder / f.name) ||
                fs::exists(folder / (fs::path(f.name).stem().string() + "(1)" +
                                     fs::path(f.name).extension().string())))
        << f.app << "/" << f.name;
  }
  // One folder per conversation person, with a page and a transcript per conversation.
  std::size_t pages = 0, transcripts = 0;
  for (const auto& e : fs::recursive_directory_iterator(out / "Message")) {
    pages += e.path().extension() == ".html";
    transcripts += e.path().extension() == ".txt";
  }
  EXPECT_EQ(pages, results.conversationRows.size());
  EXPECT_EQ(transcripts, results.conversationRows.size());
  EXPECT_GT(fs::file_size(out / "Message" / "sms.csv"), 0u);
  const std::string stamp = "20161203091507";
  EXPECT_GT(fs::file_size(out / "Contacts" / stamp / "Contacts.csv"), 0u);
  const std::string contacts = testing::ReadText(out / "Contacts" / stamp / "Contacts.html");
  const std::string calls =
      testing::ReadText(out / "CallHistory" / ("CallHistory_" + stamp + ".html"));
  const std::string notes = testing::ReadText(out / "Notes" / ("Notes_" + stamp + ".html"));
  auto rows = [](const std::string& html) {
    std::size_t n = 0;
    for (std::size_t at = html.find("\t<tr>"); at != std::string::npos;
         at = html.find("\t<tr>", at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(rows(contacts), results.contacts.size());
  EXPECT_EQ(rows(calls), results.callHistory.size());
  EXPECT_EQ(rows(notes), results.notes.size());
  for (const auto& call : results.callHistory)
    EXPECT_NE(calls.find(call.number), std::string::npos);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(out / "WhatsApp Message"), fs::directory_iterator()),
      static_cast<std::ptrdiff_t>(results.whatsAppRows.size()));

  // The chats' pages show their pictures from the recovered attachments: every picture a page
  // shows is there, relative to the page, and byte for byte one of WhatsApp's files.
  std::set<std::string> whatsAppFiles;
  for (const auto& f : model.whatsAppFiles) whatsAppFiles.insert(testing::ReadText(f.path));
  std::size_t pictures = 0;
  for (const auto& e : fs::recursive_directory_iterator(out / "WhatsApp Message")) {
    if (e.path().extension() != ".html") continue;
    const std::string page = testing::ReadText(e.path());
    const std::string tag = "<img class=\"media\" src=\"";
    for (std::size_t at = page.find(tag); at != std::string::npos; at = page.find(tag, at + 1)) {
      const std::size_t start = at + tag.size();
      std::string link = page.substr(start, page.find('"', start) - start);
      for (std::size_t space; (space = link.find("%20")) != std::string::npos;)
        link.replace(space, 3, " ");
      const fs::path file = e.path().parent_path() / link;
      ASSERT_TRUE(fs::is_regular_file(file)) << link;
      EXPECT_TRUE(whatsAppFiles.contains(testing::ReadText(file))) << link;
      ++pictures;
    }
  }
  std::size_t tiedPictures = 0;
  for (const auto& f : model.whatsAppFiles)
    tiedPictures += f.sessionId >= 0 && f.name.ends_with(".JPG");
  EXPECT_EQ(pictures, tiedPictures);
  EXPECT_GT(pictures, 0u);
}

// Ticking one half of a Live Photo recovers both halves; the other Camera Roll files stay.
TEST(RecoveryEndToEnd, ALivePhotoComesOutWhole) {
  ScannedFixture fixture;
  ASSERT_EQ(fixture.scanned, kResultOk);
  const fx::TempDir& dir = fixture.dir;
  const fx::BackupModel& model = fixture.model;
  const BackupSummary& summary = fixture.summary;
  ScanRun& scan = *fixture.scan;
  const ScanResults& results = scan.Results();
  SelectionModel& selection = scan.Selection();
  for (int code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code)
    selection.TickCategory(static_cast<CategoryCode>(code), false);
  auto named = [&](std::string_view key) -> const FileRecord* {
    for (const FileRecord& f : results.cameraRoll) {
      if (f.key == key) return &f;
    }
    return nullptr;
  };
  const std::string roll = "CameraRollDomain-Media/DCIM/100APPLE/";
  const FileRecord* movie = named(roll + "IMG_0030.MOV");
  const FileRecord* still = named(roll + "IMG_0031.JPG");
  const FileRecord* alone = named(roll + "IMG_0032.HEIC");
  ASSERT_TRUE(movie && still && alone);
  ASSERT_TRUE(selection.TickItem(movie, true));
  ASSERT_TRUE(selection.TickItem(still, true));
  ASSERT_TRUE(selection.TickItem(alone, true));

  RecoverySource source{&selection, &results, scan.Backend(), summary.displayName};
  RecoveryRun run(source, dir / "out", kProgramFolder, {});
  std::string missing;
  ASSERT_EQ(run.LoadTemplates(missing), kResultOk);
  ASSERT_EQ(run.Run(kNow), kResultOk);
  EXPECT_EQ(run.Failed(), 0);
  EXPECT_EQ(run.Total(), 5);
  EXPECT_EQ(run.Done(), 5);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir / "out" / "Camera Roll"))
    names.insert(e.path().filename().string());
  // IMG_0032's movie lies in another folder: no pair.
  EXPECT_EQ(names, (std::set<std::string>{"IMG_0030.HEIC", "IMG_0030.MOV", "IMG_0031.JPG",
                                          "IMG_0031.MOV", "IMG_0032.HEIC"}));
  EXPECT_EQ(testing::ReadText(dir / "out" / "Camera Roll" / "IMG_0030.HEIC"),
            testing::ReadText(model.Find(roll + "IMG_0030.HEIC")->path));
}

}  // namespace
}  // namespace kestrio
