#include "desktop/widgets/jobs_list.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>

#include "desktop/widgets/icons.h"
#include "desktop/widgets/theme.h"
#include "foundation/constants.h"

namespace vek::desktop::widgets {

namespace {

// One job: status symbol, scheme, configuration and phone, its failure, its state, a cancel
// button while it runs. It acts like a flat button: pressing anywhere outside its own buttons
// opens the job. A frame rather than a push button, so the row takes the height its wrapped
// texts need.
class JobRow : public QFrame {
 public:
  JobRow(AppModel& model, const std::string& id, std::function<void()> open)
      : open_(std::move(open)) {
    setObjectName(qs("jobRow:" + id));
    setProperty("jobRow", true);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->setSpacing(12);
    status_ = makeSymbol("arrow.triangle.2.circlepath", accentColor(), 22);
    status_->setObjectName("jobStatus");
    layout->addWidget(status_, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    title_ = makeLabel("", TextStyle::title);
    title_->setWordWrap(false);
    texts->addWidget(title_);
    detail_ = makeLabel("", TextStyle::secondary);
    texts->addWidget(detail_);
    error_ = makeLabel("", TextStyle::orange);
    error_->setObjectName("jobError");
    texts->addWidget(error_);
    layout->addLayout(texts, 1);

    state_ = makeLabel("", TextStyle::secondary);
    state_->setWordWrap(false);
    state_->setObjectName("jobState");
    layout->addWidget(state_, 0, Qt::AlignVCenter);
    cancel_ = new QPushButton;
    cancel_->setProperty("kind", "plain");
    cancel_->setObjectName("jobCancel");
    cancel_->setIcon(symbolIcon("xmark.circle", secondaryColor()));
    cancel_->setToolTip("Cancel deployment");
    cancel_->setCursor(Qt::PointingHandCursor);
    connect(cancel_, &QPushButton::clicked, this, [&model, id] { model.cancel(id); });
    layout->addWidget(cancel_, 0, Qt::AlignVCenter);
    layout->addWidget(makeSymbol("chevron.right", secondaryColor(), 14), 0, Qt::AlignVCenter);
  }

  void setJob(const JSON& job, bool followed) {
    std::string state = job["state"].text();
    const JSON& spec = job["spec"];
    QString symbol = state == "succeeded" ? "checkmark.circle.fill"
                     : state == "failed"  ? "exclamationmark.circle"
                                          : "arrow.triangle.2.circlepath";
    if (status_->property("symbol") != symbol) {
      status_->setPixmap(symbolPixmap(symbol, state == "failed" ? orangeColor() : accentColor(),
                                      status_->width()));
      status_->setProperty("symbol", symbol);
    }
    title_->setText(qs(spec["scheme"].text()));
    detail_->setText(qs(spec["configuration"].text()) + QString::fromUtf8(" · ") +
                     qs(spec["phone"]["name"].text()));
    // A tool's transcript can be long and indented; the row shows its gist on a few lines and
    // the full text stays with the job.
    QString error = qs(job["error"].text()).simplified();
    if (error.size() > 200) error = error.left(200) + QString::fromUtf8("…");
    error_->setText(error);
    error_->setToolTip(qs(job["error"].text()));
    error_->setVisible(!error.isEmpty());
    state_->setText(stateTitle(state));
    cancel_->setVisible(!VEK::isTerminal(state));
    if (property("followed").toBool() != followed) {
      setProperty("followed", followed);
      style()->unpolish(this);
      style()->polish(this);
    }
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
      open_();
    }
  }

 private:
  std::function<void()> open_;
  QLabel* status_;
  QLabel* title_;
  QLabel* detail_;
  QLabel* error_;
  QLabel* state_;
  QPushButton* cancel_;
};

}  // namespace

QString stateTitle(const std::string& state) {
  QString title = qs(state);
  bool wordStart = true;
  for (QChar& c : title) {
    if (c.isSpace() || c == '_' || c == '-') {
      wordStart = true;
    } else if (wordStart) {
      c = c.toUpper();
      wordStart = false;
    }
  }
  return title;
}

JobsList::JobsList(AppModel& model, std::size_t limit, std::function<void()> viewAll,
                   std::function<void(const std::string&)> open)
    : model_(model), limit_(limit), open_(std::move(open)), empty_(new QWidget), rows_(nullptr) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);
  auto* header = new QHBoxLayout;
  header->addWidget(makeLabel("Recent deployments", TextStyle::title));
  header->addStretch(1);
  QPushButton* all = makeLinkButton("View all");
  all->setObjectName("viewAll");
  connect(all, &QPushButton::clicked, this, [viewAll = std::move(viewAll)] { viewAll(); });
  header->addWidget(all);
  layout->addLayout(header);
  QFrame* card = makeCard();
  card->layout()->setContentsMargins(8, 8, 8, 8);
  card->layout()->setSpacing(2);
  auto* rows = static_cast<QVBoxLayout*>(card->layout());
  rows_ = KeyedRows(rows);

  auto* emptyLayout = new QHBoxLayout(empty_);
  emptyLayout->setContentsMargins(10, 14, 10, 14);
  emptyLayout->addWidget(makeSymbol("clock", secondaryColor(), 18));
  QLabel* text = makeLabel("Your first deployment will appear here.", TextStyle::secondary);
  text->setObjectName("jobsEmpty");
  emptyLayout->addWidget(text, 1);
  rows->addWidget(empty_);
  layout->addWidget(card);
}

void JobsList::render(const AppModel& model) {
  std::size_t count = std::min(limit_, model.jobs().size());
  std::vector<QString> keys;
  for (std::size_t i = 0; i < count; ++i)
    keys.push_back(qs(model.jobs()[i]["id"].text()));
  std::vector<QWidget*> rows = rows_.show(keys, [this](const QString& id) {
    std::string job = id.toStdString();
    return new JobRow(model_, job, [this, job] { open_(job); });
  });
  for (std::size_t i = 0; i < count; ++i) {
    const JSON& job = model.jobs()[i];
    bool followed = model.selectedJob() == job["id"].text();
    static_cast<JobRow*>(rows[i])->setJob(job, followed);
  }
  empty_->setVisible(count == 0);
}

}  // namespace vek::desktop::widgets
