// vek-desktop: the desktop app's window over the same core as the command-line tool.
#include <QApplication>
#include <QIcon>

#include "desktop/enrollment_defaults.h"
#include "desktop/widgets/content_view.h"
#include "desktop/widgets/theme.h"
#include "foundation/computer_name.h"
#include "foundation/constants.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName("VEK");
  // The window shows the icon and name of the installed vek-desktop.desktop entry.
  application.setDesktopFileName("vek-desktop");
  application.setWindowIcon(QIcon(":/vek/vek-desktop.svg"));
  application.setApplicationVersion(
      QString::fromUtf8(vek::VEK::version.data(), vek::VEK::version.size()));
  vek::desktop::widgets::applyTheme(application);

  using vek::desktop::widgets::ContentView;
  ContentView::Options options;
  options.deviceName = QString::fromStdString(vek::computerName());
  options.relay = QString::fromStdString(vek::desktop::proposedRelay(vek::VEK::server));
  options.platform = vek::desktop::widgets::desktopPlatform();
  ContentView window(std::move(options));
  window.setWindowTitle("VEK");
  window.resize(1160, 780);
  window.show();
  return application.exec();
}
