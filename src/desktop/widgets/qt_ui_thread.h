// The UI thread of a Qt application: functions posted from any thread run in the event loop of
// the thread that owns `context`, and are dropped when `context` is gone.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include "desktop/ui_thread.h"

namespace vek::desktop::widgets {

class QtUiThread : public UiThread {
 public:
  explicit QtUiThread(QObject* context) : context_(context) {}
  /// `context` must outlive every worker that posts here (the application object does).
  void post(std::function<void()> function) override {
    QMetaObject::invokeMethod(context_, std::move(function), Qt::QueuedConnection);
  }

 private:
  QObject* context_;
};

}  // namespace vek::desktop::widgets
