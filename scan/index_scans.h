// Category operations that both back-ends run the same way over a backup's index: the chat
// databases of QQ and WeChat are found by their keys and read where the index's layout puts
// their stored files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "backup/media_files.h"
#include "base/result.h"
#include "parsers/chat_apps.h"

namespace kestrio {

// Stored paths of the index entries whose key holds `needle`, in index order, at most `limit`.
std::vector<std::filesystem::path> StoredPathsHolding(const MediaSource& source,
                                                      std::string_view needle,
                                                      std::size_t limit = SIZE_MAX);

// The first database whose key holds "/QQ.db"; 87 when there is none, else the parser's result.
// `chats` is emptied first.
Result ScanQQInIndex(const MediaSource& source, ChatAppConversationMap& chats,
                     FindingsSink* findings = nullptr);

// Every database whose key holds "/MM.sqlite", its chats filed under "User1", "User2", ... in
// index order; 87 when there is none, else the last parser's result. `accounts` is emptied first.
Result ScanWeChatInIndex(const MediaSource& source,
                         std::map<std::string, ChatAppConversationMap>& accounts,
                         FindingsSink* findings = nullptr);

}  // namespace kestrio
