// Renders the window's screens into PNG files, for the README and for a person to look at.
//
//   vek-desktop-screenshots OUTDIR [--job ID] [--size WxH] [--choose PATH]
//
// It runs the real window against the enrolment of the current home: without credentials it
// writes OUTDIR/enrolment.png; with them it waits for the relay and writes deploy.png, group.png,
// projects.png, activity.png (following job ID when given) and settings.png, then the two
// dialogs over the window: revoke.png (asking about the first other Mac) and project-panel.png
// (the file panel with PATH, a project or workspace, selected).
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPainter>
#include <QThread>
#include <cstdio>

#include "desktop/enrollment_defaults.h"
#include "desktop/widgets/content_view.h"
#include "desktop/widgets/project_panel.h"
#include "desktop/widgets/revoke_dialog.h"
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

bool save(const QPixmap& picture, const QString& file) {
  if (!picture.save(file, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

bool save(ContentView& window, const QString& file) {
  settle();
  return save(window.grab(), file);
}

// The window with `dialog` centred over it, as a window manager would place it, in a thin frame.
bool saveWithDialog(ContentView& window, QWidget& dialog, const QString& file) {
  dialog.show();
  settle();
  QPixmap picture = window.grab();
  QPixmap top = dialog.grab();
  QPainter painter(&picture);
  QRect frame(QPoint((picture.width() - top.width()) / 2, (picture.height() - top.height()) / 2),
              top.size());
  painter.drawPixmap(frame.topLeft(), top);
  painter.setPen(QColor(43, 58, 80));
  painter.drawRect(frame.adjusted(-1, -1, 0, 0));
  painter.end();
  dialog.hide();
  return save(picture, file);
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
  QString chosen;
  QSize size(1160, 780);
  for (int i = 2; i + 1 < arguments.size(); i += 2) {
    if (arguments[i] == "--job") job = arguments[i + 1];
    if (arguments[i] == "--choose") chosen = arguments[i + 1];
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

  window.showScreen(Screen::group);
  std::string ownID = model.credentials()->deviceID;
  for (const vek::JSON& mac : model.devices()) {
    if (mac["id"].text() == ownID) continue;
    vek::desktop::widgets::RevokeDialog dialog(&window, QString::fromStdString(mac["name"].text()));
    ok = saveWithDialog(window, dialog, out.filePath("revoke.png")) && ok;
    break;
  }
  if (!chosen.isEmpty()) {
    window.showScreen(Screen::projects);
    vek::desktop::widgets::ProjectPanel panel(&window, QFileInfo(chosen).absolutePath());
    // The file list fills from a thread of its own; the project is selected once it is listed.
    auto* list = panel.findChild<QAbstractItemView*>("treeView");
    QModelIndex row;
    waitFor([&] {
      for (int i = 0; list && i < list->model()->rowCount(list->rootIndex()); ++i) {
        QModelIndex index = list->model()->index(i, 0, list->rootIndex());
        if (index.data().toString() == QFileInfo(chosen).fileName()) row = index;
      }
      return row.isValid();
    });
    list->setCurrentIndex(row);
    ok = saveWithDialog(window, panel, out.filePath("project-panel.png")) && ok;
  }
  return ok ? 0 : 1;
}
