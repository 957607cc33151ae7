// The one QApplication of a widget test binary, on Qt's offscreen platform, with the app's theme.
#pragma once

#include <QApplication>

namespace vek::desktop::widgets::testing {

QApplication& application();

}  // namespace vek::desktop::widgets::testing
