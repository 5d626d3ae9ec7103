#include "scan/scan_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

// A back-end that plays a script: Open reports the given percents and returns the given
// result; every category operation reports one percent, fills one item and records its
// name.
class ScriptedBackend final : public ScanBackend {
 public:
  std::vector<std::int32_t> openReports = {0, 1, 12};
  Result openResult = kResultOk;
  std::map<std::string, Result> results;  // operation name -> result (default 0)
  std::vector<std::string> calls;
  std::function<void(const std::string&)> beforeOperation;
  std::function<void(const std::string&)> afterOperation;  // after its last report

  Result SetProgressCallback(ProgressFunction progress) override {
    progress_ = std::move(progress);
    return kResultOk;
  }
  SourceKind Kind() const override { return SourceKind::kBackupFolder; }
  Result Open(const std::string&) override {
    calls.push_back("Open");
    for (std::int32_t p : openReports) {
      if (const Result answer = progress_(p); answer != kResultOk) return answer;
    }
    return openResult;
  }
  Result ScanMessages(ConversationMap& c) override {
    return Fill("ScanMessages", [&] { c[1].push_back(MessageRecord{}); });
  }
  Result ScanMessageAttachments(std::vector<AttachmentFileRecord>& a) override {
    return Fill("ScanMessageAttachments", [&] { a.emplace_back(); });
  }
  Result ScanContacts(std::vector<ContactRecord>& c) override {
    return Fill("ScanContacts", [&] { c.emplace_back(); });
  }
  Result ScanNotes(std::vector<NoteRecord>& n) override {
    return Fill("ScanNotes", [&] { n.emplace_back(); });
  }
  Result ScanCallHistory(std::vector<CallRecord>& c) override {
    return Fill("ScanCallHistory", [&] { c.emplace_back(); });
  }
  Result ScanPhotos(std::vector<FileRecord>& cameraRoll, std::vector<FileRecord>&) override {
    return Fill("ScanPhotos", [&] { cameraRoll.emplace_back(); });
  }
  Result ScanWhatsAppAttachments(std::vector<FileRecord>& w) override {
    return Fill("ScanWhatsAppAttachments", [&] { w.emplace_back(); });
  }
  Result ScanAppFiles(std::vector<AppFileRecord>& files) override {
    return Fill("ScanAppFiles", [&] {
      files.push_back({10, "example.Notes", "clip.MOV", "/x"});
      files.push_back({20, "example.Notes", "scan.png", "/y"});
      files.push_back({30, "other", "data.bin", "/z"});
    });
  }
  Result ScanQQ(ChatAppConversationMap&) override { return kResultOk; }
  Result ScanWeChat(WeChatAccountMap&) override { return kResultOk; }
  Result ScanWhatsAppChats(WhatsAppConversationMap& w) override {
    return Fill("ScanWhatsAppChats", [&] { w[3].emplace_back(); });
  }
  Result ExtractPreview(const std::filesystem::path&, std::string&,
                        const ProgressFunction&) override {
    return kResultOk;
  }
  Result CopyBackupFile(const std::filesystem::path&, const std::filesystem::path&,
                        const CopyProgress&) override {
    return kResultOk;
  }
  Result WriteMessagesCsv(const std::filesystem::path&) override { return kResultOk; }
  Result WriteContactsCsv(const std::filesystem::path&) override { return kResultOk; }
  Result WriteWhatsAppChatText(std::int32_t, const std::filesystem::path&, const std::string&,
                               const ProgressFunction&) override {
    return kResultOk;
  }
  Result WriteQQChatText(const std::string&, const std::filesystem::path&, const std::string&,
                         const ProgressFunction&) override {
    return kResultOk;
  }
  Result WriteWeChatChatText(const std::string&, const std::filesystem::path&, const std::string&,
                             const ProgressFunction&) override {
    return kResultOk;
  }

 private:
  template <typename F>
  Result Fill(const std::string& name, F fill) {
    calls.push_back(name);
    if (beforeOperation) beforeOperation(name);
    fill();  // what was found so far stays, whatever comes next
    if (const Result answer = progress_(20 + 8 * static_cast<std::int32_t>(calls.size()));
        answer != kResultOk)
      return answer;
    if (afterOperation) afterOperation(name);
    auto it = results.find(name);
    return it == results.end() ? kResultOk : it->second;
  }
  ProgressFunction progress_;
};

struct Recorder {
  std::mutex mutex;
  std::vector<ScanEvent> events;
  std::vector<std::int32_t> percents;
  std::vector<std::pair<ScanCategory, bool>> done;
  std::vector<std::pair<std::optional<ScanCategory>, Result>> failures;
  std::vector<Result> finished;
  int countsChanged = 0;

  ScanObserver Observer() {
    ScanObserver o;
    o.event = [this](ScanEvent e) { Locked([&] { events.push_back(e); }); };
    o.progress = [this](std::int32_t p) { Locked([&] { percents.push_back(p); }); };
    o.categoryDone = [this](ScanCategory c, bool f) { Locked([&] { done.emplace_back(c, f); }); };
    o.failed = [this](std::optional<ScanCategory> c, Result r) {
      Locked([&] { failures.emplace_back(c, r); });
    };
    o.finished = [this](Result r) { Locked([&] { finished.push_back(r); }); };
    o.countsChanged = [this] { Locked([&] { ++countsChanged; }); };
    return o;
  }
  template <typename F>
  void Locked(F f) {
    std::lock_guard<std::mutex> guard(mutex);
    f();
  }
};

TEST(ScanRun, RunsEveryOperationInOrderAndHandsEachCategoryOff) {
  auto backend = std::make_unique<ScriptedBackend>();
  ScriptedBackend* script = backend.get();
  script->openReports = {0, 1, 1, 150};
  script->results["ScanNotes"] = kResultInvalid;  // a failing category does not end the run
  Recorder recorder;
  ScanRun run(std::move(backend), "", recorder.Observer());
  EXPECT_EQ(run.Run(), kResultOk);

  EXPECT_EQ(script->calls, (std::vector<std::string>{
                               "Open", "ScanPhotos", "ScanMessages", "ScanMessageAttachments",
                               "ScanContacts", "ScanCallHistory", "ScanNotes", "ScanAppFiles",
                               "ScanWhatsAppChats", "ScanWhatsAppAttachments"}));
  // 0 shows nothing; the first 1 raises the first-progress event once and shows 2; 150 shows
  // 99 and nothing later can exceed it.
  EXPECT_EQ(recorder.events, std::vector<ScanEvent>{ScanEvent::kFirstProgress});
  ASSERT_GE(recorder.percents.size(), 2u);
  EXPECT_EQ(recorder.percents[0], 2);
  EXPECT_EQ(recorder.percents[1], 99);
  // A later report above 99 shows 99 again; nothing goes back down.
  for (std::int32_t p : recorder.percents) EXPECT_LE(p, 99);
  EXPECT_TRUE(std::is_sorted(recorder.percents.begin(), recorder.percents.end()));
  EXPECT_EQ(run.Percent(), 99);

  // Every category in the page's order; Photo Stream and App Videos come with their partner.
  std::vector<ScanCategory> order;
  for (const auto& [category, found] : recorder.done) order.push_back(category);
  std::vector<ScanCategory> all;
  for (int i = 0; i < kScanCategoryCount; ++i) all.push_back(static_cast<ScanCategory>(i));
  EXPECT_EQ(order, all);
  EXPECT_FALSE(recorder.done[1].second);  // no Photo Stream files
  EXPECT_TRUE(recorder.done[6].second);   // the notes were filled before the failure
  ASSERT_EQ(recorder.failures.size(), 1u);
  EXPECT_EQ(recorder.failures[0].first, ScanCategory::kNotes);
  EXPECT_EQ(recorder.failures[0].second, kResultInvalid);
  EXPECT_EQ(recorder.finished, std::vector<Result>{kResultOk});

  const ScanResults& results = run.Results();
  EXPECT_EQ(results.Count(ScanCategory::kAppPhotos), 2u);
  EXPECT_EQ(results.Count(ScanCategory::kAppVideos), 1u);
  EXPECT_EQ(results.appVideos.at("example.Notes").front().name, "clip.MOV");
  EXPECT_EQ(results.appPhotos.at("other").front().name, "data.bin");
}

TEST(ScanRun, OpenResultsDecideEventsAndEnds) {
  struct Case {
    Result open;
    Result end;
    std::vector<ScanEvent> events;
    bool finished;
  };
  const Case cases[] = {
      {kResultStopped, kResultStopped, {ScanEvent::kFirstProgress}, true},
      {kResultOpenQuietStop, kResultStopped, {ScanEvent::kFirstProgress}, true},
      {kResultWrongPassword,
       kResultWrongPassword,
       {ScanEvent::kFirstProgress, ScanEvent::kWrongPassword},
       false},
      {kResultBackupRefused,
       kResultBackupRefused,
       {ScanEvent::kFirstProgress, ScanEvent::kBackupRefused},
       false},
      {kResultInvalid, kResultStopped, {ScanEvent::kFirstProgress, ScanEvent::kOpenFailed}, true},
      {kResultManifestMbdbOpen,
       kResultStopped,
       {ScanEvent::kFirstProgress, ScanEvent::kOpenFailed},
       true},
  };
  for (const Case& c : cases) {
    auto backend = std::make_unique<ScriptedBackend>();
    backend->openResult = c.open;
    ScriptedBackend* script = backend.get();
    Recorder recorder;
    ScanRun run(std::move(backend), "pw", recorder.Observer());
    EXPECT_EQ(run.Run(), c.end) << c.open;
    EXPECT_EQ(recorder.events, c.events) << c.open;
    EXPECT_EQ(recorder.finished.size(), c.finished ? 1u : 0u) << c.open;
    EXPECT_EQ(script->calls, std::vector<std::string>{"Open"}) << c.open;
    EXPECT_TRUE(run.Finished());
  }
}

TEST(ScanRun, PauseHoldsTheWorkerAndStopWhilePausedEndsIt) {
  auto backend = std::make_unique<ScriptedBackend>();
  ScriptedBackend* script = backend.get();
  std::promise<void> reachedContacts;
  std::promise<void> paused;
  std::shared_future<void> pausedFuture = paused.get_future().share();
  script->beforeOperation = [&](const std::string& name) {
    if (name == "ScanContacts") {
      reachedContacts.set_value();
      pausedFuture.wait();  // the owner pauses before the next report
    }
  };
  Recorder recorder;
  fixtures::TempDir dir;
  ScanRun run(std::move(backend), "", recorder.Observer());
  run.Start(dir.path());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "VelmoraiOSRecovery" / "viewInstall"));
  reachedContacts.get_future().wait();
  run.Pause();
  paused.set_value();
  // The worker now waits in its report; it does not get on while paused.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(run.Finished());
  EXPECT_TRUE(run.Paused());
  run.Stop();
  EXPECT_EQ(run.Wait(), kResultStopped);
  EXPECT_FALSE(run.Paused());
  EXPECT_EQ(script->calls.back(), "ScanContacts");
  EXPECT_EQ(recorder.finished, std::vector<Result>{kResultStopped});
  // What was found before the stop stays.
  EXPECT_EQ(run.Results().Count(ScanCategory::kMessages), 1u);
  EXPECT_EQ(run.Results().Count(ScanCategory::kContacts), 1u);
}

TEST(ScanRun, CategoryEndingWhilePausedIsHandedOverOnlyOnResume) {
  auto backend = std::make_unique<ScriptedBackend>();
  std::promise<void> reported, paused;
  std::shared_future<void> pausedFuture = paused.get_future().share();
  backend->afterOperation = [&](const std::string& name) {
    if (name != "ScanContacts") return;
    reported.set_value();
    pausedFuture.wait();  // paused after the operation's last report, before its hand-off
  };
  Recorder recorder;
  ScanRun run(std::move(backend), "", recorder.Observer());
  run.Start({});
  reported.get_future().wait();
  run.Pause();
  paused.set_value();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto handed = [&] {
    std::lock_guard<std::mutex> guard(recorder.mutex);
    return std::count_if(recorder.done.begin(), recorder.done.end(),
                         [](auto& d) { return d.first == ScanCategory::kContacts; });
  };
  EXPECT_EQ(handed(), 0);
  EXPECT_EQ(run.Selection().CategoryCounter(kCodeContacts), nullptr);
  run.Resume();
  EXPECT_EQ(run.Wait(), kResultOk);
  EXPECT_EQ(handed(), 1);
}

TEST(ScanRun, PauseThenResumeGoesOn) {
  auto backend = std::make_unique<ScriptedBackend>();
  Recorder recorder;
  ScanRun run(std::move(backend), "", recorder.Observer());
  run.Pause();
  run.Start({});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(run.Finished());
  run.Resume();
  EXPECT_EQ(run.Wait(), kResultOk);
  EXPECT_EQ(run.Results().Count(ScanCategory::kWhatsAppAttachments), 1u);
}

TEST(ScanRun, AppFilesSplitByExtension) {
  std::vector<AppFileRecord> files;
  for (const char* name : {"clip.MOV", "song.m4a", "photo.JPG", "data.bin", "trip.lrv", "beep.snd",
                           "README", "archive.tar.gz", "x.heic", "a.rm"}) {
    files.push_back({1, "app", name, "/p"});
  }
  AppFileMap photos, videos;
  ScanRun::SplitAppFiles(files, photos, videos);
  std::vector<std::string> videoNames, photoNames;
  for (const auto& f : videos["app"]) videoNames.push_back(f.name);
  for (const auto& f : photos["app"]) photoNames.push_back(f.name);
  EXPECT_EQ(videoNames,
            (std::vector<std::string>{"clip.MOV", "song.m4a", "trip.lrv", "beep.snd", "a.rm"}));
  EXPECT_EQ(photoNames, (std::vector<std::string>{"photo.JPG", "data.bin", "README",
                                                  "archive.tar.gz", "x.heic"}));
}

}  // namespace
}  // namespace kestrio
