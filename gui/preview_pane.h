// The preview pane beside the item list ("PreviewVtrWnd"): the selected item shown as rich
// text ("PreviewEdit": a note, a picture), as message bubbles ("MessagesList", one row per
// message drawn from the window files "MessagesElementSend" and "MessagesElementRecv"), or as
// a contact card ("ContactInfo"). Sounds and videos are copied out and handed to the players
// of config.ini; a file over 64 KiB is copied behind the progress window. The content comes
// from output/preview.h; this class only draws it.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTextBrowser>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/players.h"
#include "output/preview.h"

class QAbstractButton;
class QListView;
class QScrollArea;

namespace kestrio {

class BubbleModel;

// A picture file as an image: what Qt reads by the file's content, else a HEIF picture
// through libheif. False (with the reason) when it does not decode.
bool LoadPicture(const QString& path, QImage& image, QString* why = nullptr);

// Files up to this size are copied for a preview without the progress window.
inline constexpr std::uint64_t kQuietPreviewCopy = 65536;

class PreviewPane : public QObject {
  Q_OBJECT
 public:
  // `page`: the scan page's content, holding "PreviewVtrWnd" and its controls; `window`: the
  // owner of message boxes and the progress window.
  PreviewPane(QWidget* page, QWidget* window, QObject* parent = nullptr);
  ~PreviewPane() override;

  // The face a freshly shown category opens with (the pane is switched on for it), or hidden.
  void ShowArea(PreviewArea area);
  // Empties every face and hides the pane (a new scan).
  void Clear();
  // Shows `row` of `list`, whose rows point into `run`'s results; the run's back-end makes the
  // preview copies.
  void ShowRow(const ItemList& list, std::size_t row, ScanRun& run);

  // The players started for sounds and videos (tests stand scripts in).
  void SetPlayers(PlayerCommands players) { players_ = std::move(players); }

  // What is shown, for tests.
  PreviewArea Area() const { return area_; }
  int BubbleCount() const;
  const Bubble* BubbleAt(int row) const;
  QSize PictureSize() const { return pictureSize_; }
  QString Text() const;
  // How many preview copies were made (a repeat of the last file makes none).
  int CopiesMade() const { return copies_; }
  // How many of them were made behind the progress window.
  int ProgressCopies() const { return progressCopies_; }

 signals:
  // The video player ended without saying it plays (delivered on the pane's thread).
  void videoFailed(int generation);

 private:
  void ShowFace(PreviewArea area);
  void ShowNote(const NoteRecord& note);
  void ShowBubbles(std::vector<Bubble> bubbles);
  void ShowCard(const ContactCard& card);
  void ShowFile(const PreviewFile& file, ScanRun& run);
  void ShowPreviewCopy(const std::string& previewPath);
  void ShowPicture(const QString& path);
  void Play(const std::vector<std::string>& command, const std::string& path, bool video);
  void StopPlayers();
  void Fail(const QString& reason);

  QWidget* page_;
  QPointer<QWidget> window_;
  QWidget* pane_ = nullptr;
  QAbstractButton* option_ = nullptr;
  QTextBrowser* edit_ = nullptr;
  QListView* messages_ = nullptr;
  QScrollArea* cardArea_ = nullptr;
  QWidget* card_ = nullptr;
  QString nameStyle_;  // the card's name as its window file styles it
  BubbleModel* bubbles_ = nullptr;
  PreviewArea area_ = PreviewArea::kHidden;
  PlayerCommands players_;
  std::filesystem::path lastSource_;
  std::string lastCopy_;
  QSize pictureSize_;
  int copies_ = 0;
  int progressCopies_ = 0;
  int generation_ = 0;
  std::thread watcher_;
};

}  // namespace kestrio
