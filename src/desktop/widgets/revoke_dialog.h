// The question asked before a member Mac is revoked, in the app's own look: what will happen, and
// "Revoke" drawn as the destructive choice beside "Cancel", which is the default, so Return or
// Escape keep the Mac.
#pragma once

#include <QDialog>

namespace vek::desktop::widgets {

class RevokeDialog : public QDialog {
 public:
  /// Asks about the Mac called `name`. Accepted means "Revoke".
  RevokeDialog(QWidget* parent, const QString& name);
};

/// Asks modally over `parent`; true when "Revoke" was chosen.
bool confirmRevokeDialog(QWidget* parent, const QString& name);

}  // namespace vek::desktop::widgets
