#include "cli/scan_json.h"

#include <algorithm>
#include <utility>

namespace kestrio::cli {
namespace {

void Write(JsonWriter& json, const FileRecord& r) {
  json.BeginRecord().Field("size", r.size).Field("name", r.name).Field("path", r.path.string());
  // What the photo library says of a Camera Roll file, when it says it.
  json.Field("deleted", r.deleted);
  if (r.hidden) json.Field("hidden", true);
  if (!r.dateText.empty()) json.Field("date", r.dateText);
  if (!r.originalName.empty()) json.Field("originalName", r.originalName);
  // The photo a Live Photo's movie belongs to.
  if (!r.livePhotoOf.empty()) json.Field("livePhotoOf", r.livePhotoOf);
  // WhatsApp's media: the chat the path names and the message that shows the file.
  if (!r.chatJid.empty()) json.Field("chatJid", r.chatJid);
  if (r.sessionId >= 0) {
    json.Field("sessionId", r.sessionId).Field("chatName", r.chatName);
    json.Field("messageDate", r.messageDate);
  }
  json.EndObject();
}

void Write(JsonWriter& json, const AttachmentFileRecord& r) {
  json.BeginRecord().Field("reserved", r.reserved).Field("size", r.size).Field("name", r.name);
  json.Field("path", r.path.string()).EndObject();
}

void Write(JsonWriter& json, const AppFileRecord& r) {
  json.BeginRecord().Field("size", r.size).Field("app", r.app).Field("name", r.name);
  json.Field("path", r.path.string()).EndObject();
}

// `quotedText`, when given, is the message's text as AppendJsonQuoted wrote it, in place of
// r.text.
void Write(JsonWriter& json, const MessageRecord& r, std::string_view quotedText = {}) {
  json.BeginRecord()
      .Field("deleted", r.deleted)
      .Field("isFromMe", r.isFromMe)
      .Field("rowId", r.rowId)
      .Field("handleId", r.handleId)
      .Field("dateText", r.dateText)
      .Field("address", r.address)
      .Field("contactName", r.contactName)
      .Key("text");
  if (quotedText.empty()) {
    json.String(r.text);
  } else {
    json.Quoted(quotedText);
  }
  json.Field("attachmentPath", r.attachmentPath).Key("attachments").BeginArray();
  for (const std::string& path : r.attachments) json.String(path);
  json.EndArray()
      .Field("conversationId", r.conversationId)
      .Field("conversation", r.conversation)
      .Field("reactions", r.reactions)
      .Field("edited", r.edited)
      .Field("unsent", r.unsent)
      .EndObject();
}

void Write(JsonWriter& json, const ContactRecord& r) {
  json.BeginRecord()
      .Field("deleted", r.deleted)
      .Field("email", r.email)
      .Field("postalAddress", r.postalAddress)
      .Field("social", r.social)
      .Field("homePage", r.homePage)
      .Field("phones", r.phones)
      .Field("company", r.company)
      .Field("fullName", r.fullName)
      .EndObject();
}

void Write(JsonWriter& json, const CallRecord& r) {
  json.BeginRecord()
      .Field("deleted", r.deleted)
      .Field("isIncoming", r.isIncoming)
      .Field("answered", r.answered)
      .Field("kind", CallKindToken(r.kind))
      .Field("app", r.app)
      .Field("durationSeconds", r.durationSeconds)
      .Field("dateText", r.dateText)
      .Field("number", r.number)
      .Field("contactName", r.contactName)
      .EndObject();
}

void Write(JsonWriter& json, const NoteRecord& r) {
  json.BeginRecord()
      .Field("deleted", r.deleted)
      .Field("bodyKey", r.bodyKey)
      .Field("dateText", r.dateText)
      .Field("modifiedText", r.modifiedText)
      .Field("title", r.title)
      .Field("folder", r.folder)
      .Field("locked", r.locked)
      .Field("body", r.body)
      .EndObject();
}

void Write(JsonWriter& json, const WhatsAppMessageRecord& r) {
  json.BeginRecord()
      .Field("deleted", r.deleted)
      .Field("isFromMe", r.isFromMe)
      .Field("rowId", r.rowId)
      .Field("sessionId", r.sessionId)
      .Field("groupMemberId", r.groupMemberId)
      .Field("mediaItemId", r.mediaItemId)
      .Field("dateText", r.dateText)
      .Field("senderName", r.senderName)
      .Field("text", r.text)
      .Field("senderId", r.senderId)
      .Field("chatNames", r.chatNames)
      .Field("chatIds", r.chatIds)
      .Field("partnerName", r.partnerName)
      .Field("mediaPath", r.mediaPath)
      .Field("mediaFile", r.mediaFile)
      .EndObject();
}

template <typename Record>
void WriteList(JsonWriter& json, const std::vector<Record>& records) {
  json.BeginArray();
  for (const Record& record : records) Write(json, record);
  json.EndArray();
}

template <typename Record>
bool AnyDeleted(const std::vector<Record>& messages) {
  for (const Record& message : messages) {
    if (message.deleted) return true;
  }
  return false;
}

void WriteAppFiles(JsonWriter& json, const AppFileMap& byApp) {
  json.BeginArray();
  for (const auto& [app, files] : byApp) {
    for (const AppFileRecord& file : files) Write(json, file);
  }
  json.EndArray();
}

}  // namespace

void WriteBackup(JsonWriter& json, const BackupSummary& backup) {
  json.BeginObject()
      .Field("folder", backup.folder.string())
      .Field("displayName", backup.displayName)
      .Field("lastBackupDate", backup.lastBackupDate)
      .Field("phoneNumber", backup.phoneNumber)
      .Field("serialNumber", backup.serialNumber)
      .Field("encrypted", backup.encrypted)
      .Field("version12", backup.version12)
      .EndObject();
}

void WriteDevice(JsonWriter& json, const DeviceJson& device) {
  json.BeginObject()
      .Field("displayName", device.displayName)
      .Field("deviceClass", device.deviceClass)
      .Field("productVersion", device.productVersion)
      .Field("udid", device.udid);
  if (device.willEncrypt) json.Field("willEncrypt", *device.willEncrypt);
  json.EndObject();
}

namespace {

void WriteFindings(JsonWriter& json, const std::vector<Finding>& findings) {
  json.Key("findings").BeginArray();
  for (const Finding& f : findings) {
    json.BeginRecord().Field("file", f.file).Field("what", f.what).Field("where", f.where);
    json.Field("why", f.why).EndObject();
  }
  json.EndArray();
}

// A conversation's own fields, from its latest message, before its "messages".
void BeginConversation(JsonWriter& json, std::int32_t key, const MessageRecord* last,
                       bool anyDeleted) {
  json.BeginObject()
      .Field("conversationId", key)
      .Field("handleId", last ? last->handleId : 0)
      .Field("address", last ? last->address : std::string())
      .Field("contactName", last ? last->contactName : std::string())
      .Field("conversation", last ? last->conversation : std::string())
      .Field("deleted", anyDeleted)
      .Key("messages")
      .BeginArray();
}

void EndConversation(JsonWriter& json) { json.EndArray().EndObject(); }

}  // namespace

ScanDocument::ScanDocument(std::function<JsonWriter&()> start,
                           std::function<void(JsonWriter&)> source, Result openResult)
    : start_(std::move(start)), source_(std::move(source)), openResult_(openResult) {}

JsonWriter& ScanDocument::BeginMessages(const ScanResults& results) {
  if (json_ != nullptr) return *json_;
  JsonWriter& json = start_();
  json_ = &json;
  json.BeginObject().Key("backup");
  source_(json);
  json.Field("result", openResult_).Key("categories").BeginObject();
  json.Key("cameraRoll");
  WriteList(json, results.cameraRoll);
  json.Key("photoStream");
  WriteList(json, results.photoStream);
  json.Key("messages").BeginArray();
  return json;
}

bool ScanDocument::End(const std::map<std::string, Result>& errors, const ScanResults& results,
                       MessagesJson* streamed) {
  const bool complete = streamed == nullptr || streamed->Finish();
  JsonWriter& json = BeginMessages(results);
  if (streamed == nullptr) {
    for (const auto& [conversationId, messages] : results.messages) {
      BeginConversation(json, conversationId, messages.empty() ? nullptr : &messages.back(),
                        AnyDeleted(messages));
      for (const MessageRecord& message : messages) Write(json, message);
      EndConversation(json);
    }
  }
  json.EndArray();
  json.Key("messageAttachments");
  WriteList(json, results.messageAttachments);
  json.Key("contacts");
  WriteList(json, results.contacts);
  json.Key("callHistory");
  WriteList(json, results.callHistory);
  json.Key("notes");
  WriteList(json, results.notes);
  json.Key("appPhotos");
  WriteAppFiles(json, results.appPhotos);
  json.Key("appVideos");
  WriteAppFiles(json, results.appVideos);
  json.Key("whatsApp").BeginArray();
  for (const auto& [sessionId, messages] : results.whatsApp) {
    const WhatsAppMessageRecord* last = messages.empty() ? nullptr : &messages.back();
    json.BeginObject()
        .Field("sessionId", sessionId)
        .Field("partnerName", last ? last->partnerName : std::string())
        .Field("chatNames", last ? last->chatNames : std::string())
        .Field("chatIds", last ? last->chatIds : std::string())
        .Field("deleted", AnyDeleted(messages))
        .Key("messages");
    WriteList(json, messages);
    json.EndObject();
  }
  json.EndArray();
  json.Key("whatsAppAttachments");
  WriteList(json, results.whatsAppAttachments);
  json.EndObject();
  json.Key("errors").BeginObject();
  for (const auto& [key, result] : errors) json.Field(key, result);
  json.EndObject();
  WriteFindings(json, results.findings);
  json.EndObject();
  return complete;
}

// The conversations go to the writing thread as a list of events, each a tag byte and its
// fields:
//   'B' a conversation begins: key, anyDeleted, then handleId, address, contactName and
//       conversation of its latest message
//   'M' a message: flags (deleted, isFromMe, edited, unsent as bits 0-3), rowId, handleId,
//       conversationId, dateText, address, contactName, text (quoted as the document holds
//       it), attachmentPath, the number of attachments and each path, conversation, reactions
//   'E' the conversation ends
// Integers are 4 bytes, little-endian; a text is its length and its bytes, where the length
// kSameText stands for the previous message's value of the same field (a conversation's
// messages mostly repeat who they are with). The batches of events share no memory with the
// records they came from, whose texts the scan's thread goes on sharing.
namespace {

constexpr std::uint32_t kSameText = 0xFFFFFFFF;
enum SharedField { kAddress, kContactName, kConversation, kReactions, kAttachmentPath, kShared };

void PutInt(std::string& out, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out.append(bytes, 4);
}

void PutText(std::string& out, std::string_view text) {
  PutInt(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

// A text as it goes into the document, quotes included, put as PutText puts a text.
void PutQuoted(std::string& out, std::string_view text) {
  const std::size_t lengthAt = out.size();
  out.append(4, '\0');
  AppendJsonQuoted(out, text);
  const auto length = static_cast<std::uint32_t>(out.size() - lengthAt - 4);
  for (int i = 0; i < 4; ++i) out[lengthAt + i] = static_cast<char>(length >> (8 * i));
}

// Reads the events back in order from the batches they were handed over in; an event may
// span batches.
class EventReader {
 public:
  explicit EventReader(std::function<bool(std::string&)> next) : next_(std::move(next)) {}

  bool AtEnd() { return !Need(1); }
  bool Byte(std::uint8_t& value) {
    if (!Need(1)) return false;
    value = static_cast<std::uint8_t>(data_[at_++]);
    return true;
  }
  bool Int(std::uint32_t& value) {
    if (!Need(4)) return false;
    value = 0;
    for (int i = 0; i < 4; ++i)
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[at_ + i])) << (8 * i);
    at_ += 4;
    return true;
  }
  bool Int(std::int32_t& value) {
    std::uint32_t bits = 0;
    if (!Int(bits)) return false;
    value = static_cast<std::int32_t>(bits);
    return true;
  }
  // A text; `same` (when given) is set for kSameText, and the text is then not read.
  bool Text(std::string_view& text, bool* same = nullptr) {
    std::uint32_t length = 0;
    if (!Int(length)) return false;
    if (length == kSameText && same != nullptr) {
      *same = true;
      return true;
    }
    if (same != nullptr) *same = false;
    if (!Need(length)) return false;
    text = std::string_view(data_).substr(at_, length);
    at_ += length;
    return true;
  }

 private:
  // Whether `count` more bytes are there, taking the next batches as needed. The views of the
  // texts read last stay valid until the next call.
  bool Need(std::size_t count) {
    if (data_.size() - at_ >= count) return true;
    data_.erase(0, at_);
    at_ = 0;
    while (data_.size() < count && next_(piece_)) {
      if (data_.empty()) {
        data_.swap(piece_);
      } else {
        data_ += piece_;
      }
    }
    return data_.size() >= count;
  }

  std::function<bool(std::string&)> next_;
  std::string data_, piece_;
  std::size_t at_ = 0;
};

// Writes the conversations of the events `in` reads into `json`. False at the first event that
// is not well formed, a conversation perhaps left open.
bool WriteConversations(EventReader& in, JsonWriter& json) {
  bool open = false;
  std::string quotedText;
  // The shared fields of the previous message, as they were read.
  SharedText previous[kShared];
  const auto shared = [&](SharedField field, SharedText& into) {
    std::string_view text;
    bool same = false;
    if (!in.Text(text, &same)) return false;
    if (!same && text != previous[field].view()) previous[field] = text;
    into = previous[field];
    return true;
  };
  while (!in.AtEnd()) {
    std::uint8_t tag = 0;
    in.Byte(tag);
    if (tag == 'B') {
      std::int32_t key = 0, handleId = 0;
      std::uint8_t anyDeleted = 0;
      std::string_view address, contactName, conversation;
      if (open || !in.Int(key) || !in.Byte(anyDeleted) || !in.Int(handleId)) return false;
      MessageRecord last;
      last.handleId = handleId;
      if (!in.Text(address)) return false;
      last.address = address;
      if (!in.Text(contactName)) return false;
      last.contactName = contactName;
      if (!in.Text(conversation)) return false;
      last.conversation = conversation;
      cli::BeginConversation(json, key, &last, anyDeleted != 0);
      for (SharedText& text : previous) text.clear();
      open = true;
    } else if (tag == 'M') {
      MessageRecord m;
      std::uint8_t flags = 0;
      std::uint32_t attachments = 0;
      std::string_view text;
      if (!open || !in.Byte(flags) || !in.Int(m.rowId) || !in.Int(m.handleId) ||
          !in.Int(m.conversationId) || !in.Text(text))
        return false;
      m.deleted = (flags & 1) != 0;
      m.isFromMe = (flags & 2) != 0;
      m.edited = (flags & 4) != 0;
      m.unsent = (flags & 8) != 0;
      m.dateText = text;
      if (!shared(kAddress, m.address) || !shared(kContactName, m.contactName) || !in.Text(text))
        return false;
      // Quoted on the scan's thread, which has time to spare while this one writes.
      if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
      quotedText.assign(text);
      if (!shared(kAttachmentPath, m.attachmentPath) || !in.Int(attachments)) return false;
      for (std::uint32_t i = 0; i < attachments; ++i) {
        if (!in.Text(text)) return false;
        m.attachments.emplace_back(text);
      }
      if (!shared(kConversation, m.conversation) || !shared(kReactions, m.reactions)) return false;
      Write(json, m, quotedText);
    } else if (tag == 'E' && open) {
      cli::EndConversation(json);
      open = false;
    } else {
      return false;
    }
  }
  return !open;
}

}  // namespace

MessagesJson::MessagesJson(std::function<JsonWriter&()> begin)
    : begin_(std::move(begin)), thread_([this] { Format(); }) {}

MessagesJson::~MessagesJson() { Finish(); }

void MessagesJson::BeginConversation(std::int32_t key, std::size_t, const MessageRecord& last,
                                     bool anyDeleted) {
  event_.assign(1, 'B');
  PutInt(event_, static_cast<std::uint32_t>(key));
  event_.push_back(anyDeleted ? 1 : 0);
  PutInt(event_, static_cast<std::uint32_t>(last.handleId));
  PutText(event_, last.address);
  PutText(event_, last.contactName);
  PutText(event_, last.conversation);
  Append(event_);
  previous_ = MessageRecord{};
}

void MessagesJson::Message(MessageRecord&& m) {
  event_.assign(1, 'M');
  event_.push_back(static_cast<char>((m.deleted ? 1 : 0) | (m.isFromMe ? 2 : 0) |
                                     (m.edited ? 4 : 0) | (m.unsent ? 8 : 0)));
  PutInt(event_, m.rowId);
  PutInt(event_, static_cast<std::uint32_t>(m.handleId));
  PutInt(event_, static_cast<std::uint32_t>(m.conversationId));
  PutText(event_, m.dateText);
  const auto shared = [&](const SharedText& now, SharedText& before) {
    if (now.view() == before.view() && !now.empty()) {
      PutInt(event_, kSameText);
    } else {
      PutText(event_, now);
      before = now;
    }
  };
  shared(m.address, previous_.address);
  shared(m.contactName, previous_.contactName);
  PutQuoted(event_, m.text);
  shared(m.attachmentPath, previous_.attachmentPath);
  PutInt(event_, static_cast<std::uint32_t>(m.attachments.size()));
  for (const std::string& path : m.attachments) PutText(event_, path);
  shared(m.conversation, previous_.conversation);
  shared(m.reactions, previous_.reactions);
  Append(event_);
}

void MessagesJson::EndConversation() { Append("E"); }

void MessagesJson::Append(std::string_view event) {
  batch_ += event;
  if (batch_.size() >= kBatchBytes) HandOver();
}

void MessagesJson::HandOver() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_) return;
  changed_.wait(lock, [this] { return batches_.size() < kMaxBatches; });
  batches_.push_back(std::exchange(batch_, {}));
  batch_.reserve(kBatchBytes + kBatchBytes / 4);
  changed_.notify_all();
}

bool MessagesJson::Finish() {
  if (thread_.joinable()) {
    if (!batch_.empty()) HandOver();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  return complete_;
}

bool MessagesJson::NextBatch(std::string& out) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !batches_.empty() || ended_; });
  if (batches_.empty()) return false;
  out = std::move(batches_.front());
  batches_.pop_front();
  changed_.notify_all();
  return true;
}

void MessagesJson::Format() noexcept {
  EventReader in([this](std::string& out) { return NextBatch(out); });
  JsonWriter* json = nullptr;
  std::size_t depth = 0;  // the levels open around the conversations
  try {
    if (!in.AtEnd()) {
      json = &begin_();
      depth = json->Depth();
      complete_ = WriteConversations(in, *json);
    }
  } catch (...) {
    complete_ = false;  // out of memory
  }
  try {
    // A conversation cut short still ends, so that the document stays whole.
    if (json != nullptr) json->EndTo(depth);
  } catch (...) {
    complete_ = false;
  }
  // The scan's thread never waits on a writer that has stopped taking batches.
  std::string rest;
  while (NextBatch(rest)) {
  }
}

}  // namespace kestrio::cli
