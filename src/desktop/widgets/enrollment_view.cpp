#include "desktop/widgets/enrollment_view.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "desktop/widgets/icons.h"
#include "desktop/widgets/spinner.h"
#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

QLineEdit* makeField(const QString& name, const QString& text, bool secret) {
  auto* field = new QLineEdit(text);
  field->setObjectName(name);
  field->setMinimumHeight(36);
  if (secret) field->setEchoMode(QLineEdit::Password);
  return field;
}

// A field with its label above it.
QWidget* labelled(const QString& label, QWidget* field) {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(5);
  layout->addWidget(makeLabel(label, TextStyle::secondary));
  layout->addWidget(field);
  return box;
}

}  // namespace

EnrollmentView::EnrollmentView(AppModel& model, const QString& deviceName, const QString& relay)
    : model_(model) {
  // A fixed-width column centred both ways; the fixed width lets wrapped texts take their height.
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(24, 24, 24, 24);
  auto* centre = new QHBoxLayout;
  auto* column = new QWidget;
  column->setFixedWidth(440);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(12);
  centre->addStretch(1);
  centre->addWidget(column);
  centre->addStretch(1);
  outer->addStretch(1);
  outer->addLayout(centre);
  outer->addStretch(1);

  layout->addWidget(makeSymbol("desktopcomputer.and.arrow.down", accentColor(), 56), 0,
                    Qt::AlignHCenter);
  QLabel* title = makeLabel("Your Macs, connected.", TextStyle::headline);
  title->setAlignment(Qt::AlignHCenter);
  layout->addWidget(title);
  QLabel* subtitle =
      makeLabel("Join your private group to build on any Mac and run on the iPhone beside you.",
                TextStyle::secondary);
  subtitle->setAlignment(Qt::AlignHCenter);
  layout->addWidget(subtitle);
  error_ = makeSelectable("", TextStyle::orange);
  error_->setObjectName("enrollmentError");
  error_->setAlignment(Qt::AlignHCenter);
  layout->addWidget(error_);
  layout->addSpacing(6);

  name_ = makeField("enrollmentName", deviceName, false);
  layout->addWidget(labelled("Name for this Mac", name_));
  create_ = new QCheckBox("Create the first group");
  create_->setObjectName("enrollmentCreate");
  layout->addWidget(create_);

  createFields_ = new QWidget;
  auto* createLayout = new QVBoxLayout(createFields_);
  createLayout->setContentsMargins(0, 0, 0, 0);
  createLayout->setSpacing(12);
  groupName_ = makeField("enrollmentGroupName", "My Macs", false);
  relay_ = makeField("enrollmentRelay", relay, false);
  relay_->setPlaceholderText("https://relay.example.com");
  bootstrap_ = makeField("enrollmentBootstrap", "", true);
  createLayout->addWidget(labelled("Group name", groupName_));
  createLayout->addWidget(labelled("Relay address", relay_));
  createLayout->addWidget(labelled("Server bootstrap key", bootstrap_));
  layout->addWidget(createFields_);

  joinFields_ = new QWidget;
  auto* joinLayout = new QVBoxLayout(joinFields_);
  joinLayout->setContentsMargins(0, 0, 0, 0);
  joinLayout->setSpacing(6);
  invite_ = makeField("enrollmentInvite", "", true);
  joinLayout->addWidget(labelled("Paste VEK invite", invite_));
  joinLayout->addWidget(makeLabel(QString::fromUtf8("On an enrolled Mac, open Device group → Copy "
                                                    "invite. Invites expire in 15 minutes."),
                                  TextStyle::secondary));
  layout->addWidget(joinFields_);

  action_ = new QPushButton;
  action_->setObjectName("enrollmentAction");
  action_->setProperty("kind", "prominent");
  action_->setMinimumHeight(40);
  action_->setCursor(Qt::PointingHandCursor);
  auto* label = new QHBoxLayout(action_);
  label->setContentsMargins(16, 0, 16, 0);
  label->setSpacing(8);
  label->addStretch(1);
  // The spinner turns only while the button is disabled, so it takes the disabled text colour.
  spinner_ = new Spinner(onAccentColor(false));
  spinner_->setObjectName("enrollmentSpinner");
  label->addWidget(spinner_);
  actionText_ = makeLabel("", TextStyle::onAccent);
  actionText_->setObjectName("enrollmentActionText");
  actionText_->setWordWrap(false);
  label->addWidget(actionText_);
  arrow_ = makeSymbol("arrow.right", onAccentColor(true), 16);
  label->addWidget(arrow_);
  label->addStretch(1);
  layout->addSpacing(4);
  layout->addWidget(action_);
  QWidget* footer = makeIconText("lock.shield",
                                 QString::fromUtf8("Private groups · Encrypted "
                                                   "builds · CLI included"),
                                 secondaryColor(), TextStyle::secondary);
  layout->addWidget(footer, 0, Qt::AlignHCenter);

  for (QLineEdit* field : {name_, groupName_, relay_, bootstrap_, invite_}) {
    connect(field, &QLineEdit::textChanged, this, [this] { updateForm(); });
  }
  connect(create_, &QCheckBox::toggled, this, [this] { updateForm(); });
  connect(action_, &QPushButton::clicked, this, [this] { submit(); });
  updateForm();
}

void EnrollmentView::updateForm() {
  bool create = create_->isChecked();
  createFields_->setVisible(create);
  joinFields_->setVisible(!create);
  actionText_->setText(create ? "Create group" : "Join group");
  spinner_->setVisible(busy_);
  bool missing = name_->text().isEmpty() ||
                 (create ? groupName_->text().isEmpty() || relay_->text().isEmpty() ||
                               bootstrap_->text().isEmpty()
                         : invite_->text().isEmpty());
  bool enabled = !busy_ && !missing;
  action_->setEnabled(enabled);
  // A disabled label would grey the dark arrow into the dark button; it follows the text instead.
  arrow_->setPixmap(symbolPixmap("arrow.right", onAccentColor(enabled), 16));
}

void EnrollmentView::render(const AppModel& model) {
  busy_ = model.busy();
  error_->setText(qs(model.error().value_or("")));
  error_->setVisible(model.error().has_value());
  updateForm();
}

void EnrollmentView::submit() {
  if (!action_->isEnabled()) return;
  auto clearSecrets = [this] {
    invite_->clear();
    bootstrap_->clear();
  };
  std::string name = name_->text().toStdString();
  if (create_->isChecked()) {
    model_.createGroup(relay_->text().toStdString(), groupName_->text().toStdString(), name,
                       bootstrap_->text().toStdString(), clearSecrets);
  } else {
    model_.joinGroup(invite_->text().toStdString(), name, clearSecrets);
  }
}

}  // namespace vek::desktop::widgets
