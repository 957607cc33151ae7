// The recent-deployments list: a header with "View all", then one row per job in the relay's
// order, up to a limit. The Deploy screen shows four, the Activity screen a hundred.
#pragma once

#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class JobsList : public QWidget {
 public:
  /// `viewAll` runs for "View all"; `open` for a pressed row, with the job's id.
  JobsList(AppModel& model, std::size_t limit, std::function<void()> viewAll,
           std::function<void(const std::string&)> open);
  void render(const AppModel& model);

 private:
  QWidget* makeRow(const JSON& job);

  AppModel& model_;
  std::size_t limit_;
  std::function<void(const std::string&)> open_;
  QVBoxLayout* rows_;
  std::vector<JSON> shown_;
  bool rendered_ = false;
  bool busyShown_ = false;
};

/// The state text with the first letter of each word in upper case ("building" → "Building").
QString stateTitle(const std::string& state);

}  // namespace vek::desktop::widgets
