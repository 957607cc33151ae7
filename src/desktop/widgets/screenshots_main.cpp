// Renders the window's screens into PNG files, for the README and for a person to look at.
//
//   vek-desktop-screenshots OUTDIR [--job ID] [--size WxH]
//
// It runs the real window against the enrolment of the current home: without credentials it
// writes OUTDIR/enrolment.png; with them it waits for the relay and writes deploy.png, group.png,
// projects.png, activity.png (following job ID when given) and settings.png.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>

#include "desktop/enrollment_defaults.h"
#include "desktop/widgets/content_view.h"
#include "desktop/widgets/theme.h"
#include "foundation/computer_name.h"
#include "foundation/constants.h"

namespace {

using vek::desktop::widgets::ContentView;
using vek::desktop::widgets::Screen;

bool waitFor(const std::function<bool()>& done, int milliseconds = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  return true;
}

void settle() {
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

bool save(ContentView& window, const QString& file) {
  settle();
  if (!window.grab().save(file, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  vek::desktop::widgets::applyTheme(application);
  QStringList arguments = application.arguments();
  if (arguments.size() < 2) {
    std::fprintf(stderr, "usage: vek-desktop-screenshots OUTDIR [--job ID] [--size WxH]\n");
    return 2;
  }
  QDir out(arguments[1]);
  QString job;
  QSize size(1160, 780);
  for (int i = 2; i + 1 < arguments.size(); i += 2) {
    if (arguments[i] == "--job") job = arguments[i + 1];
    if (arguments[i] == "--size") {
      QStringList parts = arguments[i + 1].split('x');
      if (parts.size() == 2) size = QSize(parts[0].toInt(), parts[1].toInt());
    }
  }

  ContentView::Options options;
  options.deviceName = QString::fromStdString(vek::computerName());
  options.relay = QString::fromStdString(vek::desktop::proposedRelay(vek::VEK::server));
  options.platform = vek::desktop::widgets::desktopPlatform();
  ContentView window(std::move(options));
  window.resize(size);
  window.show();
  vek::desktop::AppModel& model = window.model();
  if (!waitFor([&] { return model.credentialsLoaded() && model.runningWorkers() == 0; })) {
    std::fprintf(stderr, "the model did not settle\n");
    return 1;
  }
  if (!model.credentials()) return save(window, out.filePath("enrolment.png")) ? 0 : 1;

  if (!waitFor([&] { return model.connected() && !model.devices().empty(); })) {
    std::fprintf(stderr, "no answer from the relay: %s\n", model.error().value_or("").c_str());
    return 1;
  }
  bool ok = true;
  window.showScreen(Screen::deploy);
  ok = save(window, out.filePath("deploy.png")) && ok;
  window.showScreen(Screen::group);
  ok = save(window, out.filePath("group.png")) && ok;
  window.showScreen(Screen::projects);
  ok = save(window, out.filePath("projects.png")) && ok;
  if (!job.isEmpty()) {
    model.selectJob(job.toStdString());
    bool refreshed = false;
    model.refresh([&] { refreshed = true; });
    waitFor([&] { return refreshed; });
  }
  window.showScreen(Screen::activity);
  ok = save(window, out.filePath("activity.png")) && ok;
  window.showScreen(Screen::settings);
  ok = save(window, out.filePath("settings.png")) && ok;
  return ok ? 0 : 1;
}
