#include "scan/scan_run.h"

#include <algorithm>

#include "scan/list_order.h"

namespace kestrio {
namespace {

constexpr std::int32_t kFirstReport = 1;
constexpr std::int32_t kLowestShown = 2;
constexpr std::int32_t kHighestShown = 99;

template <typename Map>
std::size_t ItemsIn(const Map& map) {
  std::size_t n = 0;
  for (const auto& [key, items] : map) n += items.size();
  return n;
}

}  // namespace

std::string_view ScanCategoryKey(ScanCategory category) {
  static constexpr std::string_view kKeys[kScanCategoryCount] = {
      "cameraRoll",         "photoStream", "messages",  "messageAttachments", "contacts",
      "callHistory",        "notes",       "appPhotos", "appVideos",          "whatsApp",
      "whatsAppAttachments"};
  return kKeys[static_cast<int>(category)];
}

std::size_t ScanResults::Count(ScanCategory category) const {
  switch (category) {
    case ScanCategory::kCameraRoll:
      return cameraRoll.size();
    case ScanCategory::kPhotoStream:
      return photoStream.size();
    case ScanCategory::kMessages:
      return ItemsIn(messages);
    case ScanCategory::kMessageAttachments:
      return messageAttachments.size();
    case ScanCategory::kContacts:
      return contacts.size();
    case ScanCategory::kCallHistory:
      return callHistory.size();
    case ScanCategory::kNotes:
      return notes.size();
    case ScanCategory::kAppPhotos:
      return ItemsIn(appPhotos);
    case ScanCategory::kAppVideos:
      return ItemsIn(appVideos);
    case ScanCategory::kWhatsApp:
      return ItemsIn(whatsApp);
    case ScanCategory::kWhatsAppAttachments:
      return whatsAppAttachments.size();
  }
  return 0;
}

ScanRun::ScanRun(std::unique_ptr<ScanBackend> backend, std::string password, ScanObserver observer)
    : backend_(std::move(backend)), password_(std::move(password)), observer_(std::move(observer)) {
  if (backend_) backend_->SetProgressCallback([this](std::int32_t p) { return Report(p); });
}

ScanRun::~ScanRun() {
  if (!Finished()) Stop();
  if (worker_.joinable()) worker_.join();
}

void ScanRun::Start(const std::filesystem::path& applicationData) {
  std::error_code ignored;
  if (!applicationData.empty()) {
    std::filesystem::create_directories(applicationData / "VelmoraiOSRecovery" / "viewInstall",
                                        ignored);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = false;
  }
  finished_.Clear();
  worker_ = std::thread([this] { result_ = Work(); });
}

Result ScanRun::Run() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = false;
  }
  finished_.Clear();
  result_ = Work();
  return result_;
}

Result ScanRun::Wait() {
  if (worker_.joinable()) worker_.join();
  return result_;
}

void ScanRun::Pause() {
  std::lock_guard<std::mutex> guard(lock_);
  paused_ = true;
}

void ScanRun::Resume() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    paused_ = false;
  }
  resumed_.notify_all();
}

void ScanRun::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    paused_ = false;
    if (abortCounter_) ++*abortCounter_;
    stop_ = true;
  }
  resumed_.notify_all();
}

bool ScanRun::Paused() const {
  std::lock_guard<std::mutex> guard(lock_);
  return paused_;
}

Result ScanRun::Report(std::int32_t percent) {
  std::unique_lock<std::mutex> guard(lock_);
  resumed_.wait(guard, [this] { return !paused_ || stop_; });
  if (stop_) return kResultStopped;
  if (percent > percent_.load()) {
    if (percent == kFirstReport) {
      if (observer_.event) observer_.event(ScanEvent::kFirstProgress);
      percent = kLowestShown;
    }
    percent_ = std::clamp(percent, kLowestShown, kHighestShown);
    if (observer_.progress) observer_.progress(percent_.load());
  }
  return kResultOk;
}

void ScanRun::SplitAppFiles(const std::vector<AppFileRecord>& files, AppFileMap& photos,
                            AppFileMap& videos) {
  for (const AppFileRecord& file : files) {
    AppFileMap& map = ClassifyAppFile(file.name) == AppMediaKind::kVideo ? videos : photos;
    map[file.app].push_back(file);
  }
}

void ScanRun::HandOff(ScanCategory category, bool found) {
  ScanResults& r = results_;
  {
    // A paused run hands nothing over either: while paused, what the owner reads (the
    // selection a recovery walks) stays as it is.
    std::unique_lock<std::mutex> guard(lock_);
    resumed_.wait(guard, [this] { return !paused_ || stop_; });
  }
  std::unique_lock selectionLock(selectionLock_);
  switch (category) {
    case ScanCategory::kCameraRoll:
      selection_.BuildFiles(kCodeCameraRoll, r.cameraRoll);
      break;
    case ScanCategory::kPhotoStream:
      selection_.BuildFiles(kCodePhotoStream, r.photoStream);
      break;
    case ScanCategory::kMessages:
      r.conversationRows = ConversationRows(r.messages);
      selection_.BuildConversations(r.conversationRows);
      break;
    case ScanCategory::kMessageAttachments:
      selection_.BuildAttachments(r.messageAttachments);
      break;
    case ScanCategory::kContacts:
      OrderContacts(r.contacts);
      selection_.BuildContacts(r.contacts);
      break;
    case ScanCategory::kCallHistory:
      OrderCalls(r.callHistory);
      selection_.BuildCalls(r.callHistory);
      break;
    case ScanCategory::kNotes:
      OrderNotes(r.notes);
      selection_.BuildNotes(r.notes);
      break;
    case ScanCategory::kAppPhotos:
      selection_.BuildAppFiles(kCodeAppPhotos, r.appPhotos);
      break;
    case ScanCategory::kAppVideos:
      selection_.BuildAppFiles(kCodeAppVideos, r.appVideos);
      break;
    case ScanCategory::kWhatsApp:
      r.whatsAppRows = WhatsAppChatRows(r.whatsApp);
      selection_.BuildWhatsAppChats(r.whatsAppRows);
      break;
    case ScanCategory::kWhatsAppAttachments:
      selection_.BuildFiles(kCodeWhatsAppAttachments, r.whatsAppAttachments);
      break;
  }
  selectionLock.unlock();
  if (observer_.categoryDone) observer_.categoryDone(category, found);
  if (found && observer_.countsChanged) observer_.countsChanged();
}

bool ScanRun::Step(Result result, ScanCategory category, bool found) {
  if (result == kResultStopped) return false;
  if (auto explanation = backend_->TakeExplanation()) {
    if (observer_.explained) observer_.explained(category, *explanation);
    results_.explanations[category] = std::move(*explanation);
  }
  if (result != kResultOk && observer_.failed) observer_.failed(category, result);
  HandOff(category, found);
  return true;
}

Result ScanRun::OpenSource() {
  const Result opened = backend_->Open(password_);
  // -1 is a device backup that gave up (stopped, device gone): it ends quietly.
  if (opened != kResultOk && opened != kResultStopped && opened != kResultOpenQuietStop &&
      observer_.failed)
    observer_.failed(std::nullopt, opened);
  switch (opened) {
    case kResultOk:
      if (observer_.countsChanged) observer_.countsChanged();
      return kResultOk;
    case kResultStopped:
    case kResultOpenQuietStop:
      return kResultStopped;
    case kResultWrongPassword:
      if (observer_.event) observer_.event(ScanEvent::kWrongPassword);
      return opened;
    case kResultBackupRefused:
      if (observer_.event) observer_.event(ScanEvent::kBackupRefused);
      return opened;
    default:
      if (observer_.event) observer_.event(ScanEvent::kOpenFailed);
      return kResultStopped;
  }
}

Result ScanRun::Work() {
  Result result = backend_ ? OpenSource() : kResultInvalid;
  if (result == kResultOk) {
    ScanResults& r = results_;
    ScanBackend& b = *backend_;
    bool going = true;
    // The operations in the scan order; the photos operation fills two categories and the
    // app files operation is split into two.
    auto run = [&](auto operation) {
      if (going) {
        result = operation();
        going = result != kResultStopped;
      }
      return going;
    };
    if (run([&] { return b.ScanPhotos(r.cameraRoll, r.photoStream); })) {
      Step(result, ScanCategory::kCameraRoll, !r.cameraRoll.empty());
      HandOff(ScanCategory::kPhotoStream, !r.photoStream.empty());
    }
    if (run([&] { return b.ScanMessages(r.messages); }))
      Step(result, ScanCategory::kMessages, !r.messages.empty());
    if (run([&] { return b.ScanMessageAttachments(r.messageAttachments); }))
      Step(result, ScanCategory::kMessageAttachments, !r.messageAttachments.empty());
    if (run([&] { return b.ScanContacts(r.contacts); }))
      Step(result, ScanCategory::kContacts, !r.contacts.empty());
    if (run([&] { return b.ScanCallHistory(r.callHistory); }))
      Step(result, ScanCategory::kCallHistory, !r.callHistory.empty());
    if (run([&] { return b.ScanNotes(r.notes); }))
      Step(result, ScanCategory::kNotes, !r.notes.empty());
    if (run([&] { return b.ScanAppFiles(r.appFiles); })) {
      SplitAppFiles(r.appFiles, r.appPhotos, r.appVideos);
      Step(result, ScanCategory::kAppPhotos, !r.appPhotos.empty());
      HandOff(ScanCategory::kAppVideos, !r.appVideos.empty());
    }
    if (run([&] { return b.ScanWhatsAppChats(r.whatsApp); }))
      Step(result, ScanCategory::kWhatsApp, !r.whatsApp.empty());
    if (run([&] { return b.ScanWhatsAppAttachments(r.whatsAppAttachments); }))
      Step(result, ScanCategory::kWhatsAppAttachments, !r.whatsAppAttachments.empty());
  }
  if (backend_) results_.findings = backend_->Findings().Snapshot();
  finished_.Set();
  if ((result == kResultOk || result == kResultStopped) && observer_.finished)
    observer_.finished(result);
  return result;
}

}  // namespace kestrio
