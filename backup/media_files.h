// Photos, message attachments, app files and WhatsApp media: found by walking a backup's
// manifest entries, picked by substring tests on their keys, and identified by the first
// bytes of their stored files (never by the name a backup gives them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backup/manifest.h"
#include "base/result.h"
#include "parsers/parse_context.h"
#include "parsers/photo_library.h"
#include "parsers/whatsapp.h"

namespace kestrio {

// Camera Roll, Photo Stream and WhatsApp attachments.
struct FileRecord {
  std::uint32_t size = 0;  // low 32 bits of the stored file's size
  std::string name;        // shown in the list
  std::filesystem::path path;
  std::string key{};  // the index key the walk found it under ("<domain>-<relative path>")
  // What the photo library says of a Camera Roll file (see ApplyPhotoLibrary); the walks
  // leave these as they are.
  bool deleted = false;    // in "Recently Deleted"
  bool hidden = false;     // in the "Hidden" album
  std::string dateText{};  // when it was taken
  std::string originalName{};
  // A Camera Roll movie that is the moving half of a Live Photo: the name of its photo (the
  // same name with a picture's extension, in the same folder). See MarkLivePhotos.
  std::string livePhotoOf{};
  // WhatsApp's media: the chat's JID as the file's path names it ("Message/Media/<JID>/..."),
  // and what TieWhatsAppMedia learns from the message whose media item names the file (the
  // chat's session, its partner's or group's name, the message's date).
  std::string chatJid{};
  std::int32_t sessionId = -1;
  std::string chatName{};
  std::string messageDate{};
};

// Message attachments.
struct AttachmentFileRecord {
  std::uint32_t reserved = 0;
  std::uint32_t size = 0;
  std::string name;
  std::filesystem::path path;
  std::string key{};  // the index key ("MediaDomain-Library/SMS/Attachments/...")
};

// App files.
struct AppFileRecord {
  std::uint32_t size = 0;
  std::string app;  // the app's short name, or "other"
  std::string name;
  std::filesystem::path path;
};

// Extension lists, searched as text ("*.jpg|*.jpeg|...").
extern const std::string_view kPictureExtensions;  // includes "*.heic"
extern const std::string_view kAudioExtensions;
extern const std::string_view kVideoExtensions;

// True when "*.<extension>" is a whole entry of `list` (followed by "|" or the end of the
// list). Compared byte for byte: the lists are lower case. "rm" is an entry of the video
// list, "rmv" and "" are not.
bool IsListedExtension(std::string_view list, std::string_view extension);

// Where the walks find the stored files: the manifest entries and the folder and layout
// their stored paths are built from.
struct MediaSource {
  const std::vector<ManifestEntry>* entries = nullptr;
  std::filesystem::path folder;
  StoreLayout layout = StoreLayout::kFlat;
  // Where the app walk reports the files it leaves out although their names claim a type;
  // may be null.
  FindingsSink* findings = nullptr;
};

// The two forms of the app-files walk: a backup folder on this computer, or the fresh backup
// of a connected device.
enum class AppWalkKind { kLocalBackup, kDeviceBackup };

// Identifies a file by its first 512 bytes: "<counter>.<extension>" and the counter raised
// by one, or nothing (and the counter unchanged) for a file that does not open, is not a
// regular file, holds fewer than 512 bytes or matches no type.
std::optional<std::string> IdentifyFile(const std::filesystem::path& path, std::uint64_t& counter);

// The type's extension ("jpg", "heic", ...) of the first bytes of a file, or empty.
std::string_view IdentifyBytes(std::string_view firstBytes);

// The walks. `progress` holds the callback, the progress base and the step (its span); each
// walk reports as it goes and advances the base when done. 0, or the callback's non-zero
// answer, which ends the walk with what was found so far (sorted; the base is then left
// where it was). Each walk empties the lists it fills before it starts. Entries whose stored
// file is missing, unreadable, not a regular file, shorter than 512 bytes or of no known
// type are left out (the device app-files walk may take the type from the key instead).
Result ScanPhotos(const MediaSource& source, ProgressSink& progress,
                  std::vector<FileRecord>& cameraRoll, std::vector<FileRecord>& photoStream);
Result ScanMessageAttachments(const MediaSource& source, ProgressSink& progress,
                              std::vector<AttachmentFileRecord>& attachments);
// Both forms walk the app domains ("AppDomain-"), their app-group containers
// ("AppDomainGroup-") and their extensions ("AppDomainPlugin-"). A group or plug-in file
// belongs to the app whose bundle identifier (seen in an "AppDomain-" key of the backup) its
// identifier starts with ("group." left off: "group.net.whatsapp.WhatsApp.shared" is
// net.whatsapp.WhatsApp's), else to the app its identifier names by the same rule.
// Local form: WhatsApp's files go to `whatsApp` (emptied first), the others to `appFiles`.
// Device form: every app file stays in `appFiles`; `whatsApp` is left alone. The device form
// takes the type from the key when the text after its last "." is at most 30 characters long
// (it must then be an entry of a list, as it stands, or the entry is left out) and leaves out
// empty files.
// A stored file whose name claims a listed type (its extension, in any case) but whose bytes
// are shorter than 512 or of no known type is left out; one finding to source.findings counts
// them and names the first.
Result ScanAppFiles(const MediaSource& source, ProgressSink& progress, AppWalkKind kind,
                    std::vector<AppFileRecord>& appFiles, std::vector<FileRecord>& whatsApp);
// The device back-end's own WhatsApp walk (the local back-end hands out what ScanAppFiles
// gathered).
Result ScanWhatsAppAttachments(const MediaSource& source, ProgressSink& progress,
                               std::vector<FileRecord>& whatsApp);

// Gives the Camera Roll records the facts the photo library keeps of them: a record whose key
// is "CameraRollDomain-" + an asset's relative path gets the asset's date, original name and
// marks (the first live row of a path wins). The walk stays what decides which files exist:
// records without a row keep their defaults and nothing is added. One finding counts the rows
// whose file the walk did not list (the file is not in the backup, e.g. kept in iCloud only,
// or its stored copy is missing or unreadable), one the files without a row.
void ApplyPhotoLibrary(const PhotoLibrary& library, std::vector<FileRecord>& cameraRoll,
                       FindingsSink* findings);

// Live Photos: a Camera Roll movie ("IMG_0042.MOV") whose folder holds a photo of the same
// name ("IMG_0042.HEIC", ".JPG" or ".JPEG", any case) gets that photo's name as livePhotoOf.
// Both stay records of their own. ScanPhotos calls it.
void MarkLivePhotos(std::vector<FileRecord>& cameraRoll);

// The other half of a Live Photo in `cameraRoll`: a movie's photo, a photo's movie; nullptr
// for a file that is no half of one.
const FileRecord* LivePhotoPartner(const std::vector<FileRecord>& cameraRoll,
                                   const FileRecord& file);

// Ties WhatsApp's files to the messages whose media item names them: a file whose key is
// "<app or group domain>-Message/<ZMEDIALOCALPATH>" (or "-Library/<...>" of older versions)
// gets the message's chat session, the chat's name and the message's date; the message gets
// the name the file is listed under (mediaFile). A media path that is absolute or climbs
// ("..") names no file: a finding counts them. Another finding counts the live media messages
// whose file `files` does not hold.
void TieWhatsAppMedia(WhatsAppConversationMap& chats, std::vector<FileRecord>& files,
                      FindingsSink* findings);

// Copies a stored picture, sound or video to the preview file in `workFolder` ("tmp.jpg",
// "tmp.wav" or "tmp.avi"), emptied first, and sets `previewPath` to it. 0 with an empty
// `previewPath` for an identified type that is none of the three; 87 for a file that is not
// identified or a file that does not open; the callback's non-zero answer; a system error.
Result ExtractPreview(const std::filesystem::path& storedPath,
                      const std::filesystem::path& workFolder, std::string& previewPath,
                      const std::function<Result(std::int32_t percent)>& progress);

// Which of the result page's app maps a file goes to, by its name's extension (after the last
// ".", lower-cased): video when it is an entry of the video or audio list and not of the
// picture list, photo otherwise (no extension, or one of no list, included).
enum class AppMediaKind { kPhoto, kVideo };
AppMediaKind ClassifyAppFile(std::string_view fileName);

}  // namespace kestrio
