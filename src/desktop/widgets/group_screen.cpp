#include "desktop/widgets/group_screen.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

bool confirmRevokeDialog(QWidget* parent, const QString& name) {
  QMessageBox box(parent);
  box.setObjectName("revokeConfirmation");
  box.setIcon(QMessageBox::Warning);
  box.setText("Revoke " + name + "?");
  box.setInformativeText(
      "Its credential will stop working and its active jobs will be cancelled. Rejoining "
      "requires a new invite.");
  QPushButton* revoke = box.addButton("Revoke", QMessageBox::DestructiveRole);
  revoke->setObjectName("confirmRevoke");
  QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
  cancel->setObjectName("cancelRevoke");
  box.setDefaultButton(cancel);
  box.exec();
  return box.clickedButton() == revoke;
}

GroupScreen::GroupScreen(AppModel& model, std::function<bool(const QString&)> confirm)
    : model_(model), confirm_(std::move(confirm)) {
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
  members_ = new QVBoxLayout;
  members_->setSpacing(12);
  layout->addLayout(members_);
  layout->addStretch(1);
}

QWidget* GroupScreen::makeMemberCard(const JSON& mac, const std::string& ownID) {
  std::string id = mac["id"].text();
  QFrame* card = makeCard();
  card->setProperty("member", qs(id));
  auto* body = static_cast<QVBoxLayout*>(card->layout());
  auto* head = new QHBoxLayout;
  head->setSpacing(12);
  head->addWidget(makeSymbol("desktopcomputer", accentColor(), 26), 0, Qt::AlignTop);
  auto* names = new QVBoxLayout;
  names->setSpacing(2);
  QLabel* name = makeLabel(qs(mac["name"].text()), TextStyle::title);
  name->setWordWrap(false);
  names->addWidget(name);
  names->addWidget(makeSelectable(qs(id), TextStyle::secondary));
  head->addLayout(names, 1);
  bool online = mac["online"].flag();
  QWidget* state = makeIconText("circle.fill", online ? "Online" : "Offline",
                                online ? accentColor() : secondaryColor(),
                                online ? TextStyle::body : TextStyle::secondary);
  state->setObjectName("memberState");
  head->addWidget(state, 0, Qt::AlignTop);
  body->addLayout(head);

  std::size_t available = 0;
  for (const JSON& phone : mac["inventory"]["phones"].items()) {
    available += phone["available"].flag() ? 1 : 0;
  }
  auto* facts = new QHBoxLayout;
  facts->setSpacing(24);
  facts->addSpacing(38);
  facts->addWidget(makeIconText(
      "folder", QString::number(mac["inventory"]["projects"].items().size()) + " projects",
      secondaryColor(), TextStyle::secondary));
  facts->addWidget(makeIconText("iphone", QString::number(available) + " available devices",
                                secondaryColor(), TextStyle::secondary));
  facts->addStretch(1);
  if (id != ownID) {
    QPushButton* revoke = makeLinkButton("Revoke this Mac", true);
    revoke->setObjectName(qs("revoke:" + id));
    QString shownName = qs(mac["name"].text());
    connect(revoke, &QPushButton::clicked, this, [this, id, shownName] {
      if (confirm_(shownName)) model_.revoke(id);
    });
    facts->addWidget(revoke);
  }
  body->addLayout(facts);
  return card;
}

void GroupScreen::render(const AppModel& model) {
  invite_->setEnabled(!model.busy());
  std::vector<JSON> devices = model.devices();
  std::string ownID = model.credentials() ? model.credentials()->deviceID : "";
  if (rendered_ && devices == shown_ && ownID == shownOwnID_) return;
  rendered_ = true;
  shown_ = devices;
  shownOwnID_ = ownID;
  clearLayout(members_);
  for (const JSON& mac : devices)
    members_->addWidget(makeMemberCard(mac, ownID));
}

}  // namespace vek::desktop::widgets
