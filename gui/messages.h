// The main window's private messages: workers and pages post them (queued, never blocking) and
// the main window hands each to the page that handles it. The numbers are those the pages and
// the scan run have always used (a base of 1024 plus n).
#pragma once

#include <QEvent>

namespace kestrio {

enum PrivateMessage : int {
  kUmShowPreview = 1027,          // the preview pane shows the file it has just extracted
  kUmReloadLanguage = 1030,       // every window takes the texts of the new language
  kUmStartScan = 1031,            // start a scan; parameter: source kind (0 device, 1 backup)
  kUmUpdateCounts = 1032,         // the category tree rewrites its counts
  kUmSelectFirstCategory = 1033,  // select the first category found when none is selected
  kUmScanFinished = 1034,         // the scan page switches to browsing
  kUmScanEvent = 1035,            // a page event of the scan run; parameter: its code
};

// A private message as a Qt event (type QEvent::User + the message number).
class PrivateMessageEvent : public QEvent {
 public:
  PrivateMessageEvent(int message, long long param)
      : QEvent(static_cast<QEvent::Type>(QEvent::User + message)),
        message_(message),
        param_(param) {}
  int Message() const { return message_; }
  long long Param() const { return param_; }

  static bool Is(const QEvent* event) {
    const int type = static_cast<int>(event->type()) - static_cast<int>(QEvent::User);
    return type >= kUmShowPreview && type <= kUmScanEvent;
  }

 private:
  int message_;
  long long param_;
};

}  // namespace kestrio
