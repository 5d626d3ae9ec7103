// A top-level window without the window manager's frame: the content draws its own caption.
// The top `captionHeight` pixels drag the window (except over buttons and edits), a band of
// `sizeBox` pixels on every side resizes it (when not maximised), the corners are rounded and
// the window casts a soft shadow. "minbtn", "maxbtn", "restorebtn" and "closebtn" of the content
// minimise, maximise, restore and close it; "maxbtn" and "restorebtn" swap as the state changes.
#pragma once

#include <QWidget>

namespace kestrio::toolkit {

class FramelessWindow : public QWidget {
  Q_OBJECT
 public:
  struct Frame {
    int captionHeight = 90;
    int sizeBox = 4;
    int cornerRadius = 5;
    int shadow = 4;  // pixels of shadow around the content
  };

  explicit FramelessWindow(QWidget* parent = nullptr);

  // Puts the content in (the window takes ownership) and wires its caption buttons.
  void SetContent(QWidget* content, const Frame& frame);
  QWidget* Content() const { return content_; }
  // The window's resize zone at `point` (window coordinates): a combination of edges, or none.
  Qt::Edges EdgesAt(const QPoint& point) const;
  bool InCaption(const QPoint& point) const;

 protected:
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateMaxRestore();
  // Clips the content to its rounded rectangle (none while maximised).
  void UpdateCorners();

  QWidget* content_ = nullptr;
  Frame frame_;
  QPoint dragOffset_;
  bool dragging_ = false;
};

}  // namespace kestrio::toolkit
