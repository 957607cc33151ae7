#include "desktop/widgets/deploy_screen.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

const QString dot = QString::fromUtf8(" · ");

QComboBox* makePicker(const QString& name) {
  auto* picker = new QComboBox;
  picker->setObjectName(name);
  picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  picker->setMinimumContentsLength(12);
  return picker;
}

// A labelled picker: the label above the picker.
void addPicker(QVBoxLayout* layout, const QString& label, QComboBox* picker) {
  QLabel* caption = makeLabel(label, TextStyle::secondary);
  caption->setWordWrap(false);
  layout->addWidget(caption);
  layout->addWidget(picker);
  layout->addSpacing(4);
}

// A card whose header is a symbol and a title.
QFrame* makeTitledCard(const QString& symbol, const QString& title, QVBoxLayout*& body) {
  QFrame* card = makeCard();
  body = static_cast<QVBoxLayout*>(card->layout());
  body->addWidget(makeIconText(symbol, title, accentColor(), TextStyle::title));
  body->addSpacing(4);
  return card;
}

// The picker's value as a std::string.
std::string valueOf(QComboBox* picker) {
  return picker->currentData().toString().toStdString();
}

}  // namespace

QString phoneDetailLine(const JSON& phone) {
  QString line = "iOS " + qs(phone["os"].text());
  for (const char* member : {"state", "transport"}) {
    std::string detail = phone[member].text();
    if (!detail.empty()) line += dot + qs(detail);
  }
  return line;
}

DeployScreen::DeployScreen(AppModel& model, std::function<void(Screen)> show,
                           std::function<void(const std::string&)> openJob)
    : model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(makeTitleBlock("Your workspace, everywhere", "Build there. Run here.",
                                   "Choose a project in your group and run it on the iPhone "
                                   "beside you."));

  QFrame* agentCard = makeCard();
  auto* agentRow = new QHBoxLayout;
  agentRow->setSpacing(12);
  agentRow->addWidget(makeSymbol("bolt.horizontal.circle", accentColor(), 22));
  agentRow->addWidget(
      makeLabel(QString::fromUtf8("Start this Mac’s agent to publish projects and devices.")), 1);
  startAgent_ = makeButton("Start agent");
  startAgent_->setObjectName("deployStartAgent");
  connect(startAgent_, &QPushButton::clicked, this, [this] { model_.startAgent(); });
  agentRow->addWidget(startAgent_);
  static_cast<QVBoxLayout*>(agentCard->layout())->addLayout(agentRow);
  agentCard_ = agentCard;
  layout->addWidget(agentCard_);

  registerProject_ = makeLinkButton(QString::fromUtf8("Register a project on this Mac…"));
  registerProject_->setObjectName("registerProject");
  connect(registerProject_, &QPushButton::clicked, this, [this] { model_.addProject(); });
  layout->addWidget(registerProject_);

  auto* cards = new QHBoxLayout;
  cards->setSpacing(16);
  // The two cards share the width equally, whatever their contents would prefer.
  for (QWidget* card : {makeBuildCard(), makeRunCard()}) {
    card->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    card->setMinimumWidth(300);
    cards->addWidget(card, 1);
  }
  layout->addLayout(cards);
  layout->addWidget(makeLaunchCard());

  jobs_ = new JobsList(
      model, 4, [show] { show(Screen::activity); }, std::move(openJob));
  layout->addWidget(jobs_);
  layout->addStretch(1);
}

QWidget* DeployScreen::makeBuildCard() {
  QVBoxLayout* body;
  QFrame* card = makeTitledCard("desktopcomputer", "01   Build on", body);
  builder_ = makePicker("builderPicker");
  project_ = makePicker("projectPicker");
  scheme_ = makePicker("schemePicker");
  configuration_ = makePicker("configurationPicker");
  distribution_ = makePicker("distributionPicker");
  addPicker(body, "Mac", builder_);
  addPicker(body, "Project", project_);
  auto* pair = new QGridLayout;
  pair->setHorizontalSpacing(12);
  pair->setVerticalSpacing(6);
  // Scheme names run longer than configuration names ("Choose a scheme" against "Release").
  scheme_->setMinimumContentsLength(15);
  configuration_->setMinimumContentsLength(8);
  pair->setColumnStretch(0, 3);
  pair->setColumnStretch(1, 2);
  pair->addWidget(makeLabel("Scheme", TextStyle::secondary), 0, 0);
  pair->addWidget(makeLabel("Configuration", TextStyle::secondary), 0, 1);
  pair->addWidget(scheme_, 1, 0);
  pair->addWidget(configuration_, 1, 1);
  body->addLayout(pair);
  body->addSpacing(4);
  addPicker(body, "Distribution", distribution_);
  showChoices(distribution_, {{"Ad Hoc", "adhoc"}, {"Debug", "debug"}}, "adhoc");
  auto* signing = new QHBoxLayout;
  signing->addWidget(makeSymbol("checkmark.shield", accentColor(), 16));
  signing_ = makeLabel("", TextStyle::secondary);
  signing_->setObjectName("signingLine");
  signing->addWidget(signing_, 1);
  body->addLayout(signing);
  body->addStretch(1);

  connect(builder_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setBuilder(valueOf(builder_)); });
  connect(project_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setProject(valueOf(project_)); });
  connect(scheme_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setScheme(valueOf(scheme_)); });
  connect(configuration_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setConfiguration(valueOf(configuration_)); });
  connect(distribution_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setMode(valueOf(distribution_)); });
  return card;
}

QWidget* DeployScreen::makeRunCard() {
  QVBoxLayout* body;
  QFrame* card = makeTitledCard("iphone", "02   Run on", body);
  receiver_ = makePicker("receiverPicker");
  phone_ = makePicker("phonePicker");
  addPicker(body, "Mac beside your device", receiver_);
  addPicker(body, "iPhone or iPad", phone_);

  phoneDetails_ = new QWidget;
  auto* details = new QVBoxLayout(phoneDetails_);
  details->setContentsMargins(0, 0, 0, 0);
  details->setSpacing(2);
  phoneName_ = makeLabel("", TextStyle::title);
  phoneName_->setObjectName("phoneName");
  phoneLine_ = makeLabel("", TextStyle::secondary);
  phoneLine_->setObjectName("phoneLine");
  details->addWidget(phoneName_);
  details->addWidget(phoneLine_);
  body->addWidget(phoneDetails_);

  auto* connectHint = new QHBoxLayout;
  connectHint->setSpacing(10);
  connectHint->addWidget(makeSymbol("cable.connector", secondaryColor(), 18), 0, Qt::AlignTop);
  auto* hintTexts = new QVBoxLayout;
  hintTexts->setSpacing(2);
  hintTexts->addWidget(makeLabel("Connect your iPhone"));
  hintTexts->addWidget(
      makeLabel("Trust the receiving Mac, enable Developer Mode, and keep your "
                "phone unlocked during installation.",
                TextStyle::secondary));
  connectHint->addLayout(hintTexts, 1);
  body->addLayout(connectHint);
  body->addWidget(makeIconText("lock.shield", "Encrypted transfer through your relay",
                               secondaryColor(), TextStyle::secondary));
  body->addStretch(1);

  connect(receiver_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setReceiver(valueOf(receiver_)); });
  connect(phone_, &QComboBox::currentIndexChanged, this,
          [this] { model_.setPhone(valueOf(phone_)); });
  return card;
}

QWidget* DeployScreen::makeLaunchCard() {
  QFrame* card = makeCard();
  auto* row = new QHBoxLayout;
  auto* texts = new QVBoxLayout;
  texts->setSpacing(4);
  launchTitle_ = makeLabel("", TextStyle::title);
  launchTitle_->setObjectName("launchTitle");
  texts->addWidget(launchTitle_);
  texts->addWidget(makeLabel(QString::fromUtf8("Archive → Sign → Transfer → Install → Launch"),
                             TextStyle::secondary));
  row->addLayout(texts, 1);
  deploy_ = makeProminentButton("Build && Run", "play.fill");
  deploy_->setObjectName("deployButton");
  deploy_->setMinimumHeight(38);
  connect(deploy_, &QPushButton::clicked, this, [this] {
    if (model_.canDeploy()) model_.deploy();
  });
  row->addWidget(deploy_, 0, Qt::AlignVCenter);
  static_cast<QVBoxLayout*>(card->layout())->addLayout(row);
  return card;
}

void DeployScreen::render(const AppModel& model) {
  agentCard_->setVisible(!model.agent()["running"].flag());
  startAgent_->setEnabled(!model.busy());
  JSON builder = model.selectedBuilder();
  registerProject_->setVisible(builder["inventory"]["projects"].items().empty());

  std::vector<Choice> builders{{"Choose a Mac", ""}};
  for (const JSON& mac : model.builders())
    builders.emplace_back(qs(mac["name"].text()), qs(mac["id"].text()));
  showChoices(builder_, builders, qs(model.builder()));

  std::vector<Choice> projects{{"Choose a project", ""}};
  for (const JSON& project : builder["inventory"]["projects"].items()) {
    projects.emplace_back(qs(project["name"].text()), qs(project["id"].text()));
  }
  showChoices(project_, projects, qs(model.project()));

  JSON project = model.selectedProject();
  std::vector<Choice> schemes{{"Choose a scheme", ""}};
  for (const JSON& scheme : project["schemes"].items()) {
    if (scheme.isString()) schemes.emplace_back(qs(scheme.text()), qs(scheme.text()));
  }
  showChoices(scheme_, schemes, qs(model.scheme()));
  std::vector<Choice> configurations{{"Choose", ""}};
  for (const JSON& configuration : project["configurations"].items()) {
    if (configuration.isString()) {
      configurations.emplace_back(qs(configuration.text()), qs(configuration.text()));
    }
  }
  showChoices(configuration_, configurations, qs(model.configuration()));
  showChoices(distribution_, {{"Ad Hoc", "adhoc"}, {"Debug", "debug"}}, qs(model.mode()));
  bool adhoc = model.mode() == "adhoc";
  signing_->setText(adhoc ? "Production APNs signing" : "Development signing");

  std::vector<Choice> receivers{{"Choose a Mac", ""}};
  for (const JSON& mac : model.devices()) {
    QString name = qs(mac["name"].text());
    if (!mac["online"].flag()) name += QString::fromUtf8(" · Offline");
    receivers.emplace_back(name, qs(mac["id"].text()));
  }
  showChoices(receiver_, receivers, qs(model.receiver()));

  std::vector<Choice> phones{{"Choose an available device", ""}};
  JSON chosen;
  JSON receiver = model.receiverRecord();
  for (const JSON& phone : receiver["inventory"]["phones"].items()) {
    if (!phone["available"].flag()) continue;
    phones.emplace_back(qs(phone["name"].text()) + dot + qs(phone["model"].text()),
                        qs(phone["udid"].text()));
    if (chosen.isNull() && phone["udid"].text() == model.phone()) chosen = phone;
  }
  showChoices(phone_, phones, qs(model.phone()));
  phoneDetails_->setVisible(!chosen.isNull());
  phoneName_->setText(qs(chosen["name"].text()));
  phoneLine_->setText(phoneDetailLine(chosen));

  launchTitle_->setText(adhoc ? "Ad Hoc deployment" : "Debug deployment");
  deploy_->setEnabled(model.canDeploy());
  jobs_->render(model);
}

}  // namespace vek::desktop::widgets
