#include "gui/preview_pane.h"

#include <unistd.h>
#include <QAbstractButton>
#include <QAbstractListModel>
#include <QApplication>
#include <QFile>
#include <QHash>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QListView>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QUrl>
#include <cerrno>
#include <system_error>

#include "base/paths.h"
#include "gui/message_box.h"
#include "gui/preview_process_window.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"
#include "output/picture.h"

namespace kestrio {

namespace {

using toolkit::FindControl;
using toolkit::MessageText;
using toolkit::Qs;

// Shown in the text box when the preview copy cannot be shown as a picture.
constexpr char kNotFoundText[] = "Can not found the file!";
constexpr int kThumbnailSide = 160;
// How long the video player may stay silent before its watcher stops listening.
constexpr std::chrono::seconds kPlayerWatch{30};

QColor Colour(std::uint32_t rgb) {
  return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

QString ColourName(std::uint32_t rgb) { return Colour(rgb).name(); }

}  // namespace

bool LoadPicture(const QString& path, QImage& image, QString* why) {
  image = QImage();
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  if (size.isValid() &&
      static_cast<std::int64_t>(size.width()) * size.height() > kMaxPicturePixels) {
    if (why) *why = "the picture is larger than the preview reads";
    return false;
  }
  if (reader.read(&image)) return true;
  QString reason = reader.errorString();

  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray head = file.read(16);
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(head.constData()),
                      static_cast<std::size_t>(head.size()));
    if (LooksLikeHeif(bytes)) {
      DecodedPicture picture;
      std::string failure;
      if (DecodeHeif(path.toStdString(), picture, &failure)) {
        image = QImage(picture.rgba.data(), picture.width, picture.height, picture.width * 4,
                       QImage::Format_RGBA8888)
                    .copy();
        return true;
      }
      reason = Qs(failure);
    }
  } else {
    reason = file.errorString();
  }
  if (why) *why = reason;
  return false;
}

// The bubbles of one conversation or chat, one row each.
class BubbleModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  void Show(std::vector<Bubble> bubbles) {
    beginResetModel();
    bubbles_ = std::move(bubbles);
    endResetModel();
  }
  const Bubble* At(int row) const {
    return row >= 0 && row < static_cast<int>(bubbles_.size())
               ? &bubbles_[static_cast<std::size_t>(row)]
               : nullptr;
  }
  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : static_cast<int>(bubbles_.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    const Bubble* bubble = At(index.row());
    if (!bubble) return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
      return Qs(bubble->header + "\n" + bubble->text);
    return {};
  }

 private:
  std::vector<Bubble> bubbles_;
};

// Draws each bubble by filling the row window file of its side ("MessagesElementSend" or
// "MessagesElementRecv") and rendering it, so the window files decide the look. Only the rows
// on screen are drawn; each row's height is the filled file's height at the list's width.
class BubbleDelegate : public QStyledItemDelegate {
 public:
  BubbleDelegate(BubbleModel* model, QListView* view)
      : QStyledItemDelegate(view), model_(model), view_(view) {
    for (int side = 0; side < 2; ++side) {
      QWidget* element =
          toolkit::LoadSkin(side == 0 ? "MessagesElementRecv" : "MessagesElementSend", nullptr);
      if (!element) continue;
      element->setAttribute(Qt::WA_DontShowOnScreen);
      element->ensurePolished();
      elements_[side] = element;
      if (auto* bubble = element->findChild<QLabel*>("LblBubble"))
        styles_[side] = bubble->styleSheet();
    }
  }
  ~BubbleDelegate() override {
    for (QWidget* element : elements_) delete element;
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int width = RowWidth(option);
    QWidget* element = Fill(index, width);
    return element ? QSize(width, element->height()) : QSize(width, 40);
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QWidget* element = Fill(index, option.rect.width());
    if (!element) return;
    // Drawn into an image first: rendering a widget straight into another widget's painter
    // misses the offset of the window being painted.
    const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap row(element->size() * scale);
    row.setDevicePixelRatio(scale);
    row.fill(Qt::transparent);
    element->render(&row, QPoint(), QRegion(), QWidget::DrawChildren);
    painter->drawPixmap(option.rect.topLeft(), row);
  }

 private:
  int RowWidth(const QStyleOptionViewItem& option) const {
    const int viewport = view_->viewport()->width();
    return std::max(200, viewport > 0 ? viewport : option.rect.width());
  }

  QPixmap Thumbnail(const std::filesystem::path& path) const {
    const QString key = Qs(path.string());
    if (const auto found = thumbnails_.find(key); found != thumbnails_.end()) return *found;
    QImage image;
    QPixmap pixmap;
    if (LoadPicture(key, image))
      pixmap = QPixmap::fromImage(image.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio,
                                               Qt::SmoothTransformation));
    thumbnails_.insert(key, pixmap);
    return pixmap;
  }

  // The row's window file filled with the bubble and laid out at `width`.
  QWidget* Fill(const QModelIndex& index, int width) const {
    const Bubble* bubble = model_->At(index.row());
    const int side = bubble && bubble->sent ? 1 : 0;
    QWidget* element = bubble ? elements_[side] : nullptr;
    if (!element) return nullptr;
    auto* date = element->findChild<QLabel*>("LblDate");
    auto* text = element->findChild<QLabel*>("LblBubble");
    auto* picture = element->findChild<QLabel*>("LblPicture");
    if (date) date->setText(Qs(bubble->header));
    if (text) {
      text->setText(Qs(bubble->text));
      text->setVisible(!bubble->text.empty() || bubble->pictures.empty());
      text->setStyleSheet(
          bubble->deleted ? styles_[side] + QString(" color: %1;").arg(ColourName(kDeletedColour))
                          : styles_[side]);
      // A bubble is as wide as its text, up to three quarters of the row; the style's padding
      // (30 pixels across) and a little air come on top.
      const int widest = std::max(120, width * 3 / 4);
      const QRect needed = text->fontMetrics().boundingRect(QRect(0, 0, widest - 34, 100000),
                                                            Qt::TextWordWrap, text->text());
      text->setFixedWidth(std::min(widest, needed.width() + 34));
    }
    if (picture) {
      const QPixmap pixmap =
          bubble->pictures.empty() ? QPixmap() : Thumbnail(bubble->pictures.front());
      picture->setPixmap(pixmap);
      picture->setVisible(!pixmap.isNull());
    }
    element->setFixedWidth(width);
    QLayout* layout = element->layout();
    layout->invalidate();
    layout->activate();
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                   : layout->totalSizeHint().height();
    element->setFixedHeight(std::max(height, 30));
    layout->activate();
    return element;
  }

  BubbleModel* model_;
  QListView* view_;
  QWidget* elements_[2] = {nullptr, nullptr};
  QString styles_[2];
  mutable QHash<QString, QPixmap> thumbnails_;
};

PreviewPane::PreviewPane(QWidget* page, QWidget* window, QObject* parent)
    : QObject(parent),
      page_(page),
      window_(window),
      players_(PlayerCommandsOf(Settings::Get().ConfigSection("Players"))) {
  pane_ = FindControl<QWidget>(page_, "PreviewVtrWnd");
  option_ = FindControl<QAbstractButton>(page_, "OptOnOffPreview");
  edit_ = FindControl<QTextBrowser>(page_, "PreviewEdit");
  messages_ = FindControl<QListView>(page_, "MessagesList");
  cardArea_ = FindControl<QScrollArea>(page_, "ContactCardArea");
  if (edit_) edit_->document()->setMaximumBlockCount(0);
  if (messages_) {
    bubbles_ = new BubbleModel(messages_);
    messages_->setModel(bubbles_);
    messages_->setItemDelegate(new BubbleDelegate(bubbles_, messages_));
    messages_->setUniformItemSizes(false);
    messages_->setLayoutMode(QListView::Batched);
  }
  if (cardArea_) {
    card_ = toolkit::LoadSkin("ContactInfo", nullptr);
    if (card_) {
      toolkit::ApplyTexts(card_, Settings::Get().Section("PreviewProcessWnd"));
      if (auto* name = card_->findChild<QLabel*>("TxtUserName")) nameStyle_ = name->styleSheet();
      cardArea_->setWidget(card_);
    }
  }
  if (option_) {
    connect(option_, &QAbstractButton::toggled, this, [this](bool on) {
      if (pane_) pane_->setVisible(on);
    });
  }
  connect(
      this, &PreviewPane::videoFailed, this,
      [this](int generation) {
        if (generation != generation_) return;  // a later preview stopped that player
        MessageBox::Show(MessageBoxKind::kInformation, window_, "", MessageText("MSG1207"), 550,
                         200);
      },
      Qt::QueuedConnection);
  Clear();
}

PreviewPane::~PreviewPane() { StopPlayers(); }

void PreviewPane::StopPlayers() {
  ++generation_;
  PlayerProcesses::Get().StopAll();
  // The watcher ends once the stopped player's output closes.
  if (watcher_.joinable()) watcher_.join();
}

void PreviewPane::ShowFace(PreviewArea area) {
  area_ = area;
  const bool text = area == PreviewArea::kText;
  const bool list = area == PreviewArea::kList;
  if (edit_) {
    edit_->clear();
    edit_->setVisible(text);
  }
  if (messages_) messages_->setVisible(false);
  if (bubbles_) bubbles_->Show({});
  if (cardArea_) cardArea_->setVisible(false);
  if (auto* empty = FindControl<QLabel>(page_, "LblPreviewEmpty")) empty->setVisible(list);
  pictureSize_ = QSize();
}

void PreviewPane::ShowArea(PreviewArea area) {
  ShowFace(area);
  const bool shown = area != PreviewArea::kHidden;
  if (auto* switcher = FindControl<QWidget>(page_, "SwitchLayout")) switcher->setVisible(shown);
  if (option_) {
    const QSignalBlocker block(option_);
    option_->setChecked(shown);
  }
  if (pane_) pane_->setVisible(shown);
}

void PreviewPane::Clear() {
  ShowArea(PreviewArea::kHidden);
  lastSource_.clear();
  lastCopy_.clear();
}

int PreviewPane::BubbleCount() const { return bubbles_ ? bubbles_->rowCount() : 0; }

const Bubble* PreviewPane::BubbleAt(int row) const {
  return bubbles_ ? bubbles_->At(row) : nullptr;
}

QString PreviewPane::Text() const { return edit_ ? edit_->toPlainText() : QString(); }

void PreviewPane::ShowRow(const ItemList& list, std::size_t row, ScanRun& run) {
  const ScanResults& results = run.Results();
  switch (ContentOfRow(list, row)) {
    case PreviewContent::kNone:
      return;
    case PreviewContent::kFile:
      if (const auto file = FileOfRow(list, row)) ShowFile(*file, run);
      return;
    case PreviewContent::kNote:
      ShowNote(*static_cast<const NoteRecord*>(list.Item(row)));
      return;
    case PreviewContent::kConversation:
      ShowBubbles(ConversationBubbles(results, *static_cast<const MessageRecord*>(list.Item(row))));
      return;
    case PreviewContent::kChat:
      ShowBubbles(ChatBubbles(results, *static_cast<const WhatsAppMessageRecord*>(list.Item(row))));
      return;
    case PreviewContent::kContact:
      ShowCard(CardOf(*static_cast<const ContactRecord*>(list.Item(row))));
      return;
  }
}

void PreviewPane::ShowNote(const NoteRecord& note) {
  ShowFace(PreviewArea::kText);
  if (!edit_) return;
  QTextCursor cursor(edit_->document());
  for (const TextRun& run : NoteRuns(note)) {
    QTextCharFormat format;
    if (run.colour != kDefaultColour) format.setForeground(Colour(run.colour));
    cursor.insertText(Qs(run.text), format);
  }
  edit_->moveCursor(QTextCursor::Start);
}

void PreviewPane::ShowBubbles(std::vector<Bubble> bubbles) {
  ShowFace(PreviewArea::kList);
  if (!messages_ || !bubbles_) return;
  if (auto* empty = FindControl<QLabel>(page_, "LblPreviewEmpty")) empty->setVisible(false);
  bubbles_->Show(std::move(bubbles));
  messages_->setVisible(true);
  messages_->scrollToTop();
}

void PreviewPane::ShowCard(const ContactCard& card) {
  // Contacts open without the pane; the first card shows it.
  if (area_ == PreviewArea::kHidden) {
    ShowArea(PreviewArea::kList);
  } else {
    ShowFace(PreviewArea::kList);
  }
  if (!card_ || !cardArea_) return;
  if (auto* empty = FindControl<QLabel>(page_, "LblPreviewEmpty")) empty->setVisible(false);
  const QString colour =
      card.deleted ? QString("color: %1;").arg(ColourName(kDeletedColour)) : QString();
  if (auto* name = FindControl<QLabel>(card_, "TxtUserName")) {
    name->setText(Qs(card.name));
    name->setStyleSheet(nameStyle_ + colour);
  }
  const auto control = [this](std::string_view name) {
    return FindControl<QLabel>(card_, QString::fromUtf8(name.data(), std::ssize(name)));
  };
  for (const CardControls& pair : kCardControls) {
    if (auto* label = control(pair.label)) label->setVisible(false);
    if (auto* value = control(pair.value)) value->setVisible(false);
  }
  for (const CardLine& line : card.lines) {
    auto* label = control(line.labelControl);
    auto* value = control(line.valueControl);
    if (!label || !value) continue;
    label->setVisible(true);
    value->setVisible(true);
    value->setText(Qs(line.value));
    value->setStyleSheet(colour);
  }
  cardArea_->setVisible(true);
}

void PreviewPane::Fail(const QString& reason) {
  if (edit_) edit_->setPlainText(kNotFoundText);
  MessageBox::Show(MessageBoxKind::kInformation, window_, "",
                   toolkit::FormatMessage(MessageText("MSG1212"), {reason}), 550, 200);
}

void PreviewPane::ShowFile(const PreviewFile& file, ScanRun& run) {
  ShowFace(PreviewArea::kText);
  StopPlayers();
  if (!lastCopy_.empty() && file.path == lastSource_) {
    ShowPreviewCopy(lastCopy_);  // the copy of the same file is still there
    return;
  }
  lastSource_ = file.path;
  lastCopy_.clear();

  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(file.path, error);
  if (error) {
    lastSource_.clear();
    Fail(error == std::errc::no_such_file_or_directory
             ? "the file is no longer in the backup folder"
             : Qs(error.message()));
    return;
  }
  ScanBackend* backend = run.Backend();
  if (!backend) return;
  std::string copy;
  Result result = kResultOk;
  if (size > kQuietPreviewCopy) {
    PreviewProcessWindow progress(
        window_, Qs(file.name),
        [backend, path = file.path](const ProgressFunction& report, std::string& previewPath) {
          return backend->ExtractPreview(path, previewPath, report);
        });
    const int answer = progress.Run();
    result = progress.Outcome();
    if (answer != toolkit::PopupWindow::kOk) {
      lastSource_.clear();
      if (result != 2 && result != kResultOk) Fail(QString("the copy failed (%1)").arg(result));
      return;  // cancelled: nothing shown
    }
    copy = progress.PreviewPath();
    ++progressCopies_;
  } else {
    result = backend->ExtractPreview(file.path, copy, nullptr);
    if (result != kResultOk) {
      lastSource_.clear();
      Fail(QString("the file could not be copied (%1)").arg(result));
      return;
    }
  }
  ++copies_;
  lastCopy_ = copy;
  ShowPreviewCopy(copy);
}

void PreviewPane::ShowPreviewCopy(const std::string& previewPath) {
  const std::string_view path(previewPath);
  const std::size_t dot = path.rfind('.');
  const std::string_view kind = dot == std::string_view::npos ? "" : path.substr(dot + 1);
  if (kind == "jpg") {
    ShowPicture(Qs(previewPath));
  } else if (kind == "wav") {
    Play(players_.audio, previewPath, false);
  } else if (kind == "avi") {
    Play(players_.video, previewPath, true);
  }
}

void PreviewPane::ShowPicture(const QString& path) {
  if (!edit_) return;
  edit_->clear();
  pictureSize_ = QSize();
  QImage image;
  QString why;
  if (!LoadPicture(path, image, &why)) {
    Fail("the picture does not decode: " + why);
    return;
  }
  // Scaled to fit the box, never enlarged.
  const QSize box = edit_->viewport()->size() - QSize(24, 24);
  QSize shown = image.size();
  if (box.width() > 0 && box.height() > 0 &&
      (shown.width() > box.width() || shown.height() > box.height()))
    shown.scale(box, Qt::KeepAspectRatio);
  const QUrl name("kestrio-preview://picture");
  edit_->document()->addResource(QTextDocument::ImageResource, name, image);
  QTextImageFormat format;
  format.setName(name.toString());
  format.setWidth(shown.width());
  format.setHeight(shown.height());
  QTextCursor cursor(edit_->document());
  cursor.insertImage(format);
  pictureSize_ = shown;
}

void PreviewPane::Play(const std::vector<std::string>& command, const std::string& path,
                       bool video) {
  std::vector<std::string> argv = command;
  argv.push_back(path);
  int output = -1;
  const pid_t pid = PlayerProcesses::Get().Start(argv, video ? &output : nullptr);
  if (pid < 0) {
    const int error = errno;
    QString text = toolkit::FormatMessage(MessageText("MSG1208"), {Qs(argv.front())});
    if (error != ENOENT) text += "\n" + Qs(std::generic_category().message(error));
    MessageBox::Show(MessageBoxKind::kInformation, window_, "", text, 550, 220);
    return;
  }
  if (!video) return;
  if (watcher_.joinable()) watcher_.join();
  const int generation = generation_;
  watcher_ = std::thread([this, output, generation] {
    const PlayerState state = WaitUntilPlaying(output, kPlayerWatch);
    ::close(output);
    if (state == PlayerState::kEnded) emit videoFailed(generation);
  });
}

}  // namespace kestrio
