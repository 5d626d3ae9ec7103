#include "parsers/whatsapp.h"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_map>

#include "base/time_text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"
#include "sqlite/sqlite_library.h"

namespace kestrio {
namespace {

constexpr std::uint32_t kIsFromMeColumn = 12;
constexpr std::uint32_t kSessionColumn = 19;
constexpr std::uint32_t kGroupMemberColumn = 20;
constexpr std::uint32_t kMediaItemColumn = 22;
constexpr std::uint32_t kMessageDateColumn = 25;
constexpr std::uint32_t kMessageTextColumn = 32;
constexpr std::uint32_t kPartnerIdColumn = 20;
constexpr std::uint32_t kPartnerNameColumn = 23;
constexpr std::uint32_t kMemberSessionColumn = 7;
constexpr std::uint32_t kMemberIdColumn = 10;
constexpr std::uint32_t kMemberNameColumn = 12;
constexpr std::uint32_t kMediaPathColumn = 18;
// Column count assumed when SQLite reports none, and the most columns of the narrow layout.
constexpr std::uint32_t kEmptyTableColumns = 23;
constexpr std::uint32_t kNarrowLayoutColumns = 28;
// Group member rowids below this are not real members.
constexpr std::int64_t kFirstMemberRowId = 2;

struct Session {
  std::uint32_t rowId = 0;
  std::string partnerId;
  std::string partnerName;
  std::string memberIds;
  std::string memberNames;
};

struct GroupMember {
  std::uint32_t rowId = 0;
  std::int64_t sessionId = 0;
  std::string memberId;
  std::string memberName;
};

struct MediaItem {
  std::uint32_t rowId = 0;
  std::string mediaPath;
};

// Asks SQLite for ZWAMESSAGE's column count, from the table's definition, so that a table
// whose rows were all deleted still gets the count its carved records have. The file is
// opened read-only. kResultManifestDbQuery when there is no such table.
Result ProbeMessageColumns(const std::filesystem::path& path, std::uint32_t& columns) {
  ReadOnlyDatabase database;
  if (const Result opened = database.Open(path); opened != SQLITE_OK) return opened;
  sqlite3_stmt* statement = nullptr;
  Result result = kResultManifestDbQuery;
  if (sqlite3_prepare_v2(database.get(), "select * from ZWAMESSAGE;", -1, &statement, nullptr) ==
      SQLITE_OK) {
    const int count = sqlite3_column_count(statement);
    columns = count > 0 ? static_cast<std::uint32_t>(count) : kEmptyTableColumns;
    result = kResultOk;
  }
  sqlite3_finalize(statement);
  return result;
}

std::uint32_t RowIdOf(const RecordView& view, const DecodedRecord& record) {
  return view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
}

// Texts of these rows must be real text: carved garbage is rejected.
bool Text(const DecodedRecord& record, std::uint32_t column, std::string& out) {
  return StrictText(record.Column(column), out);
}

}  // namespace

Result ParseWhatsApp(const std::filesystem::path& chatStoragePath,
                     WhatsAppConversationMap& conversations, FindingsSink* findings) {
  std::uint32_t columns = kEmptyTableColumns;
  if (const Result probed = ProbeMessageColumns(chatStoragePath, columns); probed != kResultOk)
    return probed;
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(chatStoragePath, "ChatStorage.sqlite");
      opened != kResultOk)
    return opened;
  reader.Learned().whatsAppMessageColumnCount = columns;
  const bool wide = columns > kNarrowLayoutColumns;

  std::vector<MediaItem> media;
  std::vector<Session> sessions;
  std::vector<GroupMember> members;
  Result result = ScanInto(reader, "ZWAMEDIAITEM", media,
                           [](const RecordView& view, const DecodedRecord& r, MediaItem& item) {
                             item.rowId = RowIdOf(view, r);
                             return Text(r, kMediaPathColumn, item.mediaPath);
                           });
  if (result != kResultOk) return result;
  result = ScanInto(reader, "ZWACHATSESSION", sessions,
                    [](const RecordView& view, const DecodedRecord& r, Session& session) {
                      session.rowId = RowIdOf(view, r);
                      if (!Text(r, kPartnerIdColumn, session.partnerId) ||
                          !Text(r, kPartnerNameColumn, session.partnerName))
                        return false;
                      // "4915112345678@s.whatsapp.net" -> "4915112345678"; no at sign: empty.
                      const std::size_t at = session.partnerId.find('@');
                      session.partnerId =
                          at == std::string::npos ? std::string() : session.partnerId.substr(0, at);
                      return true;
                    });
  if (result != kResultOk) return result;
  result = ScanInto(reader, "ZWAGROUPMEMBER", members,
                    [](const RecordView& view, const DecodedRecord& r, GroupMember& member) {
                      member.rowId = RowIdOf(view, r);
                      member.sessionId = IntegerOr0(r.Column(kMemberSessionColumn));
                      return Text(r, kMemberIdColumn, member.memberId) &&
                             Text(r, kMemberNameColumn, member.memberName);
                    });
  if (result != kResultOk) return result;

  for (Session& session : sessions) {
    for (const GroupMember& member : members) {
      if (member.sessionId != session.rowId) continue;
      if (!session.memberIds.empty()) session.memberIds += ",";
      if (!session.memberNames.empty()) session.memberNames += ",";
      session.memberIds += member.memberId;
      session.memberNames += member.memberName;
    }
  }

  std::vector<WhatsAppMessageRecord> messages;
  result = ScanInto(
      reader, "ZWAMESSAGE", messages,
      [wide](const RecordView& view, const DecodedRecord& r, WhatsAppMessageRecord& m) {
        if (!Text(r, kMessageTextColumn, m.text)) return false;
        if (auto seconds = ColumnSeconds(r.Column(kMessageDateColumn)))
          m.dateText = AppleTimeText(*seconds);
        // Every message has a date; a carved candidate without one is zeroed or foreign
        // bytes (an emptied page yields runs of all-NULL records).
        if (view.carved && m.dateText.empty()) return false;
        m.deleted = view.deleted;
        m.rowId = RowIdOf(view, r);
        const RecordColumn* fromMe = r.Column(kIsFromMeColumn);
        m.isFromMe = fromMe != nullptr && fromMe->serialType == 9;
        const RecordColumn* session = r.Column(kSessionColumn);
        const auto sessionId = session ? session->Integer() : std::nullopt;
        m.sessionId = sessionId ? static_cast<std::int32_t>(*sessionId) : -1;
        m.groupMemberId = static_cast<std::int32_t>(IntegerOr0(r.Column(kGroupMemberColumn)));
        if (wide) m.mediaItemId = static_cast<std::int32_t>(IntegerOr0(r.Column(kMediaItemColumn)));
        return true;
      });
  if (result != kResultOk) return result;

  // First match wins in every lookup.
  std::unordered_map<std::uint32_t, const Session*> sessionById;
  for (const Session& s : sessions) {
    if (s.rowId != 0) sessionById.try_emplace(s.rowId, &s);
  }
  std::unordered_map<std::uint32_t, const GroupMember*> memberById;
  for (const GroupMember& g : members) {
    if (g.rowId != 0) memberById.try_emplace(g.rowId, &g);
  }
  std::unordered_map<std::uint32_t, const MediaItem*> mediaById;
  for (const MediaItem& item : media) {
    if (item.rowId != 0) mediaById.try_emplace(item.rowId, &item);
  }
  for (WhatsAppMessageRecord& m : messages) {
    auto found = sessionById.find(static_cast<std::uint32_t>(m.sessionId));
    if (m.sessionId <= 0 || found == sessionById.end()) continue;
    const Session& s = *found->second;
    m.senderId = s.partnerId;
    m.senderName = s.partnerName;
    m.partnerName = s.partnerName;
    const bool hasMembers = !s.memberIds.empty() || !s.memberNames.empty();
    m.chatIds = hasMembers ? s.memberIds : s.partnerId;
    m.chatNames = hasMembers ? s.memberNames : s.partnerName;
    if (m.isFromMe) {
      m.senderName = "Me";
      m.senderId.clear();
    } else if (m.groupMemberId >= kFirstMemberRowId) {
      if (auto member = memberById.find(static_cast<std::uint32_t>(m.groupMemberId));
          member != memberById.end()) {
        m.senderName = member->second->memberName;
        m.senderId = member->second->memberId;
      }
    }
  }
  for (WhatsAppMessageRecord& m : messages) {
    if (m.mediaItemId == 0 || !m.text.empty()) continue;
    if (auto item = mediaById.find(static_cast<std::uint32_t>(m.mediaItemId));
        item != mediaById.end())
      m.text = item->second->mediaPath;
  }

  for (std::uint32_t i : DateOrder(messages)) {
    conversations[messages[i].sessionId].push_back(std::move(messages[i]));
  }
  return kResultOk;
}

}  // namespace kestrio
