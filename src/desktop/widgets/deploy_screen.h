// The Deploy screen: choose where to build (Mac, project, scheme, configuration, distribution)
// and where to run (the Mac beside the device, the device), then "Build & Run"; below, the four
// most recent deployments.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "desktop/widgets/jobs_list.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class DeployScreen : public ScreenView {
 public:
  DeployScreen(AppModel& model, std::function<void(Screen)> show,
               std::function<void(const std::string&)> openJob);
  void render(const AppModel& model) override;

 private:
  QWidget* makeBuildCard();
  QWidget* makeRunCard();
  QWidget* makeLaunchCard();

  AppModel& model_;
  QWidget* agentCard_;
  QPushButton* startAgent_;
  QPushButton* registerProject_;
  QComboBox* builder_;
  QComboBox* project_;
  QComboBox* scheme_;
  QComboBox* configuration_;
  QComboBox* distribution_;
  QLabel* signing_;
  QComboBox* receiver_;
  QComboBox* phone_;
  QWidget* phoneDetails_;
  QLabel* phoneName_;
  QLabel* phoneLine_;
  QLabel* launchTitle_;
  QPushButton* deploy_;
  JobsList* jobs_;
};

/// The chosen phone's secondary line: "iOS " and its "os" value, then its state details.
QString phoneDetailLine(const JSON& phone);

}  // namespace vek::desktop::widgets
