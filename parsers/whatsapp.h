// WhatsApp chats from ChatStorage.sqlite (Core Data):
//   ZWAMESSAGE      12 ZISFROMME, 19 ZCHATSESSION, 20 ZGROUPMEMBER, 22 ZMEDIAITEM (wide layout
//                   only), 25 ZMESSAGEDATE (seconds since 2001, a double), 32 ZTEXT; the table
//                   has 28 columns or fewer in older versions (narrow layout), more in newer
//                   ones (wide layout)
//   ZWACHATSESSION  20 ZCONTACTJID ("4915112345678@s.whatsapp.net"), 23 ZPARTNERNAME
//   ZWAGROUPMEMBER  7 ZCHATSESSION, 10 ZMEMBERJID, 12 ZCONTACTNAME
//   ZWAMEDIAITEM    18 ZMEDIALOCALPATH
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

struct WhatsAppMessageRecord {
  bool deleted = false;
  bool isFromMe = false;
  std::uint32_t rowId = 0;  // 0 when carved
  std::int32_t sessionId = -1;
  std::int32_t groupMemberId = 0;
  std::int32_t mediaItemId = 0;
  std::string dateText;
  std::string senderName;  // "Me" for the owner's messages
  std::string text;        // the media path when a media message has no text
  std::string senderId;
  std::string chatNames;
  std::string chatIds;
  std::string partnerName;
};

// sessionId -> the chat's messages in date order.
using WhatsAppConversationMap = std::map<std::int32_t, std::vector<WhatsAppMessageRecord>>;

// Reads every live and deleted message with its chat's partner or members and its media
// path. 0; kResultManifestDbQuery (1006) when the file has no ZWAMESSAGE table; SQLite's
// open result; the reader's open error; or the first failing table scan's result.
Result ParseWhatsApp(const std::filesystem::path& chatStoragePath,
                     WhatsAppConversationMap& conversations, FindingsSink* findings = nullptr);

}  // namespace kestrio
