#include "cli/scan_json.h"

namespace kestrio::cli {
namespace {

void Write(JsonWriter& json, const FileRecord& r) {
  json.BeginObject().Field("size", r.size).Field("name", r.name).Field("path", r.path.string());
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
  json.BeginObject().Field("reserved", r.reserved).Field("size", r.size).Field("name", r.name);
  json.Field("path", r.path.string()).EndObject();
}

void Write(JsonWriter& json, const AppFileRecord& r) {
  json.BeginObject().Field("size", r.size).Field("app", r.app).Field("name", r.name);
  json.Field("path", r.path.string()).EndObject();
}

void Write(JsonWriter& json, const MessageRecord& r) {
  json.BeginObject()
      .Field("deleted", r.deleted)
      .Field("isFromMe", r.isFromMe)
      .Field("rowId", r.rowId)
      .Field("handleId", r.handleId)
      .Field("dateText", r.dateText)
      .Field("address", r.address)
      .Field("contactName", r.contactName)
      .Field("text", r.text)
      .Field("attachmentPath", r.attachmentPath)
      .Key("attachments")
      .BeginArray();
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
  json.BeginObject()
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
  json.BeginObject()
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
  json.BeginObject()
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
  json.BeginObject()
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
    json.BeginObject().Field("file", f.file).Field("what", f.what).Field("where", f.where);
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

bool WriteScanWith(JsonWriter& json, const std::function<void()>& writeSource, Result openResult,
                   const std::map<std::string, Result>& errors, const ScanResults& results,
                   MessagesJson* streamed) {
  bool complete = true;
  json.BeginObject().Key("backup");
  writeSource();
  json.Field("result", openResult).Key("errors").BeginObject();
  for (const auto& [key, result] : errors) json.Field(key, result);
  json.EndObject().Key("categories").BeginObject();

  json.Key("cameraRoll");
  WriteList(json, results.cameraRoll);
  json.Key("photoStream");
  WriteList(json, results.photoStream);
  json.Key("messages").BeginArray();
  if (streamed != nullptr) {
    complete = streamed->EmbedInto(json);
  } else {
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
  WriteFindings(json, results.findings);
  json.EndObject();
  return complete;
}

}  // namespace

MessagesJson::MessagesJson(const std::filesystem::path& folder) : store_(folder) {}

MessagesJson::~MessagesJson() {
  for (Formatter& formatter : formatters_) formatter.thread.Wait();
}

void MessagesJson::BeginConversation(std::int32_t key, std::size_t, const MessageRecord& last,
                                     bool anyDeleted) {
  if (broken_ || inConversation_) {
    broken_ = true;
    return;
  }
  Event& event = batch_.events.emplace_back();
  event.kind = Event::kBegin;
  event.key = key;
  event.anyDeleted = anyDeleted;
  event.record.handleId = last.handleId;
  event.record.address = last.address;
  event.record.contactName = last.contactName;
  event.record.conversation = last.conversation;
  anyConversation_ = inConversation_ = true;
  anyMessage_ = false;
  Added(0);
}

void MessagesJson::Message(MessageRecord&& message) {
  if (broken_ || !inConversation_) {
    broken_ = true;
    return;
  }
  std::size_t bytes = message.text.size() + message.dateText.size();
  for (const std::string& path : message.attachments) bytes += path.size();
  Event& event = batch_.events.emplace_back();
  event.kind = Event::kMessage;
  event.record = std::move(message);
  anyMessage_ = true;
  Added(bytes);
}

void MessagesJson::EndConversation() {
  if (broken_ || !inConversation_) {
    broken_ = true;
    return;
  }
  batch_.events.emplace_back().kind = Event::kEnd;
  inConversation_ = false;
  Added(0);
}

void MessagesJson::Added(std::size_t bytes) {
  batch_.bytes += bytes;
  if (batch_.events.size() >= kBatchEvents || batch_.bytes >= kBatchBytes) Hand();
}

void MessagesJson::Hand() {
  Formatter& formatter = formatters_[next_];
  next_ = (next_ + 1) % formatters_.size();
  // This formatter's batch is the oldest one out: the other one's came after it.
  formatter.thread.Wait();
  StoreText(formatter);
  std::swap(formatter.batch, batch_);
  formatter.holds = true;
  formatter.thread.Start([&formatter] {
    Format(formatter);
    return true;
  });
  batch_.events.clear();
  batch_.bytes = 0;
  batch_.anyConversation = anyConversation_;
  batch_.inConversation = inConversation_;
  batch_.anyMessage = anyMessage_;
}

void MessagesJson::Format(Formatter& formatter) {
  const Batch& batch = formatter.batch;
  JsonWriter& text = formatter.text;
  // Inside a conversation the values go into its "messages" array, two levels further in.
  if (batch.inConversation) {
    text.NestIn(kMessagesDepth + 2, batch.anyMessage);
  } else {
    text.NestIn(kMessagesDepth, batch.anyConversation);
  }
  for (const Event& event : batch.events) {
    switch (event.kind) {
      case Event::kBegin:
        cli::BeginConversation(text, event.key, &event.record, event.anyDeleted);
        break;
      case Event::kMessage:
        Write(text, event.record);
        break;
      case Event::kEnd:
        cli::EndConversation(text);
        break;
    }
  }
}

void MessagesJson::StoreText(Formatter& formatter) {
  if (!formatter.holds) return;
  store_.Append(formatter.text.str());
  formatter.text.DropText();
  formatter.holds = false;
}

bool MessagesJson::EmbedInto(JsonWriter& json) {
  if (!batch_.events.empty()) Hand();
  for (std::size_t i = 0; i < formatters_.size(); ++i) {
    Formatter& formatter = formatters_[(next_ + i) % formatters_.size()];
    formatter.thread.Wait();
    StoreText(formatter);
  }
  SpillStore::SequentialReader reader(store_);
  std::string piece;
  for (std::uint64_t at = 0; at < store_.size(); at += piece.size()) {
    const auto length = static_cast<std::size_t>(
        std::min<std::uint64_t>(SpillStore::kBlockBytes, store_.size() - at));
    if (!reader.Read(at, length, piece)) return false;
    json.Elements(piece);
  }
  return !broken_ && !inConversation_;
}

bool WriteScan(JsonWriter& json, const BackupSummary& backup, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results,
               MessagesJson* messages) {
  return WriteScanWith(
      json, [&] { WriteBackup(json, backup); }, openResult, errors, results, messages);
}

bool WriteScan(JsonWriter& json, const DeviceJson& device, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results,
               MessagesJson* messages) {
  return WriteScanWith(
      json, [&] { WriteDevice(json, device); }, openResult, errors, results, messages);
}

}  // namespace kestrio::cli
