// The Activity screen: up to a hundred recent deployments and, for the job the user picked, its
// timeline of progress messages.
#pragma once

#include <QFrame>
#include <QVBoxLayout>

#include "desktop/widgets/jobs_list.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class ActivityScreen : public ScreenView {
 public:
  ActivityScreen(AppModel& model, std::function<void(Screen)> show,
                 std::function<void(const std::string&)> openJob);
  void render(const AppModel& model) override;

 private:
  JobsList* jobs_;
  QFrame* timeline_;
  QVBoxLayout* events_;
  std::vector<JSON> shown_;
  bool rendered_ = false;
};

/// An event's "created" time (seconds since 1970) in the locale's short time style.
QString eventTime(const JSON& event);

}  // namespace vek::desktop::widgets
