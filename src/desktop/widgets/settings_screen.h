// The Settings screen: the background agent, the command-line tool beside the app, and the
// connection this Mac holds.
#pragma once

#include <QLabel>
#include <QPushButton>

#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class SettingsScreen : public ScreenView {
 public:
  explicit SettingsScreen(AppModel& model);
  void render(const AppModel& model) override;

 private:
  QWidget* makeAgentCard();
  QWidget* makeCommandLineCard();
  QWidget* makeConnectionCard();

  AppModel& model_;
  QLabel* agentState_;
  QLabel* agentError_;
  QLabel* cliPath_;
  QLabel* relay_;
  QLabel* groupID_;
  QLabel* macID_;
};

}  // namespace vek::desktop::widgets
