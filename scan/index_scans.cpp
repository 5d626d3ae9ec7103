#include "scan/index_scans.h"

namespace kestrio {

std::vector<std::filesystem::path> StoredPathsHolding(const MediaSource& source,
                                                      std::string_view needle, std::size_t limit) {
  std::vector<std::filesystem::path> paths;
  if (source.entries == nullptr) return paths;
  for (const ManifestEntry& entry : *source.entries) {
    if (paths.size() >= limit) break;
    if (entry.key.find(needle) == std::string::npos) continue;
    std::filesystem::path path = StoredPath(source.folder, entry.storedName, source.layout);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

Result ScanQQInIndex(const MediaSource& source, ChatAppConversationMap& chats,
                     FindingsSink* findings) {
  chats.clear();
  const auto databases = StoredPathsHolding(source, "/QQ.db", 1);
  return databases.empty() ? kResultInvalid : ParseQQ(databases.front(), chats, findings);
}

Result ScanWeChatInIndex(const MediaSource& source,
                         std::map<std::string, ChatAppConversationMap>& accounts,
                         FindingsSink* findings) {
  accounts.clear();
  Result result = kResultInvalid;
  int account = 0;
  for (const std::filesystem::path& database : StoredPathsHolding(source, "/MM.sqlite")) {
    ChatAppConversationMap chats;
    result = ParseWeChat(database, chats, findings);
    accounts["User" + std::to_string(++account)] = std::move(chats);
  }
  return result;
}

}  // namespace kestrio
