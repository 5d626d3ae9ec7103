#include "parsers/whatsapp.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/time_text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"
#include "sqlite/table_schema.h"

namespace kestrio {
namespace {

constexpr std::string_view kLabel = "ChatStorage.sqlite";
constexpr std::int64_t kGroupSession = 1;  // ZWACHATSESSION.ZSESSIONTYPE of a group
// A carved message is kept only with a date from 2009-01-01 (the app's first year) to
// 2100-01-01 UTC, in seconds since 2001.
constexpr double kEarliestMessage = 252460800;
constexpr double kLatestMessage = 3124137600;

constexpr std::uint32_t kMissing = TableSchema::kMissing;

std::optional<std::int64_t> IntegerOf(const FieldValue& value) {
  if (value.kind != FieldValue::Kind::kInteger) return std::nullopt;
  return value.integer;
}

// NULL, lost with a carved record's start, or an integer: what a Core Data key or flag holds.
bool NullOrInteger(const FieldValue& value) {
  return value.kind == FieldValue::Kind::kAbsent || value.kind == FieldValue::Kind::kNull ||
         value.kind == FieldValue::Kind::kInteger;
}

// "4915112345678@s.whatsapp.net" -> "4915112345678"; empty without an at sign.
std::string NumberOf(std::string_view jid) {
  const std::size_t at = jid.find('@');
  return at == std::string_view::npos ? std::string() : std::string(jid.substr(0, at));
}

// The JID's part before '@', or the whole text without one.
std::string UserOf(std::string_view jid) {
  const std::size_t at = jid.find('@');
  return std::string(jid.substr(0, at));
}

struct Session {
  std::string partnerId;  // the number of the chat's JID
  std::string partnerName;
  bool group = false;
  std::string memberIds;
  std::string memberNames;
  // What its messages show, shared by them (set once the members are known).
  struct Shared {
    SharedText partnerId, partnerName, chatIds, chatNames;
  } shared;
};

struct GroupMember {
  std::int64_t sessionId = 0;
  std::string jid;
  std::string name;  // ZCONTACTNAME, else ZFIRSTNAME
};

struct MediaItem {
  std::int64_t messageId = 0;
  std::string path;
  std::string title;
};

// A message row and what its joins need beyond WhatsAppMessageRecord.
struct ParsedMessage {
  WhatsAppMessageRecord record;
  std::string fromJid;
  std::string pushName;
};

// Reads one table by the columns its schema names. Rows the decoder rejects are skipped.
class ChatStorageReader {
 public:
  ChatStorageReader(TableReader& reader, FindingsSink* findings)
      : reader_(reader), findings_(findings) {}

  void Note(std::string_view table, std::string why) {
    Report(findings_,
           {std::string(kLabel), "table", "table " + std::string(table), std::move(why)});
  }

  // Reports the columns of `names` that `schema` lacks.
  void MissingColumns(const TableSchema& schema, std::initializer_list<std::string_view> names,
                      std::string_view consequence) {
    std::string missing;
    for (const std::string_view name : names) {
      if (schema.Find(name) != kMissing) continue;
      if (!missing.empty()) missing += ", ";
      missing += name;
    }
    if (!missing.empty()) {
      Report(findings_, {std::string(kLabel), "column", "table " + schema.name,
                         "has no column " + missing + "; " + std::string(consequence)});
    }
  }

  template <typename Visit>
  void Scan(std::string_view table, Visit visit) {
    ScanDecoded(reader_, table, visit);
  }

  std::unordered_map<std::int64_t, Session> ReadSessions() {
    std::unordered_map<std::int64_t, Session> sessions;
    const TableSchema* s = reader_.Schema("ZWACHATSESSION");
    if (s == nullptr) {
      Note("ZWACHATSESSION", "missing; messages are read without their chats' names");
      return sessions;
    }
    MissingColumns(*s, {"ZCONTACTJID", "ZPARTNERNAME"}, "chats are read without it");
    const std::uint32_t jid = s->Find("ZCONTACTJID"), name = s->Find("ZPARTNERNAME"),
                        type = s->Find("ZSESSIONTYPE");
    // Carved sessions lost their rowid, which is all messages know them by.
    Scan("ZWACHATSESSION", [&](const RecordView& view, const DecodedRecord& r) {
      if (view.carved || r.rowId == 0) return false;
      Session session;
      std::string contactJid;
      if (!StrictText(s->Field(r, jid, false), contactJid) ||
          !StrictText(s->Field(r, name, false), session.partnerName))
        return false;
      session.partnerId = NumberOf(contactJid);
      session.group =
          IntegerOf(s->Field(r, type, false)) == kGroupSession || contactJid.ends_with("@g.us");
      sessions.try_emplace(static_cast<std::int64_t>(r.rowId), std::move(session));
      return true;
    });
    return sessions;
  }

  // Live members, by rowid.
  std::unordered_map<std::int64_t, GroupMember> ReadMembers() {
    std::unordered_map<std::int64_t, GroupMember> members;
    const TableSchema* s = reader_.Schema("ZWAGROUPMEMBER");
    if (s == nullptr) return members;  // stores without groups
    MissingColumns(*s, {"ZCHATSESSION", "ZMEMBERJID"}, "group members are read without it");
    const std::uint32_t session = s->Find("ZCHATSESSION"), jid = s->Find("ZMEMBERJID"),
                        contactName = s->Find("ZCONTACTNAME"), firstName = s->Find("ZFIRSTNAME");
    Scan("ZWAGROUPMEMBER", [&](const RecordView& view, const DecodedRecord& r) {
      if (view.carved || r.rowId == 0) return false;
      GroupMember member;
      std::string first;
      if (!StrictText(s->Field(r, jid, false), member.jid) ||
          !StrictText(s->Field(r, contactName, false), member.name) ||
          !StrictText(s->Field(r, firstName, false), first))
        return false;
      if (member.name.empty()) member.name = std::move(first);
      member.sessionId = IntegerOf(s->Field(r, session, false)).value_or(0);
      members.try_emplace(static_cast<std::int64_t>(r.rowId), std::move(member));
      return true;
    });
    return members;
  }

  // Live items by rowid; every item with a message link (carved ones too) by message.
  void ReadMedia(std::unordered_map<std::int64_t, MediaItem>& byId,
                 std::unordered_map<std::int64_t, MediaItem>& byMessage) {
    const TableSchema* s = reader_.Schema("ZWAMEDIAITEM");
    if (s == nullptr) return;  // stores without media
    MissingColumns(*s, {"ZMEDIALOCALPATH"}, "media messages are read without their paths");
    const std::uint32_t message = s->Find("ZMESSAGE"), path = s->Find("ZMEDIALOCALPATH"),
                        title = s->Find("ZTITLE");
    Scan("ZWAMEDIAITEM", [&](const RecordView& view, const DecodedRecord& r) {
      MediaItem item;
      const FieldValue link = s->Field(r, message, view.carved);
      if (!NullOrInteger(link) || !StrictText(s->Field(r, path, view.carved), item.path) ||
          !StrictText(s->Field(r, title, view.carved), item.title))
        return false;
      item.messageId = IntegerOf(link).value_or(0);
      if (view.carved && (item.messageId <= 0 || item.path.empty())) return false;
      if (item.messageId > 0) byMessage.try_emplace(item.messageId, item);
      if (!view.carved && r.rowId != 0)
        byId.try_emplace(static_cast<std::int64_t>(r.rowId), std::move(item));
      return true;
    });
  }

  // Every message row, live and carved. `blank` counts live rows with nothing in them.
  void ReadMessages(const TableSchema& s, std::vector<ParsedMessage>& out) {
    MissingColumns(s, {"ZMESSAGEDATE", "ZTEXT", "ZCHATSESSION", "ZISFROMME"},
                   "messages are read without it");
    const std::uint32_t fromMe = s.Find("ZISFROMME"), session = s.Find("ZCHATSESSION"),
                        member = s.Find("ZGROUPMEMBER"), media = s.Find("ZMEDIAITEM"),
                        date = s.Find("ZMESSAGEDATE"), text = s.Find("ZTEXT"),
                        fromJid = s.Find("ZFROMJID"), pushName = s.Find("ZPUSHNAME");
    Scan("ZWAMESSAGE", [&](const RecordView& view, const DecodedRecord& r) {
      const bool carved = view.carved;
      ParsedMessage parsed;
      WhatsAppMessageRecord& m = parsed.record;
      if (!StrictText(s.Field(r, text, carved), m.text) ||
          !StrictText(s.Field(r, fromJid, carved), parsed.fromJid) ||
          !StrictText(s.Field(r, pushName, carved), parsed.pushName))
        return false;
      const FieldValue when = s.Field(r, date, carved);
      const std::optional<double> seconds = when.Number();
      if (seconds && std::isfinite(*seconds) && std::fabs(*seconds) < 1e11) {
        if (carved && !(*seconds >= kEarliestMessage && *seconds < kLatestMessage)) return false;
        m.dateText = AppleTimeText(static_cast<std::int64_t>(*seconds));
      }
      const FieldValue own = s.Field(r, fromMe, carved);
      const FieldValue chat = s.Field(r, session, carved);
      const FieldValue sender = s.Field(r, member, carved);
      const FieldValue item = s.Field(r, media, carved);
      if (carved) {
        // Free space rarely decodes to a dated record whose keys are all keys; an emptied
        // page yields runs of all-NULL records, which have no date.
        if (m.dateText.empty() || !NullOrInteger(own) || !NullOrInteger(chat) ||
            !NullOrInteger(sender) || !NullOrInteger(item))
          return false;
        if (own.kind == FieldValue::Kind::kInteger && own.integer != 0 && own.integer != 1)
          return false;
        if (m.text.empty() && IntegerOf(item).value_or(0) <= 0) return false;
      }
      m.deleted = view.deleted;
      m.rowId = carved ? 0 : static_cast<std::uint32_t>(r.rowId);
      m.isFromMe = IntegerOf(own) == 1;
      const std::optional<std::int64_t> chatId = IntegerOf(chat);
      m.sessionId =
          chatId && *chatId > 0 && *chatId <= INT32_MAX ? static_cast<std::int32_t>(*chatId) : -1;
      const std::int64_t memberId = IntegerOf(sender).value_or(0);
      m.groupMemberId =
          memberId > 0 && memberId <= INT32_MAX ? static_cast<std::int32_t>(memberId) : 0;
      const std::int64_t mediaId = IntegerOf(item).value_or(0);
      m.mediaItemId = mediaId > 0 && mediaId <= INT32_MAX ? static_cast<std::int32_t>(mediaId) : 0;
      out.push_back(std::move(parsed));
      return true;
    });
  }

 private:
  TableReader& reader_;
  FindingsSink* findings_;
};

// A deleted row found more than once (in a freeblock and again on a page the freelist took),
// or a copy a rebalance left behind of a row that is still live, is listed once: as the live
// row when there is one.
void DropCopies(std::vector<WhatsAppMessageRecord>& messages) {
  auto key = [](const WhatsAppMessageRecord& m) {
    std::string text = std::to_string(m.sessionId) + (m.isFromMe ? "|1|" : "|0|");
    return text.append(m.dateText).append(1, '|').append(m.text);
  };
  std::unordered_set<std::string> seen;
  for (const WhatsAppMessageRecord& m : messages) {
    if (!m.deleted) seen.insert(key(m));
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i].deleted && !seen.insert(key(messages[i])).second) continue;
    if (kept != i) messages[kept] = std::move(messages[i]);
    ++kept;
  }
  messages.resize(kept);
}

std::string CountText(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace

Result ParseWhatsApp(const std::filesystem::path& chatStoragePath,
                     WhatsAppConversationMap& conversations, FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(chatStoragePath, kLabel); opened != kResultOk)
    return opened;
  const TableSchema* messageSchema = reader.Schema("ZWAMESSAGE");
  if (messageSchema == nullptr) {
    // A statement that does not parse is a finding of the schema read already.
    if (!reader.HasTable("ZWAMESSAGE")) {
      Report(findings, {std::string(kLabel), "table", "table ZWAMESSAGE",
                        "no ZWAMESSAGE table (layout not recognised)"});
    }
    return kResultLayoutUnknown;
  }
  ChatStorageReader chat(reader, findings);
  std::unordered_map<std::int64_t, MediaItem> mediaById, mediaByMessage;
  chat.ReadMedia(mediaById, mediaByMessage);
  std::unordered_map<std::int64_t, Session> sessions = chat.ReadSessions();
  const std::unordered_map<std::int64_t, GroupMember> members = chat.ReadMembers();

  // Members join their groups in rowid order, so that a list reads the same on every run.
  std::vector<std::int64_t> memberIds;
  memberIds.reserve(members.size());
  for (const auto& [id, member] : members) memberIds.push_back(id);
  std::sort(memberIds.begin(), memberIds.end());
  std::size_t orphanMembers = 0;
  for (const std::int64_t id : memberIds) {
    const GroupMember& member = members.at(id);
    const auto session = sessions.find(member.sessionId);
    if (session == sessions.end()) {
      ++orphanMembers;
      continue;
    }
    Session& s = session->second;
    const std::string number = UserOf(member.jid);
    if (!s.memberIds.empty() || !s.memberNames.empty()) {
      s.memberIds += ",";
      s.memberNames += ",";
    }
    s.memberIds += member.jid;
    s.memberNames += member.name.empty() ? number : member.name;
  }
  if (orphanMembers != 0) {
    chat.Note("ZWAGROUPMEMBER",
              CountText(orphanMembers, "member belongs", "members belong") +
                  " to a chat that ZWACHATSESSION does not hold; left out of the groups");
  }

  for (auto& [id, s] : sessions) {
    const bool listed = s.group && (!s.memberIds.empty() || !s.memberNames.empty());
    s.shared.partnerId = s.partnerId;
    s.shared.partnerName = s.partnerName;
    s.shared.chatIds = listed ? SharedText(s.memberIds) : s.shared.partnerId;
    s.shared.chatNames = listed ? SharedText(s.memberNames) : s.shared.partnerName;
  }
  // Senders, numbers and media paths repeat over a chat's messages: one copy each.
  TextPool texts;
  const SharedText me = texts.Intern("Me");

  std::vector<ParsedMessage> parsed;
  chat.ReadMessages(*messageSchema, parsed);

  std::vector<WhatsAppMessageRecord> messages;
  messages.reserve(parsed.size());
  std::size_t blank = 0, orphanMessages = 0;
  for (ParsedMessage& p : parsed) {
    WhatsAppMessageRecord& m = p.record;
    // The media item: by the message's own link, else by the item's link back.
    const MediaItem* item = nullptr;
    if (m.mediaItemId != 0) {
      if (auto found = mediaById.find(m.mediaItemId); found != mediaById.end())
        item = &found->second;
    }
    if (item == nullptr && m.rowId != 0) {
      if (auto found = mediaByMessage.find(m.rowId); found != mediaByMessage.end())
        item = &found->second;
    }
    if (m.text.empty() && item != nullptr) m.text = item->path.empty() ? item->title : item->path;
    if (item != nullptr) m.mediaPath = texts.Intern(item->path);
    if (m.text.empty() && m.dateText.empty() && item == nullptr && m.mediaItemId == 0) {
      blank += m.rowId != 0 ? 1 : 0;
      continue;
    }

    const auto found = m.sessionId > 0 ? sessions.find(m.sessionId) : sessions.end();
    if (found == sessions.end()) {
      if (m.sessionId > 0 && !m.deleted) ++orphanMessages;
      if (m.isFromMe) {
        m.senderName = me;
      } else {
        m.senderName = texts.Intern(p.pushName);
        if (p.fromJid.ends_with("@s.whatsapp.net")) m.senderId = texts.Intern(NumberOf(p.fromJid));
      }
      messages.push_back(std::move(m));
      continue;
    }
    const Session::Shared& s = found->second.shared;
    m.partnerName = s.partnerName;
    m.chatIds = s.chatIds;
    m.chatNames = s.chatNames;
    if (m.isFromMe) {
      m.senderName = me;
    } else if (found->second.group) {
      const auto member = m.groupMemberId != 0 ? members.find(m.groupMemberId) : members.end();
      if (member != members.end()) {
        const std::string number = UserOf(member->second.jid);
        m.senderId = texts.Intern(number);
        m.senderName = texts.Intern(!member->second.name.empty() ? member->second.name
                                    : !p.pushName.empty()        ? p.pushName
                                                                 : number);
      } else {
        m.senderName = !p.pushName.empty() ? texts.Intern(p.pushName) : s.partnerName;
      }
    } else {
      m.senderId = s.partnerId;
      m.senderName = !s.partnerName.empty() ? s.partnerName : texts.Intern(p.pushName);
    }
    messages.push_back(std::move(m));
  }
  if (blank != 0) {
    chat.Note("ZWAMESSAGE", CountText(blank, "row has", "rows have") +
                                " neither text nor date nor media; not a message, left out");
  }
  if (orphanMessages != 0) {
    chat.Note("ZWAMESSAGE",
              CountText(orphanMessages, "live message points", "live messages point") +
                  " to a chat that ZWACHATSESSION does not hold; read without its chat");
  }

  DropCopies(messages);
  for (std::uint32_t i : DateOrder(messages)) {
    conversations[messages[i].sessionId].push_back(std::move(messages[i]));
  }
  return kResultOk;
}

}  // namespace kestrio
