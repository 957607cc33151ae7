// What every working screen of the main window shares: it is built once and then shows the model
// anew each time the model changes.
#pragma once

#include <QComboBox>
#include <QString>
#include <QWidget>
#include <utility>
#include <vector>

#include "desktop/app_model.h"

namespace vek::desktop::widgets {

/// The five working screens, in sidebar order.
enum class Screen { deploy, group, projects, activity, settings };

/// The screen's title, also its sidebar text.
QString screenTitle(Screen screen);
/// The screen's sidebar symbol.
QString screenSymbol(Screen screen);
/// The screen's name for object names ("deploy", "group", ...).
QString screenKey(Screen screen);

class ScreenView : public QWidget {
 public:
  using QWidget::QWidget;
  /// Shows the model's current state. Called on every change of the model.
  virtual void render(const AppModel& model) = 0;
};

/// One choice of a picker: what it shows and the value it stands for.
using Choice = std::pair<QString, QString>;

/// Sets the picker's choices (only when they differ, so an open list is not disturbed) and
/// selects the one whose value is `current`, without emitting change signals. A value that is not
/// among the choices selects the first.
void showChoices(QComboBox* picker, const std::vector<Choice>& choices, const QString& current);

}  // namespace vek::desktop::widgets
