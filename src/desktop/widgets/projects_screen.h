// The Projects screen: the projects registered on this Mac, with a way to add one, inspect one
// anew or remove it.
#pragma once

#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class ProjectsScreen : public ScreenView {
 public:
  explicit ProjectsScreen(AppModel& model);
  void render(const AppModel& model) override;

 private:
  QWidget* makeProjectCard(const Project& project);

  AppModel& model_;
  QPushButton* add_;
  QVBoxLayout* list_;
  std::vector<Project> shown_;
  bool rendered_ = false;
};

}  // namespace vek::desktop::widgets
