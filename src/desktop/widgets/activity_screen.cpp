#include "desktop/widgets/activity_screen.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

// One progress message of the followed job: its time and its selectable text.
class EventRow : public QWidget {
 public:
  EventRow() {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    time_ = makeLabel("", TextStyle::secondary);
    time_->setWordWrap(false);
    time_->setMinimumWidth(64);
    row->addWidget(time_, 0, Qt::AlignTop);
    message_ = makeSelectable("");
    message_->setObjectName("eventMessage");
    message_->setWordWrap(true);
    row->addWidget(message_, 1);
  }

  void setEvent(const JSON& event) {
    time_->setText(eventTime(event));
    message_->setText(qs(event["message"].text()));
  }

 private:
  QLabel* time_;
  QLabel* message_;
};

}  // namespace

QString eventTime(const JSON& event) {
  QDateTime moment = QDateTime::fromSecsSinceEpoch(event["created"].integer());
  return QLocale().toString(moment.time(), QLocale::ShortFormat);
}

QString jobSummary(const JSON& job) {
  QStringList parts;
  for (const std::string& part : {job["spec"]["scheme"].text(), job["spec"]["configuration"].text(),
                                  job["spec"]["phone"]["name"].text()}) {
    if (!part.empty()) parts << qs(part);
  }
  if (!job["state"].text().empty()) parts << stateTitle(job["state"].text());
  return parts.join(QString::fromUtf8(" · "));
}

ActivityScreen::ActivityScreen(AppModel& model, std::function<void(Screen)> show,
                               std::function<void(const std::string&)> openJob)
    : events_(nullptr) {
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
  auto* head = new QVBoxLayout;
  head->setSpacing(2);
  head->addWidget(makeLabel("Job timeline", TextStyle::title));
  followed_ = makeLabel("", TextStyle::secondary);
  followed_->setObjectName("timelineJob");
  head->addWidget(followed_);
  body->addLayout(head);
  auto* events = new QVBoxLayout;
  events->setSpacing(6);
  body->addLayout(events);
  events_ = KeyedRows(events);
  layout->addWidget(timeline_);
  layout->addStretch(1);
}

void ActivityScreen::render(const AppModel& model) {
  jobs_->render(model);
  timeline_->setVisible(model.selectedJob().has_value());
  if (!model.selectedJob()) return;
  // A job beyond the listed ones is named by its id until the list holds it.
  QString summary = qs(*model.selectedJob());
  for (const JSON& job : model.jobs()) {
    if (job["id"].text() == *model.selectedJob()) {
      summary = jobSummary(job);
      break;
    }
  }
  followed_->setText(summary);

  // Events only ever grow at the end, so a row per position keeps the rows already shown.
  std::vector<QString> keys;
  for (std::size_t i = 0; i < model.events().size(); ++i)
    keys.push_back(QString::number(i));
  std::vector<QWidget*> rows = events_.show(keys, [](const QString&) { return new EventRow; });
  for (std::size_t i = 0; i < rows.size(); ++i)
    static_cast<EventRow*>(rows[i])->setEvent(model.events()[i]);
}

}  // namespace vek::desktop::widgets
