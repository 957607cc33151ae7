#include "desktop/widgets/content_view.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "desktop/widgets/activity_screen.h"
#include "desktop/widgets/deploy_screen.h"
#include "desktop/widgets/enrollment_view.h"
#include "desktop/widgets/group_screen.h"
#include "desktop/widgets/icons.h"
#include "desktop/widgets/project_panel.h"
#include "desktop/widgets/projects_screen.h"
#include "desktop/widgets/revoke_dialog.h"
#include "desktop/widgets/settings_screen.h"
#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

constexpr Screen allScreens[] = {Screen::deploy, Screen::group, Screen::projects, Screen::activity,
                                 Screen::settings};

QFrame* makeDivider(bool vertical) {
  auto* line = new QFrame;
  line->setObjectName(vertical ? "divider" : "hdivider");
  return line;
}

}  // namespace

Platform desktopPlatform() {
  Platform platform;
  // The panel opens where the last project was chosen, the home folder at first.
  auto folder = std::make_shared<QString>(QDir::homePath());
  platform.chooseProject = [folder]() -> std::optional<std::string> {
    std::optional<QString> chosen = ProjectPanel::choose(QApplication::activeWindow(), *folder);
    if (!chosen) return std::nullopt;
    return chosen->toStdString();
  };
  platform.copyToClipboard = [](const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
  };
  platform.openFolder = [](const std::filesystem::path& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
  };
  platform.programPath = QCoreApplication::applicationFilePath().toStdString();
  return platform;
}

ContentView::ContentView(Options options, QWidget* parent)
    : QWidget(parent),
      ui_(QCoreApplication::instance()),
      model_(std::make_unique<AppModel>(ui_, std::move(options.platform))),
      refreshSeconds_(options.refreshSeconds) {
  setObjectName("window");
  setMinimumSize(1040, 720);
  auto confirm = options.confirmRevoke ? options.confirmRevoke : [this](const QString& name) {
    return confirmRevokeDialog(this, name);
  };

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(makeSidebar());
  layout->addWidget(makeDivider(true));

  auto* content = new QWidget;
  content->setObjectName("content");
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(makeTopBar());
  column->addWidget(makeDivider(false));
  pages_ = new QStackedWidget;
  enrollment_ = new EnrollmentView(*model_, options.deviceName, options.relay);
  enrollment_->setObjectName("enrollment");
  pages_->addWidget(enrollment_);

  scroll_ = new QScrollArea;
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* working = new QWidget;
  working->setObjectName("content");
  auto* workingLayout = new QVBoxLayout(working);
  workingLayout->setContentsMargins(28, 24, 28, 28);
  workingLayout->setSpacing(14);
  errorBanner_ = makeBanner("errorBanner", true);
  noticeBanner_ = makeBanner("noticeBanner", false);
  workingLayout->addWidget(errorBanner_);
  workingLayout->addWidget(noticeBanner_);
  auto show = [this](Screen screen) { showScreen(screen); };
  auto open = [this](const std::string& id) { openJob(id); };
  screenViews_ = {new DeployScreen(*model_, show, open), new GroupScreen(*model_, confirm),
                  new ProjectsScreen(*model_), new ActivityScreen(*model_, show, open),
                  new SettingsScreen(*model_)};
  for (std::size_t i = 0; i < screenViews_.size(); ++i) {
    screenViews_[i]->setObjectName(screenKey(allScreens[i]) + "Screen");
    workingLayout->addWidget(screenViews_[i]);
  }
  workingLayout->addStretch(1);
  scroll_->setWidget(working);
  pages_->addWidget(scroll_);
  column->addWidget(pages_, 1);
  layout->addWidget(content, 1);

  model_->subscribe([this] { render(); });
  showScreen(Screen::deploy);
  render();
  poll();
}

ContentView::~ContentView() {
  // The model's workers end before the widgets that show it go.
  model_.reset();
}

QWidget* ContentView::makeSidebar() {
  auto* sidebar = new QWidget;
  sidebar->setObjectName("sidebar");
  sidebar->setFixedWidth(224);
  auto* layout = new QVBoxLayout(sidebar);
  layout->setContentsMargins(16, 20, 16, 18);
  layout->setSpacing(4);

  auto* brand = new QHBoxLayout;
  brand->setSpacing(10);
  brand->addWidget(makeSymbol("arrow.up.right.square.fill", accentColor(), 30));
  auto* words = new QVBoxLayout;
  words->setSpacing(0);
  QLabel* name = makeLabel("VEK", TextStyle::title);
  name->setStyleSheet("font-size: 18px; font-weight: 800;");
  words->addWidget(name);
  words->addWidget(makeLabel("VAST EDGE KIT", TextStyle::caption));
  brand->addLayout(words, 1);
  layout->addLayout(brand);
  layout->addSpacing(22);

  for (Screen screen : allScreens) {
    auto* row = new QPushButton(screenTitle(screen));
    row->setObjectName("sidebar:" + screenKey(screen));
    row->setProperty("kind", "sidebar");
    row->setCheckable(true);
    row->setIcon(symbolIcon(screenSymbol(screen), accentColor()));
    row->setIconSize(QSize(19, 19));
    row->setCursor(Qt::PointingHandCursor);
    connect(row, &QPushButton::clicked, this, [this, screen] { showScreen(screen); });
    sidebarRows_.push_back(row);
    layout->addWidget(row);
  }
  layout->addStretch(1);

  layout->addWidget(makeLabel("THIS MAC", TextStyle::caption));
  layout->addSpacing(4);
  auto* mac = new QHBoxLayout;
  mac->setSpacing(8);
  mac->addWidget(makeSymbol("laptopcomputer", secondaryColor(), 16));
  deviceName_ = makeLabel("My Mac");
  deviceName_->setObjectName("thisMacName");
  deviceName_->setWordWrap(false);
  mac->addWidget(deviceName_, 1);
  layout->addLayout(mac);
  auto* agent = new QHBoxLayout;
  agent->setSpacing(8);
  agentSymbol_ = makeSymbol("circle.fill", secondaryColor(), 16);
  agent->addWidget(agentSymbol_);
  agentText_ = makeLabel("Agent stopped", TextStyle::secondary);
  agentText_->setObjectName("agentStatus");
  agentText_->setWordWrap(false);
  agent->addWidget(agentText_, 1);
  layout->addLayout(agent);
  return sidebar;
}

QWidget* ContentView::makeTopBar() {
  auto* bar = new QWidget;
  bar->setFixedHeight(56);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(28, 0, 20, 0);
  layout->setSpacing(12);
  title_ = makeLabel("", TextStyle::title);
  title_->setObjectName("screenTitle");
  title_->setWordWrap(false);
  layout->addWidget(title_);
  layout->addSpacing(8);
  groupSymbol_ = makeSymbol("person.3", secondaryColor(), 18);
  layout->addWidget(groupSymbol_);
  groupName_ = makeLabel("", TextStyle::secondary);
  groupName_->setObjectName("groupName");
  groupName_->setWordWrap(false);
  layout->addWidget(groupName_);
  groupDot_ = makeLabel(QString::fromUtf8("·"), TextStyle::secondary);
  layout->addWidget(groupDot_);
  connectionSymbol_ = makeSymbol("circle.fill", secondaryColor(), 12);
  layout->addWidget(connectionSymbol_);
  connectionText_ = makeLabel("", TextStyle::secondary);
  connectionText_->setObjectName("connectionStatus");
  connectionText_->setWordWrap(false);
  layout->addWidget(connectionText_);
  layout->addStretch(1);
  auto* refresh = new QPushButton;
  refresh->setObjectName("refreshButton");
  refresh->setProperty("kind", "plain");
  refresh->setIcon(symbolIcon("arrow.clockwise", QColor(232, 237, 243)));
  refresh->setIconSize(QSize(18, 18));
  refresh->setToolTip("Refresh");
  refresh->setCursor(Qt::PointingHandCursor);
  connect(refresh, &QPushButton::clicked, this, [this] { model_->refresh(); });
  layout->addWidget(refresh);
  return bar;
}

QWidget* ContentView::makeBanner(const QString& name, bool error) {
  auto* banner = new QFrame;
  banner->setObjectName(name);
  banner->setProperty("banner", true);
  banner->setProperty("tint", error ? "error" : "notice");
  auto* layout = new QHBoxLayout(banner);
  layout->setContentsMargins(14, 10, 10, 10);
  layout->setSpacing(10);
  QColor tint = error ? orangeColor() : accentColor();
  layout->addWidget(makeSymbol("info.circle", tint, 18), 0, Qt::AlignTop);
  QLabel* text = makeSelectable("");
  text->setObjectName(name + "Text");
  text->setWordWrap(true);
  layout->addWidget(text, 1);
  auto* close = new QPushButton;
  close->setObjectName(name + "Close");
  close->setProperty("kind", "plain");
  close->setIcon(symbolIcon("xmark", tint));
  close->setIconSize(QSize(14, 14));
  close->setCursor(Qt::PointingHandCursor);
  layout->addWidget(close, 0, Qt::AlignTop);
  if (error) {
    errorText_ = text;
    connect(close, &QPushButton::clicked, this, [this] { model_->dismissError(); });
  } else {
    noticeText_ = text;
    connect(close, &QPushButton::clicked, this, [this] { model_->dismissNotice(); });
  }
  return banner;
}

void ContentView::showScreen(Screen screen) {
  screen_ = screen;
  for (std::size_t i = 0; i < sidebarRows_.size(); ++i) {
    sidebarRows_[i]->setChecked(allScreens[i] == screen);
  }
  for (std::size_t i = 0; i < screenViews_.size(); ++i) {
    screenViews_[i]->setVisible(allScreens[i] == screen);
  }
  scroll_->verticalScrollBar()->setValue(0);
  title_->setText(screenTitle(screen));
}

void ContentView::openJob(const std::string& id) {
  model_->selectJob(id);
  // From another screen the job opens Activity at its top; on Activity the list stays put.
  if (screen_ != Screen::activity) showScreen(Screen::activity);
  model_->refresh();
}

void ContentView::poll() {
  model_->refresh([this] { QTimer::singleShot(refreshSeconds_ * 1000, this, [this] { poll(); }); });
}

void ContentView::render() {
  const AppModel& model = *model_;
  const auto& credentials = model.credentials();
  deviceName_->setText(credentials ? qs(credentials->deviceName) : "My Mac");
  bool running = model.agent()["running"].flag();
  agentSymbol_->setPixmap(
      symbolPixmap("circle.fill", running ? accentColor() : secondaryColor(), 16));
  agentText_->setText(running ? "Agent running" : "Agent stopped");
  agentText_->setProperty("textStyle", running ? "body" : "secondary");
  agentText_->setStyleSheet(running ? "color: " + accentColor().name() + ";" : QString());
  groupName_->setText(credentials ? qs(credentials->groupName) : QString());
  // Without a group there is no name to show, nor anything to separate it from.
  groupSymbol_->setVisible(credentials.has_value());
  groupDot_->setVisible(credentials.has_value());
  bool connected = model.connected();
  connectionSymbol_->setPixmap(
      symbolPixmap("circle.fill", connected ? accentColor() : secondaryColor(), 12));
  connectionText_->setText(connected ? "Relay connected" : QString::fromUtf8("Connecting…"));
  connectionText_->setStyleSheet(connected ? "color: " + accentColor().name() + ";" : QString());

  pages_->setCurrentIndex(credentials ? 1 : 0);
  enrollment_->render(model);
  errorBanner_->setVisible(model.error().has_value());
  errorText_->setText(qs(model.error().value_or("")));
  noticeBanner_->setVisible(model.notice().has_value());
  noticeText_->setText(qs(model.notice().value_or("")));
  for (ScreenView* view : screenViews_)
    view->render(model);
}

}  // namespace vek::desktop::widgets
