// The orders the result lists show, made on the scan worker when a category is handed over.
// Every sort is stable: records that compare equal keep the order the parser gave them.
#pragma once

#include <vector>

#include "parsers/calls.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"

namespace kestrio {

// One row per conversation, in map order: a copy of its last message, marked deleted when any
// of its messages is; then the deleted rows first. Empty conversations have no row.
std::vector<MessageRecord> ConversationRows(const ConversationMap& conversations);
// The same for WhatsApp chats (keyed by session).
std::vector<WhatsAppMessageRecord> WhatsAppChatRows(const WhatsAppConversationMap& chats);

// Deleted first.
void OrderContacts(std::vector<ContactRecord>& contacts);
// By date text, descending as plain text, then deleted first (the date order kept within).
void OrderCalls(std::vector<CallRecord>& calls);
// Deleted first.
void OrderNotes(std::vector<NoteRecord>& notes);

}  // namespace kestrio
