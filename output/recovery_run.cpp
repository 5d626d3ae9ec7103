#include "output/recovery_run.h"

#include <cstdio>
#include <unordered_set>

namespace kestrio {
namespace {

namespace fs = std::filesystem;

// Longest name a Linux file system takes, in bytes; room is kept for a "(n)" suffix.
constexpr std::size_t kMaxName = 255;
constexpr std::size_t kUniqueSuffixRoom = 12;
constexpr std::string_view kUnknown = "Unknown";

std::size_t Utf8Boundary(std::string_view text, std::size_t at) {
  while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  return at;
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

void MakeFolder(const fs::path& folder) {
  std::error_code ignored;
  fs::create_directories(folder, ignored);
}

const char* FolderOf(std::int32_t code) {
  switch (code) {
    case kCodeCameraRoll:
      return "Camera Roll";
    case kCodePhotoStream:
      return "Photo Stream";
    case kCodeAppPhotos:
      return "App Photos";
    case kCodeAppVideos:
      return "App Video";
    case kCodeMessageAttachments:
      return "Message Attachments";
    case kCodeWhatsAppAttachments:
      return "WhatsApp Attachments";
    default:
      return "";
  }
}

bool Recovered(const SelectionEntry& entry) {
  return entry.group == 0 && entry.ticked != 0 && entry.reserved == 0 && entry.item != nullptr;
}

// A Live Photo is recovered whole: the Camera Roll files that are the other half of a ticked
// one and are not ticked themselves, each once, in the order their halves come.
std::vector<const FileRecord*> LivePhotoCompanions(const SelectionModel& selection,
                                                   const ScanResults& results) {
  std::unordered_set<const FileRecord*> ticked;
  std::vector<const FileRecord*> order;
  for (const SelectionEntry* entry : selection.Entries()) {
    if (entry->categoryCode != kCodeCameraRoll || !Recovered(*entry)) continue;
    const auto* file = static_cast<const FileRecord*>(entry->item);
    if (ticked.insert(file).second) order.push_back(file);
  }
  std::vector<const FileRecord*> companions;
  std::unordered_set<const FileRecord*> taken;
  for (const FileRecord* file : order) {
    const FileRecord* partner = LivePhotoPartner(results.cameraRoll, *file);
    if (partner != nullptr && !ticked.contains(partner) && taken.insert(partner).second)
      companions.push_back(partner);
  }
  return companions;
}

}  // namespace

std::string SafeFileName(std::string_view name) {
  std::string safe;
  safe.reserve(name.size());
  for (char c : name) safe += (c == '/' || c == '\0') ? '_' : c;
  if (safe.empty() || safe == "." || safe == "..") return "_";
  const std::size_t limit = kMaxName - kUniqueSuffixRoom;
  if (safe.size() <= limit) return safe;
  // Keep a short extension; cut the rest on a character boundary.
  const std::size_t dot = safe.rfind('.');
  std::string extension =
      dot != std::string::npos && dot > 0 && safe.size() - dot <= 16 ? safe.substr(dot) : "";
  const std::size_t keep = Utf8Boundary(safe, limit - extension.size());
  return safe.substr(0, keep) + extension;
}

fs::path UniquePath(const fs::path& path) {
  if (!Exists(path)) return path;
  const fs::path folder = path.parent_path();
  const std::string stem = path.stem().string();
  const std::string extension = path.extension().string();
  for (int n = 1;; ++n) {
    fs::path candidate = folder / (stem + "(" + std::to_string(n) + ")" + extension);
    if (!Exists(candidate)) return candidate;
  }
}

std::string RunStamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

RecoveryRun::RecoveryRun(RecoverySource source, fs::path outputRoot, fs::path programFolder,
                         RecoveryObserver observer)
    : source_(std::move(source)),
      root_(std::move(outputRoot)),
      programFolder_(std::move(programFolder)),
      observer_(std::move(observer)) {}

RecoveryRun::~RecoveryRun() {
  Cancel();
  Wait();
}

Result RecoveryRun::LoadTemplates(std::string& missing) {
  static constexpr ReportTemplate kOrder[] = {ReportTemplate::kCallHistory, ReportTemplate::kNotes,
                                              ReportTemplate::kContacts, ReportTemplate::kMessages,
                                              ReportTemplate::kWhatsApp};
  for (ReportTemplate t : kOrder) {
    const Result loaded =
        LoadTemplate(t, programFolder_, source_.deviceName, templates_[static_cast<int>(t)]);
    if (loaded != kResultOk) {
      missing = (programFolder_ / TemplateRelativePath(t)).string();
      return loaded;
    }
  }
  return kResultOk;
}

void RecoveryRun::Start() {
  finished_.Clear();
  worker_ = std::thread([this] { Run(); });
}

void RecoveryRun::Wait() {
  if (worker_.joinable()) worker_.join();
}

void RecoveryRun::Cancel() { cancel_ = true; }

std::vector<RecoveryStatusRow> RecoveryRun::StatusRows() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<RecoveryStatusRow> rows(failures_.rbegin(), failures_.rend());
  rows.insert(rows.end(), successes_.begin(), successes_.end());
  return rows;
}

Result RecoveryRun::Report(std::int32_t percent, Result error, const fs::path& path) {
  std::lock_guard<std::mutex> guard(lock_);
  if (cancel_) return kResultStopped;
  if (percent >= 100) {
    finalReport_ = true;
    RecoveryStatusRow row{path, error != kResultOk ? ResultText(error) : "Success",
                          error != kResultOk};
    if (row.failed) {
      ++failed_;
      failures_.push_back(row);
    } else {
      successes_.push_back(row);
    }
    ++done_;
    if (observer_.status) observer_.status(row);
  }
  if (observer_.progress) observer_.progress({percent, path, done_, total_, failed_});
  return kResultOk;
}

CopyProgress RecoveryRun::Progress() {
  return [this](std::int32_t p, Result e, const fs::path& d) { return Report(p, e, d); };
}

void RecoveryRun::CountItem(const fs::path& path, Result error) {
  // Reported as a final progress call would have been; a cancel does not hide it.
  std::lock_guard<std::mutex> guard(lock_);
  RecoveryStatusRow row{path, error != kResultOk ? ResultText(error) : "Success",
                        error != kResultOk};
  (row.failed ? failures_ : successes_).push_back(row);
  failed_ += row.failed ? 1 : 0;
  ++done_;
  if (observer_.status) observer_.status(row);
  if (observer_.progress) observer_.progress({100, path, done_, total_, failed_});
}

bool RecoveryRun::PathTooLong(const fs::path& path) {
  if (path.native().size() <= kMaxDestinationPath) return false;
  CountItem(path, SystemResult(ENAMETOOLONG));
  return true;
}

void RecoveryRun::CopyFile(const fs::path& source, const fs::path& destination) {
  const fs::path target = UniquePath(destination);
  if (PathTooLong(target)) return;
  finalReport_ = false;
  const Result copied = source_.backend->CopyBackupFile(source, target, Progress());
  // An empty file is copied without any report: count it here.
  if (!finalReport_ && copied == kResultOk) CountItem(target, kResultOk);
}

void RecoveryRun::ExportConversation(const MessageRecord& row) {
  // A chat of several people is named by its people; a one-to-one chat by its person.
  const bool group = row.conversation.view().find(", ") != std::string_view::npos;
  const std::string person = group                     ? row.conversation.str()
                             : row.contactName.empty() ? std::string(kUnknown)
                                                       : row.contactName.str();
  const std::string number = group ? std::string() : row.address.str();
  const std::string label = number.empty() ? person : person + "(" + number + ")";
  const fs::path folder = root_ / "Message" / (SafeFileName(person) + "-" + stamp_);
  MakeFolder(folder);
  messagesExported_ = true;
  static const std::vector<MessageRecord> kNone;
  const auto it = source_.results->messages.find(row.conversationId);
  const auto& messages = it == source_.results->messages.end() ? kNone : it->second;
  const LoadedTemplate& t = templates_[static_cast<int>(ReportTemplate::kMessages)];
  const std::string head = FillPerson(t.head, person, number);
  const std::string name = SafeFileName(label);
  WriteConversationText(UniquePath(folder / (name + ".txt")), messages);
  const fs::path html = UniquePath(folder / (name + ".html"));
  if (PathTooLong(html)) return;
  WriteConversationHtml(html, head, t.tail, messages, Progress());
}

void RecoveryRun::ExportWhatsAppChat(const WhatsAppMessageRecord& row) {
  const std::string number = (!row.chatIds.empty() ? row.chatIds : row.senderId).str();
  std::string label;
  if (row.partnerName.view().find(',') != std::string_view::npos) {
    label = row.chatNames.str();
  } else if (!row.partnerName.empty()) {
    label = row.partnerName.str() + "(" + number + ")";
  } else {
    label = number;
  }
  if (label.empty()) label = kUnknown;
  const std::string name = SafeFileName(label);
  const fs::path folder = root_ / "WhatsApp Message" / (name + "-" + stamp_);
  MakeFolder(folder);
  static const std::vector<WhatsAppMessageRecord> kNone;
  const auto it = source_.results->whatsApp.find(row.sessionId);
  const auto& messages = it == source_.results->whatsApp.end() ? kNone : it->second;
  const LoadedTemplate& t = templates_[static_cast<int>(ReportTemplate::kWhatsApp)];
  const std::string head = FillPerson(t.head, row.partnerName, number);
  WriteWhatsAppText(UniquePath(folder / (name + ".txt")), messages);
  WriteWhatsAppCsv(UniquePath(folder / (name + ".csv")), messages);
  const fs::path html = UniquePath(folder / (name + ".html"));
  if (PathTooLong(html)) return;
  WriteWhatsAppHtml(html, head, t.tail, messages, Progress());
}

void RecoveryRun::Export(const SelectionEntry& entry) {
  const void* item = entry.item;
  switch (entry.categoryCode) {
    case kCodeCameraRoll:
    case kCodePhotoStream:
    case kCodeWhatsAppAttachments: {
      const auto& file = *static_cast<const FileRecord*>(item);
      CopyFile(file.path, root_ / FolderOf(entry.categoryCode) / SafeFileName(file.name));
      break;
    }
    case kCodeMessageAttachments: {
      const auto& file = *static_cast<const AttachmentFileRecord*>(item);
      CopyFile(file.path, root_ / FolderOf(entry.categoryCode) / SafeFileName(file.name));
      break;
    }
    case kCodeAppPhotos:
    case kCodeAppVideos: {
      const auto& file = *static_cast<const AppFileRecord*>(item);
      const fs::path folder = root_ / FolderOf(entry.categoryCode) / SafeFileName(file.app);
      MakeFolder(folder);
      CopyFile(file.path, folder / SafeFileName(file.name));
      break;
    }
    case kCodeMessages:
      ExportConversation(*static_cast<const MessageRecord*>(item));
      break;
    case kCodeWhatsApp:
      ExportWhatsAppChat(*static_cast<const WhatsAppMessageRecord*>(item));
      break;
    case kCodeContacts: {
      AppendContactRow(contactRows_, *static_cast<const ContactRecord*>(item));
      const fs::path folder = root_ / "Contacts" / stamp_;
      MakeFolder(folder);
      Report(100, kResultOk, folder / "Contacts.html");
      break;
    }
    case kCodeCallHistory:
      AppendCallRow(callRows_, *static_cast<const CallRecord*>(item));
      MakeFolder(root_ / "CallHistory");
      Report(100, kResultOk, root_ / "CallHistory" / ("CallHistory_" + stamp_ + ".html"));
      break;
    case kCodeNotes:
      AppendNoteRow(noteRows_, *static_cast<const NoteRecord*>(item));
      MakeFolder(root_ / "Notes");
      Report(100, kResultOk, root_ / "Notes" / ("Notes_" + stamp_ + ".html"));
      break;
    default:
      break;
  }
}

void RecoveryRun::Finish() {
  std::error_code ignored;
  if (messagesExported_) {
    const fs::path csv = root_ / "Message" / "sms.csv";
    fs::remove(csv, ignored);
    source_.backend->WriteMessagesCsv(csv);
  }
  if (!callRows_.empty()) {
    WriteSummaryReport(root_ / "CallHistory" / ("CallHistory_" + stamp_ + ".html"),
                       templates_[static_cast<int>(ReportTemplate::kCallHistory)], callRows_);
  }
  if (!noteRows_.empty()) {
    WriteSummaryReport(root_ / "Notes" / ("Notes_" + stamp_ + ".html"),
                       templates_[static_cast<int>(ReportTemplate::kNotes)], noteRows_);
  }
  if (!contactRows_.empty()) {
    const fs::path folder = root_ / "Contacts" / stamp_;
    MakeFolder(folder);
    fs::remove(folder / "Contacts.csv", ignored);
    source_.backend->WriteContactsCsv(folder / "Contacts.csv");
    WriteSummaryReport(folder / "Contacts.html",
                       templates_[static_cast<int>(ReportTemplate::kContacts)], contactRows_);
  }
}

Result RecoveryRun::Run(std::time_t now) {
  finished_.Clear();
  stamp_ = RunStamp(now);
  callRows_.clear();
  noteRows_.clear();
  contactRows_.clear();
  messagesExported_ = false;
  std::vector<const FileRecord*> companions;
  if (source_.selection && source_.results)
    companions = LivePhotoCompanions(*source_.selection, *source_.results);
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_ = failed_ = 0;
    failures_.clear();
    successes_.clear();
    total_ =
        source_.selection
            ? static_cast<std::int32_t>(source_.selection->TickedItemCount() + companions.size())
            : 0;
  }
  Result result = kResultOk;
  if (source_.selection && source_.results && source_.backend) {
    for (const SelectionEntry* entry : source_.selection->Entries()) {
      if (cancel_) break;
      if (!Recovered(*entry)) continue;
      Export(*entry);
    }
    for (const FileRecord* file : companions) {
      if (cancel_) break;
      CopyFile(file->path, root_ / FolderOf(kCodeCameraRoll) / SafeFileName(file->name));
    }
    if (cancel_) {
      result = kResultStopped;
    } else {
      Finish();
    }
  }
  finished_.Set();
  return result;
}

}  // namespace kestrio
