#include "desktop/widgets/jobs_list.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>

#include "desktop/widgets/icons.h"
#include "desktop/widgets/theme.h"
#include "foundation/constants.h"

namespace vek::desktop::widgets {

namespace {

// A row of the list that acts like a flat button: pressing anywhere outside its own buttons opens
// the job. A frame rather than a push button, so the row takes the height its wrapped texts need.
class JobRow : public QFrame {
 public:
  explicit JobRow(std::function<void()> open) : open_(std::move(open)) {
    setProperty("jobRow", true);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
      open_();
    }
  }

 private:
  std::function<void()> open_;
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
    : model_(model), limit_(limit), open_(std::move(open)) {
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
  rows_ = static_cast<QVBoxLayout*>(card->layout());
  layout->addWidget(card);
}

void JobsList::render(const AppModel& model) {
  std::vector<JSON> jobs(model.jobs().begin(),
                         model.jobs().begin() + std::min(limit_, model.jobs().size()));
  if (rendered_ && jobs == shown_ && busyShown_ == model.busy()) return;
  rendered_ = true;
  shown_ = jobs;
  busyShown_ = model.busy();
  clearLayout(rows_);
  if (jobs.empty()) {
    auto* empty = new QWidget;
    auto* layout = new QHBoxLayout(empty);
    layout->setContentsMargins(10, 14, 10, 14);
    layout->addWidget(makeSymbol("clock", secondaryColor(), 18));
    QLabel* text = makeLabel("Your first deployment will appear here.", TextStyle::secondary);
    text->setObjectName("jobsEmpty");
    layout->addWidget(text, 1);
    rows_->addWidget(empty);
    return;
  }
  for (const JSON& job : jobs)
    rows_->addWidget(makeRow(job));
}

QWidget* JobsList::makeRow(const JSON& job) {
  std::string id = job["id"].text();
  std::string state = job["state"].text();
  const JSON& spec = job["spec"];

  auto* row = new JobRow([this, id] { open_(id); });
  row->setObjectName(qs("jobRow:" + id));
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(10, 8, 10, 8);
  layout->setSpacing(12);

  QString symbol = state == "succeeded" ? "checkmark.circle.fill"
                   : state == "failed"  ? "exclamationmark.circle"
                                        : "arrow.triangle.2.circlepath";
  QLabel* status = makeSymbol(symbol, state == "failed" ? orangeColor() : accentColor(), 22);
  status->setObjectName("jobStatus");
  layout->addWidget(status, 0, Qt::AlignTop);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  QLabel* title = makeLabel(qs(spec["scheme"].text()), TextStyle::title);
  title->setWordWrap(false);
  texts->addWidget(title);
  texts->addWidget(makeLabel(qs(spec["configuration"].text()) + QString::fromUtf8(" · ") +
                                 qs(spec["phone"]["name"].text()),
                             TextStyle::secondary));
  if (!job["error"].text().empty()) {
    // A tool's transcript can be long and indented; the row shows its gist on a few lines and
    // the full text stays with the job.
    QString error = qs(job["error"].text()).simplified();
    if (error.size() > 200) error = error.left(200) + QString::fromUtf8("…");
    QLabel* failure = makeLabel(error, TextStyle::orange);
    failure->setObjectName("jobError");
    failure->setToolTip(qs(job["error"].text()));
    texts->addWidget(failure);
  }
  layout->addLayout(texts, 1);

  QLabel* stateLabel = makeLabel(stateTitle(state), TextStyle::secondary);
  stateLabel->setWordWrap(false);
  stateLabel->setObjectName("jobState");
  layout->addWidget(stateLabel, 0, Qt::AlignVCenter);

  if (!VEK::isTerminal(state)) {
    auto* cancel = new QPushButton;
    cancel->setProperty("kind", "plain");
    cancel->setObjectName("jobCancel");
    cancel->setIcon(symbolIcon("xmark.circle", secondaryColor()));
    cancel->setToolTip("Cancel deployment");
    cancel->setCursor(Qt::PointingHandCursor);
    connect(cancel, &QPushButton::clicked, this, [this, id] { model_.cancel(id); });
    layout->addWidget(cancel, 0, Qt::AlignVCenter);
  }
  layout->addWidget(makeSymbol("chevron.right", secondaryColor(), 14), 0, Qt::AlignVCenter);
  return row;
}

}  // namespace vek::desktop::widgets
