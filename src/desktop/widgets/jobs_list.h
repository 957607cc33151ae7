// The recent-deployments list: a header with "View all", then one row per job in the relay's
// order, up to a limit. The Deploy screen shows four, the Activity screen a hundred.
//
// Rows are kept across refreshes (see keyed_rows.h); a refresh changes their texts and symbols in
// place. The row of the job the user follows is highlighted.
#pragma once

#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "desktop/widgets/keyed_rows.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class JobsList : public QWidget {
 public:
  /// `viewAll` runs for "View all"; `open` for a pressed row, with the job's id.
  JobsList(AppModel& model, std::size_t limit, std::function<void()> viewAll,
           std::function<void(const std::string&)> open);
  void render(const AppModel& model);

 private:
  AppModel& model_;
  std::size_t limit_;
  std::function<void(const std::string&)> open_;
  QWidget* empty_;
  KeyedRows rows_;
};

/// The state text with the first letter of each word in upper case ("building" → "Building").
QString stateTitle(const std::string& state);

}  // namespace vek::desktop::widgets
