// A scan's results with a few records in every category, and the selection built over them
// the way the scan's hand-offs build it: shared by the tests of what the result page lists
// and prints.
#pragma once

#include <string>
#include <vector>

#include "scan/list_order.h"
#include "scan/scan_run.h"
#include "scan/selection_model.h"

namespace kestrio::testing {

inline FileRecord File(std::string name, std::uint32_t size, bool deleted = false) {
  FileRecord file;
  file.name = std::move(name);
  file.size = size;
  file.deleted = deleted;
  return file;
}

inline CallRecord Call(std::string number, std::string date, bool incoming, std::int32_t seconds,
                       bool answered, bool deleted = false) {
  CallRecord call;
  call.number = std::move(number);
  call.dateText = std::move(date);
  call.isIncoming = incoming;
  call.durationSeconds = seconds;
  call.answered = answered;
  call.deleted = deleted;
  return call;
}

inline MessageRecord Message(std::int32_t handle, std::string text, bool deleted) {
  MessageRecord message;
  message.handleId = handle;
  message.conversationId = handle;
  message.address = "+4915100" + std::to_string(handle);
  message.text = std::move(text);
  message.deleted = deleted;
  return message;
}

// A scan's results with something in every category, and the selection built over them the
// way the scan's hand-offs build it.
struct Scanned {
  Scanned() {
    r.cameraRoll = {File("IMG_0002.HEIC", 2048), File("IMG_0001.MOV", 900, true),
                    File("IMG_0003.JPG", 1 << 20)};
    r.photoStream = {File("stream.jpg", 10)};
    r.messages[1] = {Message(1, "hello", false), Message(1, "gone", true)};
    r.messages[2] = {Message(2, "line one\nline two", false)};
    r.messageAttachments.resize(2);
    r.messageAttachments[0].name = "clip.MOV";
    r.messageAttachments[1].name = "photo.jpg";
    r.contacts.resize(3);
    r.contacts[0].fullName = "Ava";
    r.contacts[1].fullName = "Ben";
    r.contacts[1].deleted = true;
    r.contacts[2].fullName = "Cleo";
    r.callHistory = {Call("100", "2020-01-01 10:00:00", true, 0, false),
                     Call("200", "2020-01-02 10:00:00", false, 0, false, true),
                     Call("300", "2020-01-03 10:00:00", true, 3661, true)};
    r.notes.resize(2);
    r.notes[1].deleted = true;
    r.appFiles = {
        {10, "WhatsApp", "a.jpg", {}}, {20, "WhatsApp", "b.png", {}}, {30, "Signal", "c.mp4", {}}};
    ScanRun::SplitAppFiles(r.appFiles, r.appPhotos, r.appVideos);
    WhatsAppMessageRecord chat;
    chat.sessionId = 4;
    chat.partnerName = "Team";
    chat.senderName = "Lena";
    chat.senderId = "4915100";
    r.whatsApp[4] = {chat};
    r.whatsAppAttachments = {File("voice.opus", 5000)};

    r.conversationRows = ConversationRows(r.messages);
    r.whatsAppRows = WhatsAppChatRows(r.whatsApp);
    OrderContacts(r.contacts);
    OrderCalls(r.callHistory);
    OrderNotes(r.notes);
    selection.BuildFiles(kCodeCameraRoll, r.cameraRoll);
    selection.BuildFiles(kCodePhotoStream, r.photoStream);
    selection.BuildConversations(r.conversationRows);
    selection.BuildAttachments(r.messageAttachments);
    selection.BuildContacts(r.contacts);
    selection.BuildCalls(r.callHistory);
    selection.BuildNotes(r.notes);
    selection.BuildAppFiles(kCodeAppPhotos, r.appPhotos);
    selection.BuildAppFiles(kCodeAppVideos, r.appVideos);
    selection.BuildWhatsAppChats(r.whatsAppRows);
    selection.BuildFiles(kCodeWhatsAppAttachments, r.whatsAppAttachments);
  }
  ScanResults r;
  SelectionModel selection;
};

}  // namespace kestrio::testing
