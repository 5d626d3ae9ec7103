// Chat exports as plain text: one block per message, "<time> <sender>:" and the text
// indented by four spaces, in a UTF-8 file with a byte-order mark and CR LF line ends.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/result.h"
#include "parsers/chat_apps.h"
#include "parsers/whatsapp.h"

namespace kestrio {

using ChatTextProgress = std::function<Result(std::int32_t percent)>;

// WhatsApp: the sender is the record's sender name ("Me" for the owner), "Unknown" when it
// has none.
Result WriteWhatsAppChatText(const std::vector<WhatsAppMessageRecord>& messages,
                             const std::filesystem::path& output, const ChatTextProgress& progress);

// QQ and WeChat: the owner's messages under "Me"; the others under the record's sender name,
// else `contactName`, else "Unknown".
Result WriteChatAppText(const std::vector<ChatAppMessageRecord>& messages,
                        const std::filesystem::path& output, const std::string& contactName,
                        const ChatTextProgress& progress);

// One chat of a scan's map, found by its key; 87 when the map has no such chat. WeChat chats
// are looked up in every account, first account first.
Result WriteWhatsAppChatText(const WhatsAppConversationMap& chats, std::int32_t sessionId,
                             const std::filesystem::path& output, const ChatTextProgress& progress);
Result WriteChatAppText(const ChatAppConversationMap& chats, const std::string& chatKey,
                        const std::filesystem::path& output, const std::string& contactName,
                        const ChatTextProgress& progress);
Result WriteChatAppText(const std::map<std::string, ChatAppConversationMap>& accounts,
                        const std::string& chatKey, const std::filesystem::path& output,
                        const std::string& contactName, const ChatTextProgress& progress);

}  // namespace kestrio
