// The Projects screen: the projects registered on this Mac, with a way to add one, inspect one
// anew or remove it. Cards are kept across refreshes (see keyed_rows.h).
#pragma once

#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/widgets/keyed_rows.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class ProjectsScreen : public ScreenView {
 public:
  explicit ProjectsScreen(AppModel& model);
  void render(const AppModel& model) override;

 private:
  AppModel& model_;
  QPushButton* add_;
  QWidget* empty_;
  KeyedRows projects_;
};

}  // namespace vek::desktop::widgets
