// The Device group screen: copy an invite, and one card per member Mac with its state, its
// projects and devices, and (for the other Macs) a way to revoke it after a confirmation.
#pragma once

#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class GroupScreen : public ScreenView {
 public:
  /// `confirm` asks the user whether to revoke the Mac named in its argument; true means yes.
  GroupScreen(AppModel& model, std::function<bool(const QString& name)> confirm);
  void render(const AppModel& model) override;

 private:
  QWidget* makeMemberCard(const JSON& mac, const std::string& ownID);

  AppModel& model_;
  std::function<bool(const QString&)> confirm_;
  QPushButton* invite_;
  QVBoxLayout* members_;
  std::vector<JSON> shown_;
  std::string shownOwnID_;
  bool rendered_ = false;
};

/// The revoke confirmation as a modal message box over `parent`; true when "Revoke" was chosen.
bool confirmRevokeDialog(QWidget* parent, const QString& name);

}  // namespace vek::desktop::widgets
