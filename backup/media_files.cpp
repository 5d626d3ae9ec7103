// The media walks over a backup's manifest entries, and the preview copy.
//
// Every walk is one pass over the entries in index order. An entry is picked by substring
// tests on its key ("<domain>-<relative path>"); only a picked entry touches the disk: its
// stored file is opened once, its size taken from the open file and its first 512 bytes read
// to identify it. The name shown is the key's text after its last "/", kept as UTF-8 (made
// valid where the index holds broken bytes); it is never joined to a path here.
#include "backup/media_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "backup/stored_file.h"
#include "base/text.h"

namespace kestrio {
namespace {

constexpr std::string_view kCameraRollDomain = "CameraRollDomain";
constexpr std::string_view kCameraRollKey = "CameraRollDomain-Media/DCIM/";
constexpr std::string_view kPhotoStreamKey = "MediaDomain-Media/PhotoStreamsData/";
constexpr std::string_view kAttachmentKey = "/Attachments/";
constexpr std::string_view kLocalAppKey = "AppDomain-";
// App-group containers (iOS 8 and later: files an app shares with its extensions, e.g.
// WhatsApp's chats and media) and the extensions' own containers.
constexpr std::string_view kLocalGroupKey = "AppDomainGroup-";
constexpr std::string_view kLocalPluginKey = "AppDomainPlugin-";
// The device walk takes all three by their common start.
constexpr std::string_view kDeviceAppKey = "AppDomain";
constexpr std::string_view kGroupPrefix = "group.";
// Where WhatsApp keeps its media below its container: "Message/" in the shared group,
// "Library/" in the app's own container of older versions; then "Media/<chat JID>/...".
constexpr std::string_view kWhatsAppMediaFolders[] = {"Message/", "Library/"};
constexpr std::string_view kWhatsAppMediaFolder = "Media/";
constexpr std::string_view kLocalWhatsAppKey = "net.whatsapp.WhatsApp";
constexpr std::string_view kDeviceWhatsAppKey = "whatsapp.WhatsApp";
constexpr std::string_view kOtherApp = "other";
// In the device walk, a key whose text after its last "." is this long or shorter names the
// type by that text.
constexpr std::size_t kMaxKeyExtension = 30;
constexpr std::size_t kCopyPiece = 65536;

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

const std::vector<ManifestEntry>& EntriesOf(const MediaSource& source) {
  static const std::vector<ManifestEntry> kNone;
  return source.entries != nullptr ? *source.entries : kNone;
}

std::uint32_t Low32(std::uint64_t size) { return static_cast<std::uint32_t>(size); }

std::int32_t ClampPercent(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Reports base + step × reported × weight / count. The step is kept to a sane range so that
// the product stays far inside 64 bits for any number of entries a vector can hold.
Result ReportEntry(const ProgressSink& progress, std::uint64_t reported, std::size_t count,
                   std::int64_t weight) {
  const std::int64_t step = std::clamp<std::int64_t>(progress.span, -(1 << 24), 1 << 24);
  const std::int64_t share =
      step * weight * static_cast<std::int64_t>(reported) / static_cast<std::int64_t>(count);
  return progress.Report(ClampPercent(progress.base + share));
}

// base += weight × step, then reports the new base.
Result AdvanceBase(ProgressSink& progress, std::int64_t weight) {
  progress.base = ClampPercent(progress.base + weight * std::int64_t{progress.span});
  return progress.Report(progress.base);
}

std::string_view DisplayName(std::string_view key) {
  const std::size_t slash = key.rfind('/');
  return slash == std::string_view::npos ? key : key.substr(slash + 1);
}

// The display name without its last extension, a dot and the type's extension in upper case.
std::string ShownName(std::string_view key, std::string_view extension) {
  std::string_view stem = DisplayName(key);
  if (const std::size_t dot = stem.rfind('.'); dot != std::string_view::npos) {
    stem = stem.substr(0, dot);
  }
  std::string name = ToValidUtf8(stem);
  name.push_back('.');
  if (extension.empty()) extension = "jpg";
  for (char c : extension) {
    name.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return name;
}

// The app of an app-domain key: the text after "com." (or, without one, after "net.") up to
// the next "-". Without that "-" the local walk says "other" and the device walk takes the
// rest of the key.
std::string AppName(std::string_view key, AppWalkKind kind) {
  std::size_t at = key.find("com.");
  if (at == std::string_view::npos) at = key.find("net.");
  if (at == std::string_view::npos) return std::string(kOtherApp);
  const std::string_view rest = key.substr(at + 4);
  const std::size_t dash = rest.find('-');
  if (dash != std::string_view::npos) return ToValidUtf8(rest.substr(0, dash));
  return kind == AppWalkKind::kDeviceBackup ? ToValidUtf8(rest) : std::string(kOtherApp);
}

// The bundle identifiers of the apps in the backup: the text after "AppDomain-" up to the
// next "-" of the keys that start with it.
using AppIdentifiers = std::vector<std::string_view>;

std::string_view IdentifierAfter(std::string_view key, std::string_view prefix) {
  if (!key.starts_with(prefix)) return {};
  const std::string_view rest = key.substr(prefix.size());
  return rest.substr(0, rest.find('-'));
}

AppIdentifiers CollectAppIdentifiers(const std::vector<ManifestEntry>& entries) {
  AppIdentifiers ids;
  for (const ManifestEntry& entry : entries) {
    const std::string_view id = IdentifierAfter(entry.key, kLocalAppKey);
    if (!id.empty()) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// The app of a group or plug-in identifier: the longest app identifier that it is or that
// it continues after a "." ("net.whatsapp.WhatsApp" of "net.whatsapp.WhatsApp.shared").
// `apps` is sorted: each candidate, the whole identifier and then each shorter one cut at a
// ".", is looked up.
std::string_view OwningApp(std::string_view id, const AppIdentifiers& apps) {
  for (std::string_view candidate = id; !candidate.empty();) {
    if (std::binary_search(apps.begin(), apps.end(), candidate)) return candidate;
    const std::size_t dot = candidate.rfind('.');
    if (dot == std::string_view::npos) break;
    candidate = candidate.substr(0, dot);
  }
  return {};
}

// The app an entry of the app walk belongs to. App-domain keys go by AppName as they are; a
// group or plug-in key by the app that owns its identifier, named as that app's own key
// would be, else by its identifier ("group." left off) under the same rule.
std::string AppOfKey(std::string_view key, AppWalkKind kind, const AppIdentifiers& apps) {
  std::string_view id;
  if (key.starts_with(kLocalGroupKey)) {
    id = IdentifierAfter(key, kLocalGroupKey);
    if (id.starts_with(kGroupPrefix)) id.remove_prefix(kGroupPrefix.size());
  } else if (key.starts_with(kLocalPluginKey)) {
    id = IdentifierAfter(key, kLocalPluginKey);
  } else {
    return AppName(key, kind);
  }
  const std::string_view owner = OwningApp(id, apps);
  std::string name = AppName(std::string(owner.empty() ? id : owner) + "-", kind);
  return name.empty() ? std::string(kOtherApp) : name;
}

bool IsAppKey(std::string_view key, AppWalkKind kind) {
  if (kind == AppWalkKind::kDeviceBackup) return Contains(key, kDeviceAppKey);
  return Contains(key, kLocalAppKey) || Contains(key, kLocalGroupKey) ||
         Contains(key, kLocalPluginKey);
}

// The path inside the container: the key's text after "<domain>-" for the app domains.
std::string_view ContainerPath(std::string_view key) {
  if (!key.starts_with(kDeviceAppKey)) return {};
  const std::size_t domainDash = key.find('-');
  if (domainDash == std::string_view::npos) return {};
  const std::size_t dash = key.find('-', domainDash + 1);
  return dash == std::string_view::npos ? std::string_view() : key.substr(dash + 1);
}

// A WhatsApp media path ("Media/<JID>/...") as it follows the container's media folder, or
// empty.
std::string_view WhatsAppMediaPath(std::string_view key) {
  const std::string_view path = ContainerPath(key);
  for (const std::string_view folder : kWhatsAppMediaFolders) {
    if (path.starts_with(folder) && path.substr(folder.size()).starts_with(kWhatsAppMediaFolder))
      return path.substr(folder.size());
  }
  return {};
}

// The chat JID a WhatsApp media path is filed under; empty when the folder is no JID (no "@",
// or "." and "..").
std::string ChatJidOf(std::string_view key) {
  std::string_view path = WhatsAppMediaPath(key);
  if (path.empty()) return {};
  path.remove_prefix(kWhatsAppMediaFolder.size());
  const std::size_t slash = path.find('/');
  if (slash == std::string_view::npos) return {};
  const std::string_view jid = path.substr(0, slash);
  if (jid.find('@') == std::string_view::npos || jid == "." || jid == "..") return {};
  return ToValidUtf8(jid);
}

// True for a path that could lead out of the folder it is relative to: absolute, or with a
// ".." component.
bool Climbs(std::string_view path) {
  if (path.starts_with('/')) return true;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (path.substr(start, slash - start) == "..") return true;
    start = slash + 1;
  }
  return false;
}

template <typename Record>
void SortByName(std::vector<Record>& records) {
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return CompareIgnoreCase(a.name, b.name) < 0;
  });
}

void SortByApp(std::vector<AppFileRecord>& records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const AppFileRecord& a, const AppFileRecord& b) {
                     return CompareIgnoreCase(a.app, b.app) < 0;
                   });
}

// The stored file of an entry, opened. `missing` when nothing lies at its path (or the index
// row names no stored file at all).
struct OpenedEntry {
  std::filesystem::path path;
  StoredFile file;
  bool missing = false;
  bool opened = false;
};

void OpenEntry(const MediaSource& source, const ManifestEntry& entry, OpenedEntry& opened) {
  opened.path = StoredPath(source.folder, entry.storedName, source.layout);
  const int error = opened.file.Open(opened.path);
  opened.opened = error == 0;
  opened.missing = IsMissing(error);
}

// The type the device walk takes from the key: empty when the key has no short extension
// (the file is then identified by its bytes), `skip` when it has one that no list holds.
std::string_view KeyExtension(std::string_view key, bool& skip) {
  skip = false;
  const std::size_t dot = key.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view tail = key.substr(dot + 1);
  if (Utf8Length(tail) > kMaxKeyExtension) return {};
  if (IsListedExtension(kPictureExtensions, tail) || IsListedExtension(kAudioExtensions, tail) ||
      IsListedExtension(kVideoExtensions, tail)) {
    return tail;
  }
  skip = true;
  return {};
}

// The app files a walk left out although their names claim a listed type: a file cut short,
// or one whose bytes are of another kind than its name says.
struct LeftOut {
  std::uint64_t count = 0;
  std::string firstKey;
};

bool ClaimsListedType(std::string_view key) {
  const std::string_view name = DisplayName(key);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string extension = AsciiLower(name.substr(dot + 1));
  return IsListedExtension(kPictureExtensions, extension) ||
         IsListedExtension(kAudioExtensions, extension) ||
         IsListedExtension(kVideoExtensions, extension);
}

void AddAppFile(const MediaSource& source, const ManifestEntry& entry, AppWalkKind kind,
                const AppIdentifiers& apps, std::vector<AppFileRecord>& appFiles,
                std::vector<FileRecord>& whatsApp, LeftOut& leftOut) {
  const bool device = kind == AppWalkKind::kDeviceBackup;
  std::string_view extension;
  if (device) {
    bool skip = false;
    extension = KeyExtension(entry.key, skip);
    if (skip) return;
  }
  OpenedEntry stored;
  OpenEntry(source, entry, stored);
  if (!stored.opened || !stored.file.IsRegular()) return;
  if (extension.empty()) extension = stored.file.Identify();
  if (extension.empty()) {
    if (stored.file.Size() != 0 && ClaimsListedType(entry.key)) {
      if (leftOut.count++ == 0) leftOut.firstKey = ToValidUtf8(entry.key);
    }
    return;
  }
  const std::uint32_t size = Low32(stored.file.Size());
  std::string name = ShownName(entry.key, extension);
  if (!device && Contains(entry.key, kLocalWhatsAppKey)) {
    if (size != 0) {
      whatsApp.push_back({.size = size,
                          .name = std::move(name),
                          .path = std::move(stored.path),
                          .key = entry.key,
                          .chatJid = ChatJidOf(entry.key)});
    }
    return;
  }
  if (device && size == 0) return;
  appFiles.push_back(
      {size, AppOfKey(entry.key, kind, apps), std::move(name), std::move(stored.path)});
}

// Writes all of `count` bytes. False with errno set on failure.
bool WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

std::int32_t CopiedPercent(std::uint64_t copied, std::uint64_t size) {
  if (size == 0 || copied >= size) return 100;
  if (copied <= std::numeric_limits<std::uint64_t>::max() / 100) {
    return static_cast<std::int32_t>(copied * 100 / size);
  }
  return static_cast<std::int32_t>(copied / (size / 100));
}

}  // namespace

Result ScanPhotos(const MediaSource& source, ProgressSink& progress,
                  std::vector<FileRecord>& cameraRoll, std::vector<FileRecord>& photoStream) {
  cameraRoll.clear();
  photoStream.clear();
  const std::vector<ManifestEntry>& entries = EntriesOf(source);
  std::uint64_t reported = 0;
  Result result = kResultOk;
  for (const ManifestEntry& entry : entries) {
    std::vector<FileRecord>* list = nullptr;
    if (Contains(entry.key, kCameraRollKey)) {
      list = &cameraRoll;
    } else if (Contains(entry.key, kPhotoStreamKey)) {
      list = &photoStream;
    }
    if (list != nullptr) {
      OpenedEntry stored;
      OpenEntry(source, entry, stored);
      if (stored.missing) continue;  // not reported
      if (const std::string_view type = stored.file.Identify(); !type.empty()) {
        list->push_back({.size = Low32(stored.file.Size()),
                         .name = ToValidUtf8(DisplayName(entry.key)),
                         .path = std::move(stored.path),
                         .key = entry.key});
      }
    }
    result = ReportEntry(progress, ++reported, entries.size(), 2);
    if (result != kResultOk) break;
  }
  SortByName(cameraRoll);
  SortByName(photoStream);
  MarkLivePhotos(cameraRoll);
  if (result != kResultOk) return result;
  return AdvanceBase(progress, 2);
}

Result ScanMessageAttachments(const MediaSource& source, ProgressSink& progress,
                              std::vector<AttachmentFileRecord>& attachments) {
  attachments.clear();
  const std::vector<ManifestEntry>& entries = EntriesOf(source);
  std::uint64_t reported = 0;
  Result result = kResultOk;
  for (const ManifestEntry& entry : entries) {
    if (Contains(entry.key, kAttachmentKey)) {
      OpenedEntry stored;
      OpenEntry(source, entry, stored);
      if (stored.missing) continue;  // not reported
      const std::string_view type = stored.file.Identify();
      const std::uint32_t size = Low32(stored.file.Size());
      if (!type.empty() && size != 0) {
        attachments.push_back(
            {0, size, ShownName(entry.key, type), std::move(stored.path), entry.key});
      }
    }
    result = ReportEntry(progress, ++reported, entries.size(), 1);
    if (result != kResultOk) break;
  }
  SortByName(attachments);
  if (result != kResultOk) return result;
  return AdvanceBase(progress, 1);
}

Result ScanAppFiles(const MediaSource& source, ProgressSink& progress, AppWalkKind kind,
                    std::vector<AppFileRecord>& appFiles, std::vector<FileRecord>& whatsApp) {
  const bool device = kind == AppWalkKind::kDeviceBackup;
  appFiles.clear();
  if (!device) whatsApp.clear();
  const std::vector<ManifestEntry>& entries = EntriesOf(source);
  const AppIdentifiers apps = CollectAppIdentifiers(entries);
  LeftOut leftOut;
  std::uint64_t reported = 0;
  Result result = kResultOk;
  for (const ManifestEntry& entry : entries) {
    if (IsAppKey(entry.key, kind))
      AddAppFile(source, entry, kind, apps, appFiles, whatsApp, leftOut);
    result = ReportEntry(progress, ++reported, entries.size(), 2);
    if (result != kResultOk) break;
  }
  SortByApp(appFiles);
  if (!device) SortByName(whatsApp);
  if (leftOut.count != 0) {
    Report(source.findings,
           {leftOut.firstKey, "stored file", "app files",
            std::to_string(leftOut.count) +
                " app files whose names claim a picture, sound or video type are shorter than " +
                std::to_string(kIdentifyBytes) +
                " bytes or hold no known type; left out (the first is named)"});
  }
  if (result != kResultOk) return result;
  return AdvanceBase(progress, 1);
}

Result ScanWhatsAppAttachments(const MediaSource& source, ProgressSink& progress,
                               std::vector<FileRecord>& whatsApp) {
  whatsApp.clear();
  const std::vector<ManifestEntry>& entries = EntriesOf(source);
  std::uint64_t reported = 0;
  Result result = kResultOk;
  for (const ManifestEntry& entry : entries) {
    if (Contains(entry.key, kDeviceWhatsAppKey)) {
      OpenedEntry stored;
      OpenEntry(source, entry, stored);
      if (stored.missing) continue;  // not reported
      const std::string_view type = stored.file.Identify();
      const std::uint32_t size = Low32(stored.file.Size());
      if (!type.empty() && size != 0) {
        whatsApp.push_back({.size = size,
                            .name = ShownName(entry.key, type),
                            .path = std::move(stored.path),
                            .key = entry.key,
                            .chatJid = ChatJidOf(entry.key)});
      }
    }
    result = ReportEntry(progress, ++reported, entries.size(), 1);
    if (result != kResultOk) break;
  }
  SortByName(whatsApp);
  if (result != kResultOk) return result;
  return AdvanceBase(progress, 1);
}

void ApplyPhotoLibrary(const PhotoLibrary& library, std::vector<FileRecord>& cameraRoll,
                       FindingsSink* findings) {
  std::unordered_map<std::string_view, const PhotoAsset*> byKey;
  byKey.reserve(library.assets.size());
  std::vector<std::string> keys;  // byKey's texts
  keys.reserve(library.assets.size());
  for (const PhotoAsset& asset : library.assets) {
    keys.push_back(std::string(kCameraRollDomain) + "-" + asset.relativePath);
  }
  for (std::size_t i = 0; i < keys.size(); ++i) byKey.try_emplace(keys[i], &library.assets[i]);

  std::unordered_set<const PhotoAsset*> matched;
  std::uint64_t withoutRow = 0;
  for (FileRecord& record : cameraRoll) {
    const auto found = byKey.find(record.key);
    if (found == byKey.end()) {
      ++withoutRow;
      continue;
    }
    const PhotoAsset& asset = *found->second;
    matched.insert(&asset);
    record.deleted = asset.trashed;
    record.hidden = asset.hidden;
    record.dateText = asset.dateText;
    record.originalName = asset.originalName;
  }
  std::uint64_t withoutFile = 0, trashedWithoutFile = 0;
  for (const auto& [key, asset] : byKey) {
    if (matched.contains(asset)) continue;
    ++withoutFile;
    if (asset->trashed) ++trashedWithoutFile;
  }
  const std::string file(kPhotoLibraryLabel);
  if (withoutFile != 0) {
    Report(findings, {file, "asset", "table " + library.table,
                      std::to_string(withoutFile) + " rows (" + std::to_string(trashedWithoutFile) +
                          " of them in Recently Deleted) name files the backup does not hold "
                          "(kept in iCloud only, or the stored copy is missing or unreadable)"});
  }
  if (withoutRow != 0) {
    Report(findings, {file, "asset", "table " + library.table,
                      std::to_string(withoutRow) +
                          " Camera Roll files have no row in the library; listed without its "
                          "facts"});
  }
}

namespace {

// A key's folder (up to its last "/") and its name split at the last ".".
struct KeyParts {
  std::string_view folder;
  std::string_view stem;
  std::string_view extension;
};

KeyParts PartsOf(std::string_view key) {
  const std::size_t slash = key.rfind('/');
  KeyParts parts;
  parts.folder = slash == std::string_view::npos ? std::string_view() : key.substr(0, slash);
  std::string_view name = DisplayName(key);
  const std::size_t dot = name.rfind('.');
  parts.stem = name.substr(0, dot);
  if (dot != std::string_view::npos) parts.extension = name.substr(dot + 1);
  return parts;
}

bool IsLiveMovie(const KeyParts& parts) { return EqualsIgnoreCase(parts.extension, "mov"); }

bool IsLiveStill(const KeyParts& parts) {
  for (std::string_view still : {"heic", "jpg", "jpeg"}) {
    if (EqualsIgnoreCase(parts.extension, still)) return true;
  }
  return false;
}

bool SameShot(const KeyParts& a, const KeyParts& b) {
  return a.folder == b.folder && EqualsIgnoreCase(a.stem, b.stem) && !a.stem.empty();
}

}  // namespace

void MarkLivePhotos(std::vector<FileRecord>& cameraRoll) {
  // Photos by folder and lower-cased stem; the first of a shot wins.
  std::unordered_map<std::string, const FileRecord*> stills;
  auto shotKey = [](const KeyParts& parts) {
    return std::string(parts.folder) + "/" + AsciiLower(parts.stem);
  };
  for (const FileRecord& record : cameraRoll) {
    const KeyParts parts = PartsOf(record.key);
    if (IsLiveStill(parts) && !parts.stem.empty()) stills.try_emplace(shotKey(parts), &record);
  }
  for (FileRecord& record : cameraRoll) {
    const KeyParts parts = PartsOf(record.key);
    if (!IsLiveMovie(parts)) continue;
    const auto found = stills.find(shotKey(parts));
    if (found != stills.end()) record.livePhotoOf = found->second->name;
  }
}

const FileRecord* LivePhotoPartner(const std::vector<FileRecord>& cameraRoll,
                                   const FileRecord& file) {
  const KeyParts parts = PartsOf(file.key);
  const bool movie = !file.livePhotoOf.empty();
  if (!movie && !IsLiveStill(parts)) return nullptr;
  for (const FileRecord& other : cameraRoll) {
    if (&other == &file) continue;
    const KeyParts otherParts = PartsOf(other.key);
    if (!SameShot(parts, otherParts)) continue;
    if (movie ? other.name == file.livePhotoOf : other.livePhotoOf == file.name) return &other;
  }
  return nullptr;
}

void TieWhatsAppMedia(WhatsAppConversationMap& chats, std::vector<FileRecord>& files,
                      FindingsSink* findings) {
  std::unordered_map<std::string_view, FileRecord*> byPath;
  for (FileRecord& file : files) {
    const std::string_view path = WhatsAppMediaPath(file.key);
    if (!path.empty()) byPath.try_emplace(path, &file);
  }
  std::size_t climbing = 0, withoutFile = 0;
  for (auto& [session, messages] : chats) {
    for (WhatsAppMessageRecord& message : messages) {
      if (message.mediaPath.empty()) continue;
      if (Climbs(message.mediaPath)) {
        ++climbing;
        continue;
      }
      const auto found = byPath.find(message.mediaPath);
      if (found == byPath.end()) {
        if (!message.deleted) ++withoutFile;
        continue;
      }
      FileRecord& file = *found->second;
      message.mediaFile = file.name;
      if (file.sessionId >= 0) continue;  // the first message that names the file keeps it
      file.sessionId = message.sessionId;
      file.chatName = message.partnerName;
      file.messageDate = message.dateText;
    }
  }
  const std::string label = "ChatStorage.sqlite";
  if (climbing != 0) {
    Report(findings, {label, "media path", "table ZWAMEDIAITEM",
                      std::to_string(climbing) +
                          " media paths are absolute or climb out of the Message folder (\"..\"); "
                          "not tied to a file"});
  }
  if (withoutFile != 0) {
    Report(findings, {label, "media path", "table ZWAMEDIAITEM",
                      std::to_string(withoutFile) +
                          " live media messages name files that WhatsApp's listed files do not "
                          "hold (not in the backup, unreadable, or of no picture, audio or video "
                          "type)"});
  }
}

Result ExtractPreview(const std::filesystem::path& storedPath,
                      const std::filesystem::path& workFolder, std::string& previewPath,
                      const std::function<Result(std::int32_t percent)>& progress) {
  previewPath.clear();
  StoredFile stored;
  if (stored.Open(storedPath) != 0) return kResultInvalid;
  const std::string_view type = stored.Identify();  // lower case, like the lists
  if (type.empty()) return kResultInvalid;
  std::string_view previewName;
  if (IsListedExtension(kPictureExtensions, type)) {
    previewName = "tmp.jpg";
  } else if (IsListedExtension(kAudioExtensions, type)) {
    previewName = "tmp.wav";
  } else if (IsListedExtension(kVideoExtensions, type)) {
    previewName = "tmp.avi";
  } else {
    return kResultOk;
  }
  const std::filesystem::path preview = workFolder / previewName;
  previewPath = preview.string();

  // Emptied when it exists: a shorter file must not keep the tail of an earlier, longer one.
  int out = -1;
  do {
    out = ::open(preview.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
  } while (out < 0 && errno == EINTR);
  if (out < 0) return kResultInvalid;

  // The size when the file was opened bounds the copy, so a file that grows meanwhile cannot
  // keep it going.
  const std::uint64_t size = stored.Size();
  std::vector<char> piece(kCopyPiece);
  std::uint64_t copied = 0;
  Result result = kResultOk;
  while (copied < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - copied));
    const std::int64_t got = stored.ReadAt(copied, piece.data(), want);
    if (got < 0) {
      result = LastSystemResult();
      break;
    }
    if (got == 0) break;  // the file became shorter
    if (!WriteAll(out, piece.data(), static_cast<std::size_t>(got))) {
      result = LastSystemResult();
      break;
    }
    copied += static_cast<std::uint64_t>(got);
    if (progress) {
      result = progress(CopiedPercent(copied, size));
      if (result != kResultOk) break;
    }
  }
  if (::close(out) != 0 && result == kResultOk && errno != EINTR) result = LastSystemResult();
  if (progress) progress(100);
  return result;
}

}  // namespace kestrio
