#include "desktop/widgets/revoke_dialog.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

RevokeDialog::RevokeDialog(QWidget* parent, const QString& name) : QDialog(parent) {
  setObjectName("revokeConfirmation");
  setWindowTitle("Revoke " + name);
  setModal(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 20);
  layout->setSpacing(16);
  layout->addWidget(makeSymbol("exclamationmark.triangle", orangeColor(), 32), 0, Qt::AlignTop);

  auto* column = new QVBoxLayout;
  column->setSpacing(8);
  QLabel* title = makeLabel("Revoke " + name + "?", TextStyle::title);
  title->setObjectName("revokeTitle");
  title->setWordWrap(true);
  column->addWidget(title);
  QLabel* message = makeLabel(
      "Its credential will stop working and its active jobs will be cancelled. Rejoining "
      "requires a new invite.",
      TextStyle::secondary);
  message->setObjectName("revokeMessage");
  message->setFixedWidth(340);
  column->addWidget(message);
  column->addSpacing(12);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  buttons->addStretch(1);
  QPushButton* cancel = makeButton("Cancel");
  cancel->setObjectName("cancelRevoke");
  QPushButton* revoke = makeButton("Revoke");
  revoke->setObjectName("confirmRevoke");
  revoke->setProperty("kind", "destructive");
  for (QPushButton* button : {cancel, revoke}) {
    button->setMinimumWidth(92);
    buttons->addWidget(button);
  }
  column->addLayout(buttons);
  layout->addLayout(column, 1);

  cancel->setDefault(true);
  cancel->setFocus();
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(revoke, &QPushButton::clicked, this, &QDialog::accept);
}

bool confirmRevokeDialog(QWidget* parent, const QString& name) {
  RevokeDialog dialog(parent, name);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace vek::desktop::widgets
