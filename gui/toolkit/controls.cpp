#include "gui/toolkit/controls.h"

#include <QDynamicPropertyChangeEvent>
#include <QEnterEvent>

namespace kestrio::toolkit {

void ButtonEx::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  emit hotChanged(true);
}

void ButtonEx::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  emit hotChanged(false);
}

void ButtonGif::SetGif(const QString& file) {
  if (movie_) {
    movie_->stop();
    movie_->deleteLater();
    movie_ = nullptr;
  }
  setIcon(QIcon());
  if (file.isEmpty()) return;
  movie_ = new QMovie(file, QByteArray(), this);
  if (!movie_->isValid()) {
    movie_->deleteLater();
    movie_ = nullptr;
    return;
  }
  connect(movie_, &QMovie::frameChanged, this, [this] {
    setIcon(QIcon(movie_->currentPixmap()));
    if (!movie_->currentPixmap().isNull()) setIconSize(movie_->currentPixmap().size());
  });
  movie_->start();
}

void ButtonGif::SetPlaying(bool playing) {
  if (movie_) movie_->setPaused(!playing);
}

bool ButtonGif::Playing() const { return movie_ && movie_->state() == QMovie::Running; }

bool ButtonGif::event(QEvent* event) {
  if (event->type() == QEvent::DynamicPropertyChange &&
      static_cast<QDynamicPropertyChangeEvent*>(event)->propertyName() == "normalgiffile")
    SetGif(property("normalgiffile").toString());
  return QPushButton::event(event);
}

}  // namespace kestrio::toolkit
