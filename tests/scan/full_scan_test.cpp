// Whole scans of generated backups in both index layouts, through the scan run and through
// the command line's JSON.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <plist/plist.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "base/text.h"
#include "base/time_text.h"
#include "cli/cli.h"
#include "scan/scan_run.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/fixtures/note_store.h"
#include "tests/support/json.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

class FullScan : public ::testing::TestWithParam<fx::BackupLayout> {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
};

struct Scanned {
  std::unique_ptr<BackupStore> store;
  std::unique_ptr<ScanRun> run;
  std::map<std::string, Result> errors;
  Result result = kResultOk;
};

Scanned ScanFolder(const fx::TempDir& dir, const std::filesystem::path& backup) {
  Scanned s;
  BackupStoreFolders folders;
  folders.workFolder = dir / "work";
  folders.temporaryBackupFolder = [&dir] { return dir / "tmp_backup"; };
  s.store = std::make_unique<BackupStore>(folders);
  BackupSummary summary;
  EXPECT_EQ(ReadBackupSummary(backup, summary), kResultOk);
  s.store->ChooseBackup(summary);
  ScanObserver observer;
  observer.failed = [&s](std::optional<ScanCategory> c, Result r) {
    s.errors[c ? std::string(ScanCategoryKey(*c)) : "open"] = r;
  };
  s.run = std::make_unique<ScanRun>(CreateScanBackend(SourceKind::kBackupFolder, s.store.get()), "",
                                    observer);
  s.result = s.run->Run();
  return s;
}

template <typename Record>
std::multiset<std::string> LiveTexts(const std::vector<Record>& records,
                                     std::string Record::*field) {
  std::multiset<std::string> texts;
  for (const Record& r : records) {
    if (!r.deleted) texts.insert(r.*field);
  }
  return texts;
}

std::vector<fx::ExpectedMediaFile> Listed(const std::vector<FileRecord>& files) {
  std::vector<fx::ExpectedMediaFile> out;
  for (const FileRecord& f : files) {
    out.push_back({f.name, f.path, f.size, ""});
    out.back().livePhotoOf = f.livePhotoOf;
    out.back().chatJid = f.chatJid;
    out.back().sessionId = f.sessionId;
  }
  return out;
}

TEST_P(FullScan, EveryCategoryMatchesWhatTheBackupHolds) {
  fx::TempDir dir;
  fx::BackupOptions options;
  options.layout = GetParam();
  options.seed = 11;
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", options);
  Scanned s = ScanFolder(dir, dir / "backup");
  ASSERT_EQ(s.result, kResultOk);
  EXPECT_TRUE(s.errors.empty()) << s.errors.begin()->first << " " << s.errors.begin()->second;
  const ScanResults& r = s.run->Results();
  EXPECT_EQ(s.store->Opened().entries.size(), model.entries.size());

  // Media lists: exactly the files, names, sizes and order the backup gives.
  EXPECT_EQ(Listed(r.cameraRoll), model.cameraRoll);
  EXPECT_EQ(Listed(r.photoStream), model.photoStream);
  EXPECT_EQ(Listed(r.whatsAppAttachments), model.whatsAppFiles);
  std::vector<fx::ExpectedMediaFile> attachments, apps;
  for (const auto& a : r.messageAttachments) attachments.push_back({a.name, a.path, a.size, ""});
  for (const auto& a : r.appFiles) apps.push_back({a.name, a.path, a.size, a.app});
  EXPECT_EQ(attachments, model.attachments);
  EXPECT_EQ(apps, model.appFiles);
  EXPECT_EQ(r.Count(ScanCategory::kAppPhotos) + r.Count(ScanCategory::kAppVideos),
            r.appFiles.size());

  // Databases: every live row is found, live.
  std::multiset<std::string> messages;
  for (const auto& [handle, list] : r.messages) {
    for (const auto& m : list) {
      if (!m.deleted) messages.insert(m.text);
    }
  }
  for (const auto& row : model.messages.messages) {
    if (!row.deleted && row.text && !row.text->empty() && IsCleanUtf8(*row.text)) {
      EXPECT_EQ(messages.count(*row.text), 1u) << "message " << row.rowId;
    }
  }
  const auto phones = LiveTexts(r.contacts, &ContactRecord::phones);
  for (const auto& c : model.addressBook.contacts) {
    const std::string& expected = c.phoneLines;
    if (!c.deleted && !expected.empty()) {
      EXPECT_EQ(phones.count(expected), 1u) << "contact " << c.rowId;
    }
  }
  const auto numbers = LiveTexts(r.callHistory, &CallRecord::number);
  const auto bodies = LiveTexts(r.notes, &NoteRecord::body);
  std::multiset<std::string> chats;
  for (const auto& [session, list] : r.whatsApp) {
    for (const auto& m : list) {
      if (!m.deleted) chats.insert(m.text);
    }
  }
  auto expectLive = [](const fx::AppDb& db, const std::multiset<std::string>& found,
                       const char* what) {
    std::size_t live = 0;
    for (const auto& row : db.rows) {
      if (row.deleted) continue;
      ++live;
      EXPECT_EQ(found.count(row.text), 1u) << what << " " << row.rowId << ": " << row.text;
    }
    EXPECT_GT(live, 0u) << what;
  };
  expectLive(model.calls, numbers, "call");
  expectLive(model.notes, bodies, "note");
  // A backup with both note stores reads both: NoteStore.sqlite's notes follow the old ones.
  if (model.noteStore) {
    for (const fx::ExpectedNote& note : model.noteStore->notes) {
      if (note.carved) continue;
      EXPECT_EQ(std::count_if(r.notes.begin(), r.notes.end(),
                              [&](const NoteRecord& n) {
                                return n.title == note.title && n.body == note.body &&
                                       n.folder == note.folder && n.deleted == note.deleted &&
                                       n.locked == note.locked;
                              }),
                1)
          << "NoteStore note " << note.title;
    }
  }
  expectLive(model.whatsApp, chats, "WhatsApp message");
  // Deleted rows come back too.
  EXPECT_TRUE(std::any_of(r.callHistory.begin(), r.callHistory.end(),
                          [](const CallRecord& c) { return c.deleted; }));
  EXPECT_TRUE(
      std::any_of(r.notes.begin(), r.notes.end(), [](const NoteRecord& n) { return n.deleted; }));
  // The call stores (iOS 9's, the recent one) hold FaceTime calls and missed ones.
  EXPECT_TRUE(std::any_of(r.callHistory.begin(), r.callHistory.end(),
                          [](const CallRecord& c) { return c.kind == CallKind::kFaceTimeAudio; }));
  EXPECT_TRUE(std::any_of(r.callHistory.begin(), r.callHistory.end(),
                          [](const CallRecord& c) { return c.Missed(); }));
  if (GetParam() == fx::BackupLayout::kManifestDb) {
    // The iOS 15 ChatStorage has a group, listed by its members' JIDs.
    bool group = false;
    for (const auto& [session, list] : r.whatsApp) {
      for (const auto& m : list)
        group = group || m.chatIds.view().find("@s.whatsapp.net,") != std::string_view::npos;
    }
    EXPECT_TRUE(group);
  }

  // The chat apps no scan category shows are there for the back-end's own operations.
  ChatAppConversationMap qq;
  EXPECT_EQ(s.run->Backend()->ScanQQ(qq), kResultOk);
  EXPECT_FALSE(qq.empty());
  WeChatAccountMap weChat;
  EXPECT_EQ(s.run->Backend()->ScanWeChat(weChat), kResultOk);
  EXPECT_EQ(weChat.size(), 2u);
  EXPECT_TRUE(weChat.count("User1") && weChat.count("User2"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, FullScan,
                         ::testing::Values(fx::BackupLayout::kManifestDb,
                                           fx::BackupLayout::kManifestMbdb),
                         [](const auto& info) {
                           return info.param == fx::BackupLayout::kManifestDb ? "ManifestDb"
                                                                              : "ManifestMbdb";
                         });

TEST(FullScan, MissingEmptyAndUnreadableStoredFilesAreLeftOutNeverFatal) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  fx::BackupOptions options;
  options.layout = fx::BackupLayout::kManifestMbdb;
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", options);
  const auto* sms = model.Find(fx::kSmsDbKey);
  const auto* notes = model.Find(fx::kNotesKey);
  const auto* book = model.Find(fx::kAddressBookKey);
  ASSERT_TRUE(sms && notes && book);
  std::filesystem::remove(sms->path);           // missing: explained, not an error
  std::filesystem::resize_file(book->path, 0);  // empty
  std::filesystem::remove(notes->path);
  std::filesystem::create_directory(notes->path);          // not a file
  std::filesystem::remove(model.cameraRoll.front().path);  // a missing photo
  Scanned s = ScanFolder(dir, dir / "backup");
  EXPECT_EQ(s.result, kResultOk);
  EXPECT_FALSE(s.errors.count("messages"));
  EXPECT_TRUE(s.errors.count("contacts"));
  EXPECT_TRUE(s.errors.count("notes"));
  const auto& explained = s.run->Results().explanations;
  ASSERT_TRUE(explained.count(ScanCategory::kMessages));
  EXPECT_EQ(explained.at(ScanCategory::kMessages).file, "HomeDomain-Library/SMS/sms.db");
  ASSERT_TRUE(explained.count(ScanCategory::kNotes));
  EXPECT_EQ(explained.at(ScanCategory::kNotes).reason.rfind("notes.sqlite could not be read: ", 0),
            0u);
  EXPECT_FALSE(s.errors.count("cameraRoll"));
  const ScanResults& r = s.run->Results();
  EXPECT_EQ(r.cameraRoll.size(), model.cameraRoll.size() - 1);
  EXPECT_TRUE(r.messages.empty());
  EXPECT_FALSE(r.callHistory.empty());
  EXPECT_FALSE(r.whatsApp.empty());
}

TEST(KestrioCli, ScanWritesEveryCategoryAsValidJson) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::BackupOptions options;
  options.layout = fx::BackupLayout::kManifestMbdb;
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", options);

  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), 0)
      << err.str();
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json) << "not JSON";
  EXPECT_EQ(json->Keys(),
            (std::vector<std::string>{"backup", "result", "categories", "errors", "findings"}));
  EXPECT_EQ((*json)["result"].Number(), 0);
  // Nothing was skipped but the app files whose names claim a type their bytes do not hold
  // (a cut photo, an unknown file named ".m4a").
  ASSERT_EQ((*json)["findings"].items.size(), 1u);
  EXPECT_EQ((*json)["findings"][0]["where"].text, "app files");
  EXPECT_TRUE((*json)["errors"].members.empty());
  const auto& backup = (*json)["backup"];
  EXPECT_EQ(backup["displayName"].text, model.info.displayName);
  EXPECT_EQ(backup["serialNumber"].text, model.info.serialNumber);
  EXPECT_EQ(backup["encrypted"].kind, testing::Json::Kind::kBool);
  const auto& categories = (*json)["categories"];
  EXPECT_EQ(categories.Keys(),
            (std::vector<std::string>{"cameraRoll", "photoStream", "messages", "messageAttachments",
                                      "contacts", "callHistory", "notes", "appPhotos", "appVideos",
                                      "whatsApp", "whatsAppAttachments"}));
  ASSERT_EQ(categories["cameraRoll"].items.size(), model.cameraRoll.size());
  EXPECT_EQ(categories["cameraRoll"][0]["name"].text, model.cameraRoll[0].name);
  // A backup without a photo library: every file is live and says nothing more.
  EXPECT_EQ(categories["cameraRoll"][0].Keys(),
            (std::vector<std::string>{"size", "name", "path", "deleted"}));
  for (const auto& file : categories["cameraRoll"].items) EXPECT_FALSE(file["deleted"].boolean);
  // Conversations in ascending key order, each with its messages and a deleted mark.
  const auto& conversations = categories["messages"].items;
  ASSERT_FALSE(conversations.empty());
  long long previous = INT32_MIN;
  bool anyDeleted = false;
  for (const auto& c : conversations) {
    EXPECT_GT(c["conversationId"].Number(), previous);
    previous = c["conversationId"].Number();
    EXPECT_EQ(c.Keys(),
              (std::vector<std::string>{"conversationId", "handleId", "address", "contactName",
                                        "conversation", "deleted", "messages"}));
    bool deleted = false;
    for (const auto& m : c["messages"].items) deleted = deleted || m["deleted"].boolean;
    EXPECT_EQ(c["deleted"].boolean, deleted);
    anyDeleted = anyDeleted || deleted;
  }
  EXPECT_TRUE(anyDeleted);
  bool faceTime = false, missed = false;
  for (const auto& call : categories["callHistory"].items) {
    faceTime = faceTime || call["kind"].text.starts_with("faceTime");
    missed = missed || (call["isIncoming"].boolean && !call["answered"].boolean);
  }
  EXPECT_TRUE(faceTime);
  EXPECT_TRUE(missed);
  for (const auto& chat : categories["whatsApp"].items) {
    EXPECT_EQ(chat.Keys(), (std::vector<std::string>{"sessionId", "partnerName", "chatNames",
                                                     "chatIds", "deleted", "messages"}));
  }
  EXPECT_EQ(categories["appPhotos"].items.size() + categories["appVideos"].items.size(),
            model.appFiles.size());
  EXPECT_TRUE(categories["appPhotos"][0].Has("app"));
  EXPECT_TRUE(IsValidUtf8(out.str()));
}

// Today's media through the whole scan and the JSON: WhatsApp's files of the shared container
// and the messages that show them know each other, the Live Photos' movies name their photos.
TEST(FullScan, WhatsAppMediaMeetTheirMessagesAndLivePhotosTheirMovies) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const fx::BackupModel model = fx::WriteSampleBackup(dir / "backup");
  Scanned s = ScanFolder(dir, dir / "backup");
  ASSERT_EQ(s.result, kResultOk);
  const ScanResults& r = s.run->Results();
  ASSERT_EQ(Listed(r.whatsAppAttachments), model.whatsAppFiles);
  ASSERT_EQ(Listed(r.cameraRoll), model.cameraRoll);

  // Each tied file is shown by exactly one message of its chat, which names it; no other
  // message names a file.
  std::map<std::string, int> shownBy;
  std::set<std::int32_t> chats;
  for (const auto& [session, messages] : r.whatsApp) {
    for (const WhatsAppMessageRecord& m : messages) {
      if (m.mediaFile.empty()) continue;
      ++shownBy[m.mediaFile.str()];
      EXPECT_EQ(m.sessionId, session);
      EXPECT_FALSE(m.mediaPath.empty());
    }
  }
  std::map<std::string, int> tied;
  for (const FileRecord& f : r.whatsAppAttachments) {
    if (f.sessionId < 0) continue;
    tied[f.name] = 1;
    chats.insert(f.sessionId);
    EXPECT_FALSE(f.messageDate.empty()) << f.name;
    EXPECT_EQ(f.key.substr(f.key.find("-Message/Media/") + 15, f.chatJid.size()), f.chatJid);
  }
  EXPECT_EQ(shownBy, tied);
  EXPECT_EQ(chats.size(), 3u) << "media in three chats";

  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), 0)
      << err.str();
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json) << "not JSON";
  const auto& categories = (*json)["categories"];
  std::map<std::string, std::string> halves;
  for (const auto& file : categories["cameraRoll"].items) {
    if (file.Has("livePhotoOf")) halves[file["name"].text] = file["livePhotoOf"].text;
  }
  EXPECT_EQ(halves, (std::map<std::string, std::string>{{"IMG_0030.MOV", "IMG_0030.HEIC"},
                                                        {"IMG_0031.MOV", "IMG_0031.JPG"}}));
  std::size_t jsonTied = 0;
  for (const auto& file : categories["whatsAppAttachments"].items) {
    if (!file.Has("sessionId")) continue;
    ++jsonTied;
    EXPECT_TRUE(file.Has("chatJid") && file.Has("chatName") && file.Has("messageDate"));
    EXPECT_TRUE(r.whatsApp.contains(static_cast<std::int32_t>(file["sessionId"].Number())));
  }
  EXPECT_EQ(jsonTied, tied.size());
  std::size_t jsonShown = 0;
  for (const auto& chat : categories["whatsApp"].items) {
    for (const auto& m : chat["messages"].items) {
      ASSERT_TRUE(m.Has("mediaPath") && m.Has("mediaFile"));
      jsonShown += !m["mediaFile"].text.empty();
    }
  }
  EXPECT_EQ(jsonShown, tied.size());
}

// The sample backup's Camera Roll through the whole scan: the files its photo library has in
// "Recently Deleted" are deleted records, the deleted-only filter shows exactly them, and the
// JSON says so; files without a row are listed as the walk found them.
TEST(FullScan, TrashedCameraRollFilesAreDeletedRecords) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const fx::BackupModel model = fx::WriteSampleBackup(dir / "backup");
  Scanned s = ScanFolder(dir, dir / "backup");
  ASSERT_EQ(s.result, kResultOk);
  const ScanResults& r = s.run->Results();
  ASSERT_EQ(Listed(r.cameraRoll), model.cameraRoll);
  ASSERT_EQ(model.cameraRollFacts.size(), r.cameraRoll.size());

  std::set<std::string> trashed, expectedTrashed;
  for (std::size_t i = 0; i < r.cameraRoll.size(); ++i) {
    const FileRecord& file = r.cameraRoll[i];
    const fx::ExpectedPhotoFacts& facts = model.cameraRollFacts[i];
    if (file.deleted) trashed.insert(file.key);
    if (facts.trashed) expectedTrashed.insert(file.key);
    EXPECT_EQ(file.hidden, facts.hidden) << file.key;
    EXPECT_EQ(file.originalName, facts.originalName) << file.key;
    if (!facts.inLibrary) {
      EXPECT_TRUE(file.dateText.empty() && !file.deleted && !file.hidden) << file.key;
    }
  }
  EXPECT_EQ(trashed, expectedTrashed);
  EXPECT_EQ(trashed.size(), 5u) << "trashed Camera Roll files found";
  // The rows without a listed file (iCloud-only, missing or unreadable) are counted.
  const std::string rows = std::to_string(model.photoRowsWithoutFile) + " rows (";
  EXPECT_GT(model.photoRowsWithoutFile, 0);
  EXPECT_TRUE(std::any_of(r.findings.begin(), r.findings.end(), [&](const Finding& f) {
    return f.file == kPhotoLibraryLabel && f.why.starts_with(rows);
  }));

  SelectionModel& selection = s.run->Selection();
  selection.ApplyFilter(kCodeCameraRoll, true);
  std::set<std::string> shown;
  for (const FileRecord& file : r.cameraRoll) {
    if (!selection.Hidden(&file)) shown.insert(file.key);
  }
  EXPECT_EQ(shown, expectedTrashed);
  const Counter* counter = selection.CategoryCounter(kCodeCameraRoll);
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->total - counter->filtered, expectedTrashed.size());

  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), 0)
      << err.str();
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json);
  const auto& files = (*json)["categories"]["cameraRoll"].items;
  ASSERT_EQ(files.size(), model.cameraRoll.size());
  std::size_t deleted = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fx::ExpectedPhotoFacts& facts = model.cameraRollFacts[i];
    EXPECT_EQ(files[i]["deleted"].boolean, facts.trashed);
    EXPECT_EQ(files[i].Has("hidden"), facts.hidden);
    EXPECT_EQ(files[i].Has("date"), facts.inLibrary);
    EXPECT_EQ(files[i].Has("originalName"), !facts.originalName.empty());
    if (facts.inLibrary) {
      EXPECT_EQ(files[i]["date"].text, AppleTimeText(facts.dateCreated));
    }
    deleted += files[i]["deleted"].boolean ? 1 : 0;
  }
  EXPECT_EQ(deleted, expectedTrashed.size());
}

TEST(KestrioCli, UsageErrorsAndUnopenableBackups) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  EXPECT_EQ(cli::RunCli({}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"frobnicate"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"scan"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"scan", "a", "b"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"scan", "a", "--json"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"scan", "a", "--bogus"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"--help"}, terminal), cli::kExitOk);
  EXPECT_NE(out.str().find("kestrio-cli scan BACKUP"), std::string::npos);
  EXPECT_EQ(cli::RunCli({"scan", (dir / "absent").string()}, terminal), cli::kExitUnopened);
  // A folder without an index opens nothing.
  std::filesystem::create_directories(dir / "empty");
  EXPECT_EQ(cli::RunCli({"scan", (dir / "empty").string()}, terminal), cli::kExitUnopened);
  // An encrypted backup without its password.
  const fx::EncryptedBackupModel encrypted =
      fx::WriteEncryptedCases(dir / "enc", fx::EncryptionOptions{});
  err.str("");
  EXPECT_EQ(cli::RunCli({"scan", (dir / "enc").string()}, terminal), cli::kExitPassword);
  EXPECT_NE(err.str().find("password"), std::string::npos);
  // One that says it is encrypted but has no keybag: no password can help, and it says so.
  plist_t manifest = plist_new_dict();
  plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(1));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(manifest, &xml, &length);
  std::ofstream(dir / "enc" / "Manifest.plist", std::ios::binary | std::ios::trunc)
      << std::string(xml, length);
  free(xml);
  plist_free(manifest);
  err.str("");
  EXPECT_EQ(cli::RunCli({"scan", (dir / "enc").string(), "--password", "kestrio"}, terminal),
            cli::kExitUnopened);
  EXPECT_NE(err.str().find("keybag"), std::string::npos) << err.str();
}

// Manifest.plist says whether a backup is encrypted: an unencrypted backup whose address book
// happens to be damaged is scanned, the address book failing on its own.
TEST(KestrioCli, ADamagedAddressBookDoesNotMakeABackupEncrypted) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", fx::BackupOptions{});
  const auto* book = model.Find(fx::kAddressBookKey);
  ASSERT_NE(book, nullptr);
  std::FILE* f = std::fopen(book->path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fputs("\x8f\x13\x22", f);  // no longer starts with "SQLite"
  std::fclose(f);
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), cli::kExitOk)
      << err.str();
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json);
  EXPECT_FALSE((*json)["backup"]["encrypted"].boolean);
  EXPECT_TRUE((*json)["errors"].Has("contacts"));
  EXPECT_NE(err.str().find("warning: contacts: AddressBook.sqlitedb could not be read"),
            std::string::npos)
      << err.str();
  EXPECT_FALSE((*json)["categories"]["messages"].items.empty());
}

// A category whose database is not in the backup is a note, not an error; one whose database
// has none of its tables is a warning naming the file. Both reach standard error and the JSON.
TEST(KestrioCli, AbsentAndUnrecognisedDatabasesAreExplained) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", fx::BackupOptions{});
  std::filesystem::remove(model.Find(fx::kCallHistoryStoreKey)->path);
  std::filesystem::remove(model.Find(fx::kNotesKey)->path);
  std::filesystem::remove(model.Find(fx::kNoteStoreKey)->path);  // neither note store
  {
    const auto chats = model.Find(fx::kWhatsAppGroupKey)->path;
    std::filesystem::remove(chats);
    testing::ExecSql(chats, "CREATE TABLE ZWASTATUS (Z_PK INTEGER PRIMARY KEY, ZTEXT VARCHAR)");
  }
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), cli::kExitOk)
      << err.str();
  const std::string said = err.str();
  EXPECT_NE(said.find("note: callHistory: no call history in this backup"), std::string::npos)
      << said;
  EXPECT_NE(said.find("(HomeDomain-Library/CallHistoryDB/CallHistory.storedata)"),
            std::string::npos);
  EXPECT_NE(said.find("note: notes: no notes in this backup (nor the older "
                      "Library/Notes/notes.sqlite) (AppDomainGroup-group.com.apple.notes-"
                      "NoteStore.sqlite)"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("warning: whatsApp: ChatStorage.sqlite has no message table (layout not "
                      "recognised) (AppDomainGroup-group.net.whatsapp.WhatsApp.shared-"
                      "ChatStorage.sqlite, error 1007)"),
            std::string::npos)
      << said;
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json);
  const auto& errors = (*json)["errors"];
  EXPECT_EQ(errors.Keys(), std::vector<std::string>{"whatsApp"});
  EXPECT_EQ(errors["whatsApp"].Number(), kResultLayoutUnknown);
  std::set<std::string> reasons;
  for (const auto& finding : (*json)["findings"].items) reasons.insert(finding["why"].text);
  EXPECT_TRUE(reasons.count("ChatStorage.sqlite has no message table (layout not recognised)"));
  EXPECT_TRUE(reasons.count("no notes in this backup (nor the older Library/Notes/notes.sqlite)"));
}

TEST(KestrioCli, AnInterruptStopsTheScanWithExitCodeTwo) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::WriteBackup(dir / "backup", fx::BackupOptions{});
  std::atomic<bool> interrupted{true};  // Ctrl-C before the first report
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, &interrupted, {}};
  EXPECT_EQ(cli::RunCli({"scan", (dir / "backup").string()}, terminal), cli::kExitStopped);
  EXPECT_NE(err.str().find("stopped"), std::string::npos);
}

TEST(KestrioCli, RecoverWritesTheChosenCategoriesOnly) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const fx::BackupModel model = fx::WriteBackup(dir / "backup", fx::BackupOptions{});
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, KESTRIO_SOURCE_DIR};
  const std::string backup = (dir / "backup").string();
  ASSERT_EQ(cli::RunCli({"recover", backup, "--out", (dir / "a").string(), "--category",
                         "cameraRoll", "--category", "notes"},
                        terminal),
            0)
      << err.str();
  std::set<std::string> folders;
  for (const auto& e : std::filesystem::directory_iterator(dir / "a"))
    folders.insert(e.path().filename().string());
  EXPECT_EQ(folders, (std::set<std::string>{"Camera Roll", "Notes"}));
  // The notes report holds the notes of both stores, with their folder and the locked mark.
  for (const auto& e : std::filesystem::directory_iterator(dir / "a" / "Notes")) {
    std::ifstream in(e.path());
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(html.find("<td>Pasta sauce</td><td>Recipes</td>"), std::string::npos);
    EXPECT_NE(html.find("<td>Bank codes</td><td>Notes</td>"), std::string::npos);
    EXPECT_NE(html.find("Locked note: the text is encrypted"), std::string::npos);
    EXPECT_NE(html.find("<td>Old idea</td><td>Recently Deleted</td>"), std::string::npos);
  }
  std::ostringstream json, jsonErr;
  cli::Terminal jsonTerminal{json, jsonErr, false, nullptr, KESTRIO_SOURCE_DIR};
  ASSERT_EQ(cli::RunCli({"scan", backup, "--json", "-"}, jsonTerminal), 0) << jsonErr.str();
  EXPECT_NE(json.str().find("\"folder\": \"Recently Deleted\""), std::string::npos);
  EXPECT_NE(json.str().find("\"locked\": true"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "a" / "Camera Roll"),
                          std::filesystem::directory_iterator()),
            static_cast<std::ptrdiff_t>(model.cameraRoll.size()));
  EXPECT_NE(out.str().find("Recovered "), std::string::npos);

  // Deleted records only: of the files only the Camera Roll's in "Recently Deleted", and only
  // conversations with a deleted message.
  ASSERT_EQ(
      cli::RunCli({"recover", backup, "--out", (dir / "b").string(), "--deleted-only"}, terminal),
      0);
  const auto trashed = std::count_if(model.cameraRollFacts.begin(), model.cameraRollFacts.end(),
                                     [](const fx::ExpectedPhotoFacts& f) { return f.trashed; });
  ASSERT_GT(trashed, 0);
  // A Live Photo comes out whole: the other half of a trashed half comes along.
  std::set<std::string> trashedNames, companions;
  for (std::size_t i = 0; i < model.cameraRoll.size(); ++i) {
    if (model.cameraRollFacts[i].trashed) trashedNames.insert(model.cameraRoll[i].name);
  }
  for (const fx::ExpectedMediaFile& f : model.cameraRoll) {
    if (f.livePhotoOf.empty()) continue;
    if (trashedNames.contains(f.name) && !trashedNames.contains(f.livePhotoOf))
      companions.insert(f.livePhotoOf);
    if (trashedNames.contains(f.livePhotoOf) && !trashedNames.contains(f.name))
      companions.insert(f.name);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "b" / "Camera Roll"),
                          std::filesystem::directory_iterator()),
            trashed + static_cast<std::ptrdiff_t>(companions.size()));
  EXPECT_FALSE(std::filesystem::exists(dir / "b" / "Photo Stream"));
  EXPECT_TRUE(std::filesystem::exists(dir / "b" / "Message" / "sms.csv"));
  EXPECT_TRUE(std::filesystem::exists(dir / "b" / "CallHistory"));

  EXPECT_EQ(cli::RunCli({"recover", backup}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"recover", backup, "--out", "x", "--category", "bogus"}, terminal),
            cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"scan", backup, "--deleted-only"}, terminal), cli::kExitUsage);
  // Without the templates nothing is written.
  cli::Terminal bare{out, err, false, nullptr, dir / "nowhere"};
  EXPECT_EQ(cli::RunCli({"recover", backup, "--out", (dir / "c").string()}, bare),
            cli::kExitUnopened);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "c"));
}

TEST(KestrioCli, PrintWritesOneCategorysPageAsHtml) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::WriteBackup(dir / "backup", fx::BackupOptions{});
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, KESTRIO_SOURCE_DIR};
  const std::string backup = (dir / "backup").string();
  auto page = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"print", backup, "--out", (dir / "page.html").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(cli::RunCli(args, terminal), cli::kExitOk) << err.str();
    std::ifstream in(dir / "page.html");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  auto blocks = [](const std::string& html) {
    std::size_t n = 0;
    for (std::size_t at = html.find("<div>\r\n"); at != std::string::npos;
         at = html.find("<div>\r\n", at + 1))
      ++n;
    return n;
  };
  const std::string all = page({"--category", "callHistory"});
  EXPECT_TRUE(all.starts_with("<!DOCTYPE html>"));
  const std::string deleted = page({"--category", "callHistory", "--deleted-only"});
  EXPECT_GT(blocks(deleted), 0u);
  EXPECT_LT(blocks(deleted), blocks(all));
  EXPECT_EQ(blocks(page({"--category", "cameraRoll"})), 0u);  // files print nothing

  EXPECT_EQ(cli::RunCli({"print", backup, "--out", "x.html"}, terminal), cli::kExitUsage);
  EXPECT_EQ(cli::RunCli({"print", backup, "--category", "notes", "--category", "contacts", "--out",
                         "x.html"},
                        terminal),
            cli::kExitUsage);
  // A PDF needs the desktop program beside kestrio-cli; where it is, it prints the page.
  EXPECT_EQ(cli::RunCli({"print", backup, "--category", "notes", "--out", "x.pdf"}, terminal),
            cli::kExitUsage);
  EXPECT_NE(err.str().find("desktop program"), std::string::npos);
  namespace fs = std::filesystem;
  const fs::path desktop = fs::path(KESTRIO_BIN_DIR) / "kestrio";
  if (!fs::exists(desktop)) return;  // a build without the desktop program
  const fs::path program = dir / "program";
  fs::create_directories(program);
  fs::copy(fs::path(KESTRIO_SOURCE_DIR) / "template", program / "template",
           fs::copy_options::recursive);
  fs::create_symlink(desktop, program / "kestrio");
  cli::Terminal beside{out, err, false, nullptr, program};
  const fs::path pdf = dir / "calls.pdf";
  ASSERT_EQ(
      cli::RunCli({"print", backup, "--category", "callHistory", "--out", pdf.string()}, beside),
      cli::kExitOk)
      << err.str();
  std::ifstream in(pdf, std::ios::binary);
  char magic[5] = {};
  in.read(magic, 4);
  EXPECT_STREQ(magic, "%PDF");
  for (const auto& entry :
       fs::directory_iterator(dir.path()))  // the page it was printed from is gone
    EXPECT_EQ(entry.path().string().find(".print-"), std::string::npos) << entry.path();
}

TEST(KestrioCli, BackupsListsTheDiscoveredBackupsNewestFirst) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  setenv("KESTRIO_BACKUP_DIRS", (dir / "root").c_str(), 1);
  fx::BackupOptions older, newer;
  older.seed = 1;
  newer.seed = 2;
  fx::BackupInfo info;
  const auto a = fx::WriteBackup(dir / "root" / "a", older);
  const auto b = fx::WriteBackup(dir / "root" / "b", newer);
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"backups", "--json"}, terminal), 0);
  unsetenv("KESTRIO_BACKUP_DIRS");
  const auto json = testing::ParseJson(out.str());
  ASSERT_TRUE(json);
  ASSERT_EQ(json->items.size(), 2u);
  const bool aFirst = a.info.lastBackupDate >= b.info.lastBackupDate;
  EXPECT_EQ((*json)[0]["serialNumber"].text, (aFirst ? a : b).info.serialNumber);
  EXPECT_EQ((*json)[1]["serialNumber"].text, (aFirst ? b : a).info.serialNumber);
}

}  // namespace
}  // namespace kestrio
