#include "scan/chat_text.h"

#include "base/text_file.h"

namespace kestrio {
namespace {

constexpr std::string_view kUnknownSender = "Unknown";

template <typename Record, typename SenderOf>
Result WriteMessages(const std::vector<Record>& messages, const std::filesystem::path& output,
                     const ChatTextProgress& progress, SenderOf senderOf) {
  TextFileWriter file;
  if (const Result opened = file.Open(output); opened != kResultOk) return opened;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const Record& message = messages[i];
    std::string block(std::string_view(message.dateText));
    block.append(" ").append(senderOf(message)).append(":\n    ");
    block.append(message.text).append("\n\n");
    if (const Result written = file.Write(block); written != kResultOk) return written;
    if (progress) {
      const auto percent = static_cast<std::int32_t>((i + 1) * 100 / messages.size());
      if (const Result answer = progress(percent); answer != kResultOk) return answer;
    }
  }
  return file.Close();
}

}  // namespace

Result WriteWhatsAppChatText(const std::vector<WhatsAppMessageRecord>& messages,
                             const std::filesystem::path& output,
                             const ChatTextProgress& progress) {
  return WriteMessages(messages, output, progress, [](const WhatsAppMessageRecord& message) {
    return message.senderName.empty() ? std::string(kUnknownSender) : message.senderName.str();
  });
}

Result WriteChatAppText(const std::vector<ChatAppMessageRecord>& messages,
                        const std::filesystem::path& output, const std::string& contactName,
                        const ChatTextProgress& progress) {
  return WriteMessages(messages, output, progress, [&](const ChatAppMessageRecord& message) {
    if (message.isFromMe) return std::string("Me");
    if (!message.senderName.empty()) return message.senderName;
    return contactName.empty() ? std::string(kUnknownSender) : contactName;
  });
}

Result WriteWhatsAppChatText(const WhatsAppConversationMap& chats, std::int32_t sessionId,
                             const std::filesystem::path& output,
                             const ChatTextProgress& progress) {
  const auto it = chats.find(sessionId);
  if (it == chats.end()) return kResultInvalid;
  return WriteWhatsAppChatText(it->second, output, progress);
}

Result WriteChatAppText(const ChatAppConversationMap& chats, const std::string& chatKey,
                        const std::filesystem::path& output, const std::string& contactName,
                        const ChatTextProgress& progress) {
  const auto it = chats.find(chatKey);
  if (it == chats.end()) return kResultInvalid;
  return WriteChatAppText(it->second, output, contactName, progress);
}

Result WriteChatAppText(const std::map<std::string, ChatAppConversationMap>& accounts,
                        const std::string& chatKey, const std::filesystem::path& output,
                        const std::string& contactName, const ChatTextProgress& progress) {
  for (const auto& [account, chats] : accounts) {
    if (chats.count(chatKey) != 0)
      return WriteChatAppText(chats, chatKey, output, contactName, progress);
  }
  return kResultInvalid;
}

}  // namespace kestrio
