#include "scan/backup_folder_source.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "base/platform_storage.h"
#include "parsers/messages.h"
#include "scan/chat_text.h"
#include "scan/scan_backend.h"
#include "tests/fixtures/carving_census.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

// A store over folders of a temporary directory: nothing of the user's is touched.
struct StoreFixture {
  fixtures::TempDir dir;
  std::unique_ptr<BackupStore> store;
  std::vector<std::int32_t> reports;

  StoreFixture() {
    BackupStoreFolders folders;
    folders.workFolder = dir / "work";
    folders.temporaryBackupFolder = [this] { return dir / "tmp_backup"; };
    folders.backupRoots = {dir / "roots"};
    store = std::make_unique<BackupStore>(folders);
  }

  std::unique_ptr<ScanBackend> Backend(const std::filesystem::path& folder,
                                       bool encrypted = false) {
    BackupSummary summary;
    summary.folder = folder;
    summary.encrypted = encrypted;
    store->ChooseBackup(summary);
    auto backend = CreateScanBackend(SourceKind::kBackupFolder, store.get());
    backend->SetProgressCallback([this](std::int32_t p) {
      reports.push_back(p);
      return kResultOk;
    });
    return backend;
  }
};

void WriteManifestDb(const std::filesystem::path& path, const std::string& key) {
  testing::ExecSql(path,
                   "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                   "flags INTEGER, file BLOB); INSERT INTO Files VALUES ('" +
                       StoredName(key) + "', 'HomeDomain', '" + key + "', 1, NULL);");
}

TEST(BackupBackend, FactoryMakesTheDeviceBackendAndTheBackupFolderOne) {
  StoreFixture f;
  auto backend = CreateScanBackend(SourceKind::kBackupFolder, f.store.get());
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(backend->Kind(), SourceKind::kBackupFolder);
  auto device = CreateScanBackend(SourceKind::kDevice, f.store.get());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Kind(), SourceKind::kDevice);
  // No device is attached here: the backup cannot start, and nothing is written.
  EXPECT_EQ(device->Open(""), kResultInvalid);
  for (std::int32_t kind : {-1, 2, 3, 100})
    EXPECT_EQ(CreateScanBackend(static_cast<SourceKind>(kind), f.store.get()), nullptr);
  // A backup folder needs the store that chose it.
  EXPECT_EQ(CreateScanBackend(SourceKind::kBackupFolder, nullptr), nullptr);
}

TEST(BackupBackend, OpenWithoutAnIndexFailsAfterReportingZeroAndOne) {
  StoreFixture f;
  std::filesystem::create_directories(f.dir / "b");
  EXPECT_EQ(f.Backend(f.dir / "b")->Open(""), kResultInvalid);
  EXPECT_EQ(f.reports, (std::vector<std::int32_t>{0, 1, 12}));

  // An encrypted backup whose decryption program cannot run (none beside the program).
  f.reports.clear();
  EXPECT_EQ(f.Backend(f.dir / "b", true)->Open("secret"), kResultInvalid);
  EXPECT_EQ(f.reports, std::vector<std::int32_t>{0});

  // Manifest.mbdb that is not an index.
  f.reports.clear();
  testing::WriteBytes(f.dir / "b" / "Manifest.mbdb", {'n', 'o', 'p', 'e', 0, 0});
  EXPECT_EQ(f.Backend(f.dir / "b")->Open(""), kResultInvalid);
  EXPECT_FALSE(f.store->Opened().newLayout);
}

TEST(BackupBackend, OpenReadsTheDecryptedIndexFirstAndStopsOnAnAnswer) {
  StoreFixture f;
  const auto folder = f.dir / "b";
  std::filesystem::create_directories(folder);
  WriteManifestDb(folder / "Manifest.db", "HomeDomain-Library/SMS/sms.db");
  WriteManifestDb(folder / "Manifest.db-decypted", "HomeDomain-Library/Notes/notes.sqlite");
  auto backend = f.Backend(folder);
  ASSERT_EQ(backend->Open(""), kResultOk);
  EXPECT_TRUE(f.store->Opened().newLayout);
  ASSERT_EQ(f.store->Opened().entries.size(), 1u);
  EXPECT_EQ(f.store->Opened().entries[0].storedName, kNotesName);
  EXPECT_EQ(f.store->Opened().StoredFile(kNotesName), folder / "ca" / kNotesName);
  EXPECT_EQ(f.reports, (std::vector<std::int32_t>{0, 1, 12}));

  // A stop answer during Open comes back at once.
  backend->SetProgressCallback([](std::int32_t p) { return p == 1 ? kResultStopped : kResultOk; });
  EXPECT_EQ(backend->Open(""), kResultStopped);
  EXPECT_TRUE(f.store->Opened().entries.empty());
}

// A database the backup does not hold is no failure: the operation finds nothing and says why,
// naming the file as the backup names it.
TEST(BackupBackend, MissingDatabasesAreExplainedAndTheRunGoesOn) {
  StoreFixture f;
  const auto folder = f.dir / "b";
  std::filesystem::create_directories(folder);
  WriteManifestDb(folder / "Manifest.db", "HomeDomain-Library/SMS/sms.db");
  auto backend = f.Backend(folder);
  ASSERT_EQ(backend->Open(""), kResultOk);
  ConversationMap conversations{{1, {MessageRecord{}}}};
  EXPECT_EQ(backend->ScanMessages(conversations), kResultOk);
  EXPECT_TRUE(conversations.empty());
  EXPECT_EQ(backend->TakeExplanation(),
            (CategoryExplanation{"HomeDomain-Library/SMS/sms.db",
                                 "no messages in this backup: it holds no message database"}));
  EXPECT_FALSE(backend->TakeExplanation());  // taken once
  std::vector<NoteRecord> notes;
  EXPECT_EQ(backend->ScanNotes(notes), kResultOk);
  EXPECT_TRUE(notes.empty());
  ASSERT_TRUE(backend->TakeExplanation());
  // Each explanation is a finding too, for the JSON and the log.
  EXPECT_EQ(backend->Findings().Snapshot().size(), 2u);
  // Each database operation adds half the step.
  EXPECT_EQ(f.reports.back(), 12 + 5 + 5);
  ChatAppConversationMap qq;
  EXPECT_EQ(backend->ScanQQ(qq), kResultInvalid);
  // Row dumps of a missing database write nothing and fail.
  EXPECT_NE(backend->WriteMessagesCsv(f.dir / "sms.csv"), kResultOk);
}

TEST(BackupBackend, OpeningABackupFolderForgetsTheDiscoveredList) {
  StoreFixture f;
  fixtures::WriteBackup(f.dir / "roots" / "one", fixtures::BackupOptions{});
  const BackupStoreFolders folders = f.store->Folders();
  f.store.reset();
  f.store = std::make_unique<BackupStore>(folders);  // discovers the backup just written
  ASSERT_EQ(f.store->Backups().size(), 1u);
  auto backend = f.Backend(f.store->Backups().front().folder);
  ASSERT_EQ(backend->Open(""), kResultOk);
  EXPECT_TRUE(f.store->Backups().empty());
  // The opened backup stays with the store for the preview and the recovery run.
  EXPECT_FALSE(f.store->Opened().entries.empty());
  backend.reset();
  EXPECT_FALSE(f.store->Opened().entries.empty());
}

TEST(BackupFolderSource, DatabasesAreTheStoredFilesOfTheOpenedFolder) {
  StoreFixture f;
  const auto folder = f.dir / "b";
  BackupSummary summary;
  summary.folder = folder;
  f.store->ChooseBackup(summary);
  f.store->Opened().newLayout = true;
  BackupFolderSource source(*f.store);
  EXPECT_EQ(source.Database(KnownDatabase::kMessages), folder / "3d" / kSmsDbName);
  EXPECT_EQ(source.Database(KnownDatabase::kPhotoLibrary), folder / "12" / kPhotoLibraryName);
  EXPECT_EQ(StoredName("CameraRollDomain-Media/PhotoData/Photos.sqlite"), kPhotoLibraryName);
  // The call history: CallHistory.storedata when present, call_history.db otherwise.
  EXPECT_EQ(source.Database(KnownDatabase::kCallHistory),
            folder / kCallHistoryDbName.substr(0, 2) / kCallHistoryDbName);
  const auto store = folder / kCallHistoryStoreName.substr(0, 2) / kCallHistoryStoreName;
  std::filesystem::create_directories(store.parent_path());
  testing::WriteBytes(store, {1});
  EXPECT_EQ(source.Database(KnownDatabase::kCallHistory), store);
  // Deciphered files lie flat.
  f.store->Opened().decrypted = true;
  EXPECT_EQ(source.Database(KnownDatabase::kNotes), folder / kNotesName);
}

// A backup taken before the device checkpointed holds sms.db-wal beside sms.db: the messages
// are read as of the log's last commit, and a message the log deleted is a deleted one.
TEST(BackupFolderSource, AMessagesLogInTheBackupIsReadWithItsDatabase) {
  StoreFixture f;
  const auto folder = f.dir / "logged";
  const auto model = fixtures::WriteBackup(folder, fixtures::BackupOptions{});
  std::int64_t victim = 0;
  for (const auto& row : model.messages.messages) {
    if (!row.deleted && row.text && row.text->size() >= fixtures::kMinProbeBytes) {
      victim = row.rowId;
      break;
    }
  }
  ASSERT_NE(victim, 0);
  const fixtures::LoggedMessages logged = fixtures::LogMessagesChange(folder, victim);

  BackupSummary summary;
  summary.folder = folder;
  f.store->ChooseBackup(summary);
  BackupFolderSource source(*f.store);
  ProgressSink progress;
  ASSERT_EQ(source.Open("", progress, nullptr), kResultOk);
  const auto database = source.Database(KnownDatabase::kMessages);
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages({}, f.dir / "none", conversations, database, highest), kResultOk);
  int added = 0, removedLive = 0, removedDeleted = 0;
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) {
      if (m.text == logged.addedText) {
        EXPECT_FALSE(m.deleted);
        EXPECT_EQ(m.rowId, logged.addedRowId);
        ++added;
      }
      if (m.text == logged.removedText) ++(m.deleted ? removedDeleted : removedLive);
    }
  }
  EXPECT_EQ(added, 1);
  EXPECT_EQ(removedLive, 0);
  EXPECT_EQ(removedDeleted, 1);
  EXPECT_EQ(highest, static_cast<std::uint64_t>(logged.addedRowId));

  // Without the log the file's own state is read: the removed message is live there.
  std::filesystem::copy_file(folder / kSmsDbName.substr(0, 2) / kSmsDbName, f.dir / "sms.db");
  conversations.clear();
  ASSERT_EQ(ParseMessages({}, f.dir / "none", conversations, f.dir / "sms.db", highest), kResultOk);
  removedLive = 0;
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) {
      EXPECT_NE(m.text, logged.addedText);
      removedLive += m.text == logged.removedText && !m.deleted ? 1 : 0;
    }
  }
  EXPECT_EQ(removedLive, 1);
}

TEST(BackupFolderSource, WhatsAppWalkEndsOnceTheChatAndContactsDatabasesWereSeen) {
  StoreFixture f;
  BackupSummary summary;
  summary.folder = f.dir / "b";
  f.store->ChooseBackup(summary);
  BackupFolderSource source(*f.store);
  auto& entries = f.store->Opened().entries;
  const std::string a(40, 'a'), b(40, 'b'), c(40, 'c');
  entries = {{"AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite", a},
             {"HomeDomain-Library/SMS/sms.db", std::string(kSmsDbName)},
             {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite", b}};
  EXPECT_EQ(source.WhatsAppChatDatabases(),
            (std::vector<std::filesystem::path>{summary.folder / a, summary.folder / b}));
  entries.insert(entries.begin() + 1, {"AppDomain-net.whatsapp.WhatsApp-Contacts.sqlite", c});
  EXPECT_EQ(source.WhatsAppChatDatabases(), std::vector<std::filesystem::path>{summary.folder / a});
  entries.clear();
  EXPECT_TRUE(source.WhatsAppChatDatabases().empty());
  // Without a chat database the scan finds nothing and says WhatsApp is not there.
  ScanBackend backend(std::make_unique<BackupFolderSource>(*f.store));
  WhatsAppConversationMap chats{{1, {WhatsAppMessageRecord{}}}};
  EXPECT_EQ(backend.ScanWhatsAppChats(chats), kResultOk);
  EXPECT_TRUE(chats.empty());
  const auto explanation = backend.TakeExplanation();
  ASSERT_TRUE(explanation);
  EXPECT_EQ(explanation->reason, "WhatsApp is not installed in this backup");
}

TEST(BackupStore, CleanUpRemovesOnlyWhatKestrioMade) {
  fixtures::TempDir dir;
  const auto output = dir / "tmp_backup" / kDecryptionOutputFolderName;
  std::filesystem::create_directories(output / "keep-folder");
  std::filesystem::create_directories(dir / "backup");
  testing::WriteBytes(output / "decrypted-1", {1});
  testing::WriteBytes(output / "keep-folder" / "inner", {1});
  testing::WriteBytes(dir / "backup" / "Manifest.db", {1});
  std::filesystem::create_directories(dir / "work");
  for (const char* preview : {"tmp.jpg", "tmp.avi", "tmp.wav", "other.jpg"})
    testing::WriteBytes(dir / "work" / preview, {1});
  {
    BackupStoreFolders folders;
    folders.workFolder = dir / "work";
    folders.temporaryBackupFolder = [&] { return dir / "tmp_backup"; };
    BackupStore store(folders);
    EXPECT_FALSE(std::filesystem::exists(output / "decrypted-1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "work" / "tmp.jpg"));
    EXPECT_TRUE(std::filesystem::exists(dir / "work" / "other.jpg"));
    testing::WriteBytes(dir / "listed", {1});
    store.Opened().decryptedFiles.push_back(dir / "listed");
    testing::WriteBytes(dir / "work" / "tmp.wav", {1});
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "listed"));
  EXPECT_FALSE(std::filesystem::exists(dir / "work" / "tmp.wav"));
  EXPECT_TRUE(std::filesystem::exists(output / "keep-folder" / "inner"));
  EXPECT_TRUE(std::filesystem::exists(dir / "backup" / "Manifest.db"));
}

TEST(TemporaryBackupFolder, WorkFolderOnlyAboveFifteenGibElseTheRoomiestMount) {
  const std::filesystem::path work = "/home/u/.local/share/VelmoraiOSRecovery";
  EXPECT_EQ(PickTemporaryBackupFolder(work, kWorkFolderSpaceNeeded + 1, {}),
            work / "Velmora_tmp_backup");
  const std::vector<MountCandidate> mounts = {
      {"/", 100}, {"/data", 900}, {"/mnt/nas", 900}, {"/srv", 50}};
  EXPECT_EQ(PickTemporaryBackupFolder(work, kWorkFolderSpaceNeeded, mounts),
            "/data/Velmora_tmp_backup");  // exactly 15 GiB is not enough; equals: the first
  EXPECT_EQ(PickTemporaryBackupFolder(work, std::nullopt, mounts), "/data/Velmora_tmp_backup");
  EXPECT_EQ(PickTemporaryBackupFolder(work, 10, {}), std::filesystem::path());
}

TEST(TemporaryBackupFolder, MountTableSkipsVirtualFileSystemsAndUnwritablePlaces) {
  fixtures::TempDir dir;
  std::filesystem::create_directories(dir / "with space");
  const std::string escaped = (dir / "with").string() + "\\040space";
  testing::WriteBytes(dir / "mounts", {});
  std::string table =
      "proc /proc proc rw 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "/dev/sda1 " +
      escaped +
      " ext4 rw 0 0\n"
      "/dev/sdb1 " +
      (dir / "absent").string() +
      " ext4 rw 0 0\n"
      "overlay " +
      dir.path().string() +
      " overlay rw 0 0\n"
      "garbage\n";
  std::FILE* file = std::fopen((dir / "mounts").c_str(), "w");
  std::fputs(table.c_str(), file);
  std::fclose(file);
  const auto candidates = MountCandidates(dir / "mounts");
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0].mountPoint, dir / "with space");
  EXPECT_GT(candidates[0].freeBytes, 0u);
}

TEST(ChatText, MessagesAsTextBlocksWithTheSendersName) {
  fixtures::TempDir dir;
  std::vector<WhatsAppMessageRecord> whatsApp(2);
  whatsApp[0].dateText = "2021-03-04 05:06:07";
  whatsApp[0].senderName = "Me";
  whatsApp[0].text = "on my way\nsee you";
  whatsApp[1].dateText = "2021-03-04 05:07:00";
  whatsApp[1].text = "ok";
  std::vector<std::int32_t> percents;
  ASSERT_EQ(WriteWhatsAppChatText(whatsApp, dir / "w.txt",
                                  [&](std::int32_t p) {
                                    percents.push_back(p);
                                    return kResultOk;
                                  }),
            kResultOk);
  EXPECT_EQ(testing::ReadText(dir / "w.txt"),
            "\xEF\xBB\xBF"
            "2021-03-04 05:06:07 Me:\r\n    on my way\r\nsee you\r\n\r\n"
            "2021-03-04 05:07:00 Unknown:\r\n    ok\r\n\r\n");
  EXPECT_EQ(percents, (std::vector<std::int32_t>{50, 100}));

  std::vector<ChatAppMessageRecord> chat(3);
  chat[0].isFromMe = true;
  chat[1].senderName = "Xiao Ming";
  ASSERT_EQ(WriteChatAppText(chat, dir / "q.txt", "Anna", nullptr), kResultOk);
  EXPECT_EQ(testing::ReadText(dir / "q.txt"),
            "\xEF\xBB\xBF Me:\r\n    \r\n\r\n Xiao Ming:\r\n    \r\n\r\n Anna:\r\n    \r\n\r\n");
  EXPECT_EQ(WriteChatAppText(chat, dir / "q.txt", "", [](std::int32_t) { return kResultStopped; }),
            kResultStopped);
}

}  // namespace
}  // namespace kestrio
