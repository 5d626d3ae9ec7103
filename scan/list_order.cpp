#include "scan/list_order.h"

#include <algorithm>

namespace kestrio {
namespace {

template <typename Record>
void DeletedFirst(std::vector<Record>& records) {
  std::stable_partition(records.begin(), records.end(),
                        [](const Record& record) { return record.deleted; });
}

template <typename Record, typename Map>
std::vector<Record> LastOfEach(const Map& conversations) {
  std::vector<Record> rows;
  rows.reserve(conversations.size());
  for (const auto& [key, messages] : conversations) {
    if (messages.empty()) continue;
    Record& row = rows.emplace_back(messages.back());
    row.deleted = std::any_of(messages.begin(), messages.end(),
                              [](const Record& message) { return message.deleted; });
  }
  DeletedFirst(rows);
  return rows;
}

}  // namespace

std::vector<MessageRecord> ConversationRows(const ConversationMap& conversations) {
  return LastOfEach<MessageRecord>(conversations);
}

std::vector<WhatsAppMessageRecord> WhatsAppChatRows(const WhatsAppConversationMap& chats) {
  return LastOfEach<WhatsAppMessageRecord>(chats);
}

void OrderContacts(std::vector<ContactRecord>& contacts) { DeletedFirst(contacts); }

void OrderCalls(std::vector<CallRecord>& calls) {
  std::stable_sort(calls.begin(), calls.end(), [](const CallRecord& a, const CallRecord& b) {
    return a.dateText > b.dateText;
  });
  DeletedFirst(calls);
}

void OrderNotes(std::vector<NoteRecord>& notes) { DeletedFirst(notes); }

}  // namespace kestrio
