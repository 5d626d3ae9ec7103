// WhatsApp chats from ChatStorage.sqlite, a Core Data store whose columns follow the app's
// version rather than iOS's; every column is looked up by name in the table's own CREATE
// statement:
//   ZWAMESSAGE      ZISFROMME (1: the owner's), ZCHATSESSION (-> ZWACHATSESSION), ZGROUPMEMBER
//                   (-> ZWAGROUPMEMBER: the sender in a group), ZMEDIAITEM (-> ZWAMEDIAITEM),
//                   ZMESSAGEDATE (seconds since 2001, integer or double), ZTEXT, ZMESSAGETYPE
//                   (0 text, 1 image, ... 6 and 10 system rows), ZFROMJID / ZTOJID, ZPUSHNAME
//                   (the name the sender gave themselves)
//   ZWACHATSESSION  ZCONTACTJID ("4915112345678@s.whatsapp.net", a group's "...@g.us"),
//                   ZPARTNERNAME (the contact's or the group's name), ZSESSIONTYPE (1: group)
//   ZWAGROUPMEMBER  ZCHATSESSION (-> the group's session), ZMEMBERJID, ZCONTACTNAME, ZFIRSTNAME
//   ZWAMEDIAITEM    ZMESSAGE (-> ZWAMESSAGE), ZMEDIALOCALPATH (relative to the app's
//                   "Message/" folder), ZTITLE (a caption or a document's name)
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/compact_text.h"
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
  DateText dateText;
  // The texts a chat's messages repeat are shared by them.
  // "Me" for the owner's messages; in a group the member's name (else the push name, else
  // the member's number); in a one-to-one chat the partner's name (else the push name).
  SharedText senderName;
  std::string text;     // the media path (else its title) when a media message has no text
  SharedText senderId;  // the sender's number: the part of the JID before '@'
  // A group's members, in the same order: names (the number when a member has none) and
  // JIDs, comma-separated; a one-to-one chat's partner name and number.
  SharedText chatNames;
  SharedText chatIds;
  SharedText partnerName;  // the contact's or the group's name
  // A media message: its item's ZMEDIALOCALPATH as stored (relative to "Message/"), and the
  // name the file is listed under among the WhatsApp attachments when the backup holds it
  // (set by the scan, empty otherwise).
  SharedText mediaPath;
  SharedText mediaFile;
};

// sessionId -> the chat's messages in date order.
using WhatsAppConversationMap = std::map<std::int32_t, std::vector<WhatsAppMessageRecord>>;

// Reads every live and deleted message with its chat's partner or members and its media
// path. Rows with neither text nor date nor media are not messages: they are left out and
// counted in a finding. 0; kResultLayoutUnknown (with a finding) when the file is SQLite
// but its schema has no ZWAMESSAGE table; the reader's open error.
Result ParseWhatsApp(const std::filesystem::path& chatStoragePath,
                     WhatsAppConversationMap& conversations, FindingsSink* findings = nullptr);

}  // namespace kestrio
