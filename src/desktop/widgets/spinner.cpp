#include "desktop/widgets/spinner.h"

#include <QPainter>

namespace vek::desktop::widgets {

Spinner::Spinner(const QColor& color, QWidget* parent) : QWidget(parent), color_(color) {
  setFixedSize(16, 16);
  timer_.setInterval(60);
  connect(&timer_, &QTimer::timeout, this, [this] {
    angle_ = (angle_ + 30) % 360;
    update();
  });
}

void Spinner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(color_, 2.2);
  pen.setCapStyle(Qt::RoundCap);
  painter.setPen(pen);
  painter.drawArc(QRectF(2, 2, 12, 12), -angle_ * 16, 270 * 16);
}

void Spinner::showEvent(QShowEvent*) {
  timer_.start();
}

void Spinner::hideEvent(QHideEvent*) {
  timer_.stop();
}

}  // namespace vek::desktop::widgets
