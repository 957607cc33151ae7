#include "desktop/widgets/group_screen.h"

#include <QHBoxLayout>

#include "desktop/widgets/icons.h"
#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

// One member Mac: its name and selectable id, whether it is online, how many projects and
// available devices it publishes, and for another Mac the link that revokes it.
class MemberCard : public QFrame {
 public:
  MemberCard(const std::string& id, std::function<void(const QString& name)> revoke) {
    QVBoxLayout* body = shapeAsCard(this);
    setProperty("member", qs(id));
    auto* head = new QHBoxLayout;
    head->setSpacing(12);
    head->addWidget(makeSymbol("desktopcomputer", accentColor(), 26), 0, Qt::AlignTop);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    name_ = makeLabel("", TextStyle::title);
    name_->setObjectName("memberName");
    name_->setWordWrap(false);
    names->addWidget(name_);
    QLabel* shownID = makeSelectable(qs(id), TextStyle::secondary);
    shownID->setObjectName("memberID");
    names->addWidget(shownID);
    head->addLayout(names, 1);
    state_ = new QWidget;
    auto* stateRow = new QHBoxLayout(state_);
    stateRow->setContentsMargins(0, 0, 0, 0);
    stateRow->setSpacing(8);
    stateSymbol_ = makeSymbol("circle.fill", secondaryColor(), 16);
    stateRow->addWidget(stateSymbol_, 0, Qt::AlignVCenter);
    stateText_ = makeLabel("", TextStyle::secondary);
    stateText_->setObjectName("memberState");
    stateText_->setWordWrap(false);
    stateRow->addWidget(stateText_);
    head->addWidget(state_, 0, Qt::AlignTop);
    body->addLayout(head);

    auto* facts = new QHBoxLayout;
    facts->setSpacing(24);
    facts->addSpacing(38);
    facts->addWidget(
        makeIconText("folder", "", secondaryColor(), TextStyle::secondary, &projects_));
    projects_->setObjectName("memberProjects");
    facts->addWidget(makeIconText("iphone", "", secondaryColor(), TextStyle::secondary, &phones_));
    phones_->setObjectName("memberDevices");
    facts->addStretch(1);
    revoke_ = makeLinkButton("Revoke this Mac", true);
    revoke_->setObjectName(qs("revoke:" + id));
    connect(revoke_, &QPushButton::clicked, this,
            [this, revoke = std::move(revoke)] { revoke(name_->text()); });
    facts->addWidget(revoke_);
    body->addLayout(facts);
  }

  void setMac(const JSON& mac, bool own) {
    name_->setText(qs(mac["name"].text()));
    bool online = mac["online"].flag();
    if (stateText_->text() != (online ? "Online" : "Offline")) {
      stateSymbol_->setPixmap(
          symbolPixmap("circle.fill", online ? accentColor() : secondaryColor(), 16));
      stateText_->setText(online ? "Online" : "Offline");
      stateText_->setProperty("textStyle", online ? "body" : "secondary");
      stateText_->setStyleSheet(online ? "color: " + accentColor().name() + ";" : QString());
    }
    std::size_t available = 0;
    for (const JSON& phone : mac["inventory"]["phones"].items()) {
      available += phone["available"].flag() ? 1 : 0;
    }
    projects_->setText(QString::number(mac["inventory"]["projects"].items().size()) + " projects");
    phones_->setText(QString::number(available) + " available devices");
    revoke_->setVisible(!own);
  }

 private:
  QLabel* name_;
  QWidget* state_;
  QLabel* stateSymbol_;
  QLabel* stateText_;
  QLabel* projects_;
  QLabel* phones_;
  QPushButton* revoke_;
};

}  // namespace

GroupScreen::GroupScreen(AppModel& model, std::function<bool(const QString&)> confirm)
    : model_(model), confirm_(std::move(confirm)), members_(nullptr) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(
      makeTitleBlock("One group, every Mac", "Device group",
                     "Every member can build, receive deployments, and invite your other Macs."));
  auto* actions = new QHBoxLayout;
  invite_ = makeProminentButton("Copy invite", "plus");
  invite_->setObjectName("copyInvite");
  connect(invite_, &QPushButton::clicked, this, [this] { model_.makeInvite(); });
  actions->addWidget(invite_);
  actions->addStretch(1);
  layout->addLayout(actions);
  layout->addWidget(makeLabel(
      QString::fromUtf8("Share invites privately: they include your group’s encryption key. "
                        "Revocation blocks future relay access. A former member can retain "
                        "previously downloaded builds."),
      TextStyle::secondary));
  auto* members = new QVBoxLayout;
  members->setSpacing(12);
  members_ = KeyedRows(members);
  layout->addLayout(members);
  layout->addStretch(1);
}

void GroupScreen::render(const AppModel& model) {
  invite_->setEnabled(!model.busy());
  std::vector<JSON> devices = model.devices();
  std::string ownID = model.credentials() ? model.credentials()->deviceID : "";
  std::vector<QString> keys;
  for (const JSON& mac : devices)
    keys.push_back(qs(mac["id"].text()));
  std::vector<QWidget*> cards = members_.show(keys, [this](const QString& key) {
    std::string id = key.toStdString();
    return new MemberCard(id, [this, id](const QString& name) {
      if (confirm_(name)) model_.revoke(id);
    });
  });
  for (std::size_t i = 0; i < devices.size(); ++i)
    static_cast<MemberCard*>(cards[i])->setMac(devices[i], devices[i]["id"].text() == ownID);
}

}  // namespace vek::desktop::widgets
