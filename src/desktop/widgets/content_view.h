// The app's one window: a sidebar with the five working screens and this Mac, a top bar with the
// group and the relay connection, the error and notice banners, and the selected screen, or the
// enrolment screen while this Mac is not enrolled.
//
// The window owns the model for its whole life and refreshes it at once and then five seconds
// after each refresh ended, until the window goes away. Every change of the model is shown on
// every screen, so switching screens shows current state at once.
//
// The scrolling column holds only the selected screen (the others are hidden, so they take no
// room), and it opens each screen at its top.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QWidget>
#include <memory>
#include <vector>

#include "desktop/app_model.h"
#include "desktop/widgets/qt_ui_thread.h"
#include "desktop/widgets/screen_view.h"

namespace vek::desktop::widgets {

class EnrollmentView;

class ContentView : public QWidget {
 public:
  struct Options {
    Platform platform;
    /// What the enrolment form proposes.
    QString deviceName;
    QString relay;
    /// Asks whether to revoke the named Mac; the modal message box when not set.
    std::function<bool(const QString& name)> confirmRevoke;
    /// Seconds between the end of one refresh and the start of the next.
    int refreshSeconds = 5;
  };

  explicit ContentView(Options options, QWidget* parent = nullptr);
  ~ContentView() override;

  AppModel& model() { return *model_; }
  Screen screen() const { return screen_; }
  void showScreen(Screen screen);

 private:
  QWidget* makeSidebar();
  QWidget* makeTopBar();
  QWidget* makeBanner(const QString& name, bool error);
  void render();
  void poll();
  void openJob(const std::string& id);

  QtUiThread ui_;
  std::unique_ptr<AppModel> model_;
  int refreshSeconds_;
  Screen screen_ = Screen::deploy;
  std::vector<QPushButton*> sidebarRows_;
  QLabel* deviceName_;
  QLabel* agentSymbol_;
  QLabel* agentText_;
  QLabel* title_;
  QLabel* groupSymbol_;
  QLabel* groupName_;
  QLabel* groupDot_;
  QLabel* connectionSymbol_;
  QLabel* connectionText_;
  QStackedWidget* pages_;
  EnrollmentView* enrollment_;
  QWidget* errorBanner_;
  QLabel* errorText_;
  QWidget* noticeBanner_;
  QLabel* noticeText_;
  QScrollArea* scroll_;
  std::vector<ScreenView*> screenViews_;
};

/// The desktop's own ways of showing a file panel (see project_panel.h), using the clipboard and
/// opening folders.
Platform desktopPlatform();

}  // namespace vek::desktop::widgets
