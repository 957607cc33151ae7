// The Device group screen: copy an invite, and one card per member Mac with its state, its
// projects and devices, and (for the other Macs) a way to revoke it after a confirmation.
//
// Cards are kept across refreshes (see keyed_rows.h), so a Mac id the user selected to copy stays
// selected while the Mac's state changes around it.
#pragma once

#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/widgets/keyed_rows.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class GroupScreen : public ScreenView {
 public:
  /// `confirm` asks the user whether to revoke the Mac named in its argument; true means yes.
  GroupScreen(AppModel& model, std::function<bool(const QString& name)> confirm);
  void render(const AppModel& model) override;

 private:
  AppModel& model_;
  std::function<bool(const QString&)> confirm_;
  QPushButton* invite_;
  KeyedRows members_;
};

}  // namespace vek::desktop::widgets
