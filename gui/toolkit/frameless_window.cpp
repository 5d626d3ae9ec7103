#include "gui/toolkit/frameless_window.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <QWindow>

#include "gui/toolkit/popup_window.h"

namespace kestrio::toolkit {

FramelessWindow::FramelessWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  setAttribute(Qt::WA_TranslucentBackground);
  setMouseTracking(true);
}

void FramelessWindow::SetContent(QWidget* content, const Frame& frame) {
  content_ = content;
  frame_ = frame;
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(frame.shadow, frame.shadow, frame.shadow, frame.shadow);
  layout->addWidget(content);
  auto* shadow = new QGraphicsDropShadowEffect(content);
  shadow->setBlurRadius(frame.shadow * 2 + 4);
  shadow->setOffset(0, 0);
  shadow->setColor(QColor(45, 45, 45, 120));
  content->setGraphicsEffect(shadow);
  content->setAttribute(Qt::WA_StyledBackground);
  content->setMouseTracking(true);
  // The window itself (its shadow band), the content and its controls: presses anywhere may
  // resize or drag.
  installEventFilter(this);
  content->installEventFilter(this);
  for (QWidget* child : content->findChildren<QWidget*>()) child->installEventFilter(this);

  const auto wire = [this](const char* name, auto action) {
    if (auto* button = content_->findChild<QAbstractButton*>(name))
      connect(button, &QAbstractButton::clicked, this, action);
  };
  wire("minbtn", [this] { showMinimized(); });
  wire("maxbtn", [this] { showMaximized(); });
  wire("restorebtn", [this] { showNormal(); });
  wire("closebtn", [this] { close(); });
  UpdateMaxRestore();
}

Qt::Edges FramelessWindow::EdgesAt(const QPoint& point) const {
  Qt::Edges edges;
  if (isMaximized() || isFullScreen()) return edges;
  const int band = frame_.sizeBox + frame_.shadow;
  if (point.x() < band) edges |= Qt::LeftEdge;
  if (point.x() >= width() - band) edges |= Qt::RightEdge;
  if (point.y() < band) edges |= Qt::TopEdge;
  if (point.y() >= height() - band) edges |= Qt::BottomEdge;
  return edges;
}

bool FramelessWindow::InCaption(const QPoint& point) const {
  return content_ && point.y() >= frame_.shadow && point.y() < frame_.shadow + frame_.captionHeight;
}

void FramelessWindow::UpdateMaxRestore() {
  if (!content_) return;
  const bool maximised = isMaximized();
  if (auto* max = content_->findChild<QWidget*>("maxbtn")) max->setVisible(!maximised);
  if (auto* restore = content_->findChild<QWidget*>("restorebtn")) restore->setVisible(maximised);
  // No shadow band and no round corners while maximised.
  if (layout()) {
    const int margin = maximised ? 0 : frame_.shadow;
    layout()->setContentsMargins(margin, margin, margin, margin);
  }
}

void FramelessWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) {
    UpdateMaxRestore();
    UpdateCorners();
  }
}

void FramelessWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  UpdateCorners();
}

void FramelessWindow::UpdateCorners() {
  if (!content_) return;
  if (isMaximized() || isFullScreen() || frame_.cornerRadius <= 0) {
    content_->clearMask();
    return;
  }
  QPainterPath path;
  path.addRoundedRect(QRectF(QPointF(0, 0), content_->size()), frame_.cornerRadius,
                      frame_.cornerRadius);
  content_->setMask(QRegion(path.toFillPolygon().toPolygon()));
}

bool FramelessWindow::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget) return QWidget::eventFilter(watched, event);
  if (event->type() == QEvent::MouseButtonPress) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint point = mapFromGlobal(mouse->globalPosition().toPoint());
    if (mouse->button() != Qt::LeftButton) return false;
    if (const Qt::Edges edges = EdgesAt(point); edges && windowHandle()) {
      if (windowHandle()->startSystemResize(edges)) return true;
    }
    if (InCaption(point) && !TakesMouse(widget)) {
      if (windowHandle() && windowHandle()->startSystemMove()) return true;
      dragging_ = true;
      dragOffset_ = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
      return true;
    }
  } else if (event->type() == QEvent::MouseMove) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (dragging_) {
      move(mouse->globalPosition().toPoint() - dragOffset_);
      return true;
    }
    const Qt::Edges edges = EdgesAt(mapFromGlobal(mouse->globalPosition().toPoint()));
    const bool diagonalA =
        edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge);
    const bool diagonalB =
        edges == (Qt::TopEdge | Qt::RightEdge) || edges == (Qt::BottomEdge | Qt::LeftEdge);
    if (diagonalA) {
      setCursor(Qt::SizeFDiagCursor);
    } else if (diagonalB) {
      setCursor(Qt::SizeBDiagCursor);
    } else if (edges & (Qt::LeftEdge | Qt::RightEdge)) {
      setCursor(Qt::SizeHorCursor);
    } else if (edges & (Qt::TopEdge | Qt::BottomEdge)) {
      setCursor(Qt::SizeVerCursor);
    } else {
      unsetCursor();
    }
  } else if (event->type() == QEvent::MouseButtonRelease) {
    dragging_ = false;
  } else if (event->type() == QEvent::MouseButtonDblClick) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (InCaption(mapFromGlobal(mouse->globalPosition().toPoint())) && !TakesMouse(widget)) {
      isMaximized() ? showNormal() : showMaximized();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void FramelessWindow::paintEvent(QPaintEvent*) {
  if (!content_ || isMaximized()) return;
  // The content's own background is drawn by its style; only the rounded clip is ours.
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(content_->geometry(), frame_.cornerRadius, frame_.cornerRadius);
  painter.fillPath(path, palette().window());
}

}  // namespace kestrio::toolkit
