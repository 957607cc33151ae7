#include "desktop/widgets/widget_test_support.h"

#include <cstdlib>

#include "desktop/widgets/theme.h"

// Fontconfig keeps its configuration for the life of the process by design; under the leak
// checker of the sanitizer build that cache would read as a leak of every test that draws text.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace vek::desktop::widgets::testing {

QApplication& application() {
  static int argc = 1;
  static char name[] = "desktop_widgets_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* created = new QApplication(argc, argv);
    applyTheme(*created);
    return created;
  }();
  return *app;
}

}  // namespace vek::desktop::widgets::testing
