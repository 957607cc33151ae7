#include "desktop/widgets/screen_view.h"

#include <QSignalBlocker>

namespace vek::desktop::widgets {

QString screenTitle(Screen screen) {
  switch (screen) {
    case Screen::deploy:
      return "Deploy";
    case Screen::group:
      return "Device group";
    case Screen::projects:
      return "Projects";
    case Screen::activity:
      return "Activity";
    case Screen::settings:
      return "Settings";
  }
  return {};
}

QString screenSymbol(Screen screen) {
  switch (screen) {
    case Screen::deploy:
      return "arrow.up.forward.app.fill";
    case Screen::group:
      return "desktopcomputer";
    case Screen::projects:
      return "folder";
    case Screen::activity:
      return "clock.arrow.circlepath";
    case Screen::settings:
      return "gearshape";
  }
  return {};
}

QString screenKey(Screen screen) {
  switch (screen) {
    case Screen::deploy:
      return "deploy";
    case Screen::group:
      return "group";
    case Screen::projects:
      return "projects";
    case Screen::activity:
      return "activity";
    case Screen::settings:
      return "settings";
  }
  return {};
}

void showChoices(QComboBox* picker, const std::vector<Choice>& choices, const QString& current) {
  QSignalBlocker blocker(picker);
  bool same = picker->count() == static_cast<int>(choices.size());
  for (int i = 0; same && i < picker->count(); ++i) {
    same = picker->itemText(i) == choices[i].first &&
           picker->itemData(i).toString() == choices[i].second;
  }
  if (!same) {
    picker->clear();
    for (const auto& [text, value] : choices)
      picker->addItem(text, value);
  }
  int index = picker->findData(current);
  picker->setCurrentIndex(index < 0 ? 0 : index);
}

}  // namespace vek::desktop::widgets
