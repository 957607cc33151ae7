// The Activity screen: up to a hundred recent deployments and, for the job the user follows, its
// timeline of progress messages under a line that names the job (scheme, configuration, phone and
// state).
#pragma once

#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

#include "desktop/widgets/jobs_list.h"
#include "desktop/widgets/keyed_rows.h"
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
  QLabel* followed_;
  KeyedRows events_;
};

/// An event's "created" time (seconds since 1970) in the locale's short time style.
QString eventTime(const JSON& event);

/// What the timeline says of the job it shows: scheme, configuration, phone and state, joined by
/// " · " and leaving out what the job record lacks.
QString jobSummary(const JSON& job);

}  // namespace vek::desktop::widgets
