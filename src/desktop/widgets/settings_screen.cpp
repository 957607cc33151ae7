#include "desktop/widgets/settings_screen.h"

#include <QClipboard>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

SettingsScreen::SettingsScreen(AppModel& model) : model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(makeTitleBlock(
      "Ready when you are", "Settings & command line",
      "The desktop app and CLI share one group, project registry, and deployment pipeline."));
  layout->addWidget(makeAgentCard());
  layout->addWidget(makeCommandLineCard());
  layout->addWidget(makeConnectionCard());
  layout->addStretch(1);
}

QWidget* SettingsScreen::makeAgentCard() {
  QFrame* card = makeCard();
  auto* body = static_cast<QVBoxLayout*>(card->layout());
  auto* head = new QHBoxLayout;
  head->addWidget(makeLabel("Background agent", TextStyle::title), 1);
  agentState_ = makeLabel("", TextStyle::secondary);
  agentState_->setObjectName("agentState");
  agentState_->setWordWrap(false);
  head->addWidget(agentState_);
  body->addLayout(head);
  body->addWidget(
      makeLabel("Run at login to keep this Mac available after closing VEK. Active "
                "jobs keep the Mac awake; the agent allows sleep while idle.",
                TextStyle::secondary));
  agentError_ = makeSelectable("", TextStyle::orange);
  agentError_->setObjectName("agentError");
  agentError_->setWordWrap(true);
  body->addWidget(agentError_);
  auto* buttons = new QHBoxLayout;
  QPushButton* start = makeProminentButton("Start / restart agent");
  start->setObjectName("startAgent");
  connect(start, &QPushButton::clicked, this, [this] { model_.startAgent(); });
  QPushButton* stop = makeButton("Stop agent");
  stop->setObjectName("stopAgent");
  connect(stop, &QPushButton::clicked, this, [this] { model_.stopAgent(); });
  buttons->addWidget(start);
  buttons->addWidget(stop);
  buttons->addStretch(1);
  body->addLayout(buttons);
  return card;
}

QWidget* SettingsScreen::makeCommandLineCard() {
  QFrame* card = makeCard();
  auto* body = static_cast<QVBoxLayout*>(card->layout());
  body->addWidget(makeLabel("Command line", TextStyle::title));
  cliPath_ = makeSelectable("");
  cliPath_->setObjectName("cliPath");
  cliPath_->setStyleSheet("font-family: monospace;");
  body->addWidget(cliPath_);
  QLabel* examples = makeSelectable(
      "vek devices\nvek projects list\nvek run --project ID --scheme App --receiver MAC_ID "
      "--device UDID --mode adhoc --wait",
      TextStyle::secondary);
  examples->setStyleSheet("font-family: monospace;");
  examples->setWordWrap(true);
  body->addWidget(examples);
  auto* buttons = new QHBoxLayout;
  QPushButton* copy = makeButton("Copy CLI path");
  copy->setObjectName("copyCliPath");
  connect(copy, &QPushButton::clicked, this, [this] {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(model_.cliPath().string()));
  });
  QPushButton* logs = makeButton("Open logs");
  logs->setObjectName("openLogs");
  connect(logs, &QPushButton::clicked, this, [this] { model_.openStateFolder("Logs"); });
  QPushButton* archives = makeButton("Open archives");
  archives->setObjectName("openArchives");
  connect(archives, &QPushButton::clicked, this, [this] { model_.openStateFolder("Jobs"); });
  buttons->addWidget(copy);
  buttons->addWidget(logs);
  buttons->addWidget(archives);
  buttons->addStretch(1);
  body->addLayout(buttons);
  return card;
}

QWidget* SettingsScreen::makeConnectionCard() {
  QFrame* card = makeCard();
  auto* body = static_cast<QVBoxLayout*>(card->layout());
  body->addWidget(makeLabel("Connection", TextStyle::title));
  auto* form = new QFormLayout;
  form->setHorizontalSpacing(24);
  form->setVerticalSpacing(6);
  relay_ = makeSelectable("");
  relay_->setObjectName("connectionRelay");
  groupID_ = makeSelectable("");
  groupID_->setObjectName("connectionGroup");
  macID_ = makeSelectable("");
  macID_->setObjectName("connectionMac");
  form->addRow(makeLabel("Relay", TextStyle::secondary), relay_);
  form->addRow(makeLabel("Group ID", TextStyle::secondary), groupID_);
  form->addRow(makeLabel("Mac ID", TextStyle::secondary), macID_);
  body->addLayout(form);
  body->addWidget(
      makeLabel("Credentials and the group encryption key are stored in Keychain. "
                "Relay artifacts expire within 24 hours. Local archives and logs are "
                "cleaned after seven days when the agent starts.",
                TextStyle::secondary));
  return card;
}

void SettingsScreen::render(const AppModel& model) {
  bool running = model.agent()["running"].flag();
  agentState_->setText(running ? "Running" : "Stopped");
  std::string error = model.agent()["error"].text();
  agentError_->setText(qs(error));
  agentError_->setVisible(!error.empty());
  cliPath_->setText(qs(model.cliPath().string()));
  const auto& credentials = model.credentials();
  relay_->setText(credentials ? qs(credentials->server) : QString());
  groupID_->setText(credentials ? qs(credentials->groupID) : QString());
  macID_->setText(credentials ? qs(credentials->deviceID) : QString());
}

}  // namespace vek::desktop::widgets
