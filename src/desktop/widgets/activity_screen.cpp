#include "desktop/widgets/activity_screen.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

QString eventTime(const JSON& event) {
  QDateTime moment = QDateTime::fromSecsSinceEpoch(event["created"].integer());
  return QLocale().toString(moment.time(), QLocale::ShortFormat);
}

ActivityScreen::ActivityScreen(AppModel& model, std::function<void(Screen)> show,
                               std::function<void(const std::string&)> openJob) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(
      makeTitleBlock("Across your group", "Deployment activity",
                     "Follow builds, transfers, installation, and launch results from every Mac."));
  jobs_ = new JobsList(
      model, 100, [show] { show(Screen::activity); }, std::move(openJob));
  layout->addWidget(jobs_);
  timeline_ = makeCard();
  timeline_->setObjectName("timeline");
  auto* body = static_cast<QVBoxLayout*>(timeline_->layout());
  body->addWidget(makeLabel("Job timeline", TextStyle::title));
  events_ = new QVBoxLayout;
  events_->setSpacing(6);
  body->addLayout(events_);
  layout->addWidget(timeline_);
  layout->addStretch(1);
}

void ActivityScreen::render(const AppModel& model) {
  jobs_->render(model);
  timeline_->setVisible(model.selectedJob().has_value());
  if (rendered_ && model.events() == shown_) return;
  rendered_ = true;
  shown_ = model.events();
  clearLayout(events_);
  for (const JSON& event : shown_) {
    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    QLabel* time = makeLabel(eventTime(event), TextStyle::secondary);
    time->setWordWrap(false);
    time->setMinimumWidth(64);
    row->addWidget(time, 0, Qt::AlignTop);
    QLabel* message = makeSelectable(qs(event["message"].text()));
    message->setObjectName("eventMessage");
    message->setWordWrap(true);
    row->addWidget(message, 1);
    events_->addLayout(row);
  }
}

}  // namespace vek::desktop::widgets
