// The custom control classes a skin file may name. Each is a thin Qt widget; the names are the
// ones the window files use ("ButtonEx", "ButtonGif", ...).
#pragma once

#include <QLabel>
#include <QMovie>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>

namespace kestrio::toolkit {

// A button that reports the mouse entering and leaving it ("onhot", "offhot").
class ButtonEx : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;
 signals:
  void hotChanged(bool hot);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

// A button that plays the animated GIF named by its property "normalgiffile" (a resource or
// file path) as its icon while it is visible.
class ButtonGif : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;
  // Starts the animation of `file`; an empty name or an unreadable file shows no animation.
  void SetGif(const QString& file);
  // Pauses the animation on its current frame, or plays it on.
  void SetPlaying(bool playing);
  bool Playing() const;

 protected:
  bool event(QEvent* event) override;

 private:
  QMovie* movie_ = nullptr;
};

class LabelEx : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
};

// The category tree of the result page (a tree with check boxes).
class FileTree : public QTreeWidget {
  Q_OBJECT
 public:
  using QTreeWidget::QTreeWidget;
};

// A list with header columns (rows are top-level items).
class DiskList : public QTreeWidget {
  Q_OBJECT
 public:
  using QTreeWidget::QTreeWidget;
};

// A page-number bar; no window of the program shows one yet.
class Pagination : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
};

}  // namespace kestrio::toolkit
