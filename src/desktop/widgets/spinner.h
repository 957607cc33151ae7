// A small indeterminate progress spinner: an arc that turns while the widget is shown.
#pragma once

#include <QTimer>
#include <QWidget>

namespace vek::desktop::widgets {

class Spinner : public QWidget {
 public:
  Spinner(const QColor& color, QWidget* parent = nullptr);
  QSize sizeHint() const override { return {16, 16}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QColor color_;
  QTimer timer_;
  int angle_ = 0;
};

}  // namespace vek::desktop::widgets
