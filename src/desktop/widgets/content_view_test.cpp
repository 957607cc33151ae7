#include "desktop/widgets/content_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cstdlib>

#include "desktop/model_test_support.h"
#include "desktop/widgets/project_panel.h"
#include "desktop/widgets/revoke_dialog.h"
#include "desktop/widgets/widget_test_support.h"
#include "foundation/secret_store.h"
#include "mac.h"
#include "projects/project_store.h"
#include "relay_client/api.h"
#include "relay_client/enrollment.h"
#include "relay_process.h"
#include "scripted_http_server.h"

namespace vek::desktop::widgets {
namespace {

using namespace vek::desktop::testing;

using testing::application;

// A window on the offscreen platform, with a private home and the test's own seams.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { application(); }

  void open(QString relay = "", Platform platform = {}) {
    ContentView::Options options;
    options.deviceName = "Ada's Mac";
    options.relay = relay;
    options.platform = std::move(platform);
    options.platform.copyToClipboard = [this](const std::string& text) { clipboard = text; };
    options.platform.programPath = home.path() / "bin" / "vek-desktop";
    options.confirmRevoke = [this](const QString& name) {
      confirmedName = name;
      return confirmAnswer;
    };
    window = std::make_unique<ContentView>(std::move(options));
    window->resize(1040, 720);
    window->show();
    settle();
  }

  template <typename T = QWidget>
  T* find(const QString& name) {
    auto* found = window->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
  }

  void settle() {
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return window->model().credentialsLoaded() && window->model().runningWorkers() == 0 &&
                 !window->model().busy();
        },
        20000));
    QCoreApplication::processEvents();
  }

  void click(const QString& name) {
    QPushButton* button = find<QPushButton>(name);
    ASSERT_TRUE(button);
    ASSERT_TRUE(button->isEnabled()) << name.toStdString();
    button->click();
  }

  void refresh() {
    click("refreshButton");
    settle();
  }

  bool shown(const QString& name) { return find(name) && find(name)->isVisibleTo(window.get()); }

  // This Mac and "Build Mac" in one group on `relay`; this Mac's credentials are in the home's
  // store, so the window opens enrolled. Returns the other Mac's credentials.
  Credentials enrolWithAnotherMac(const vek::testing::RelayProcess& relay) {
    FileSecretStore otherStore(home.path() / "other-keychain");
    Credentials other = Enrollment::create(relay.origin(), "Studio", "Build Mac",
                                           relay.bootstrapToken(), otherStore);
    FileSecretStore ownStore(home.path() / ".local/share/vek-keychain");
    self = Enrollment::join(Enrollment::invite(other), "Ada's Mac", ownStore);
    return other;
  }

  static QStringList choices(QComboBox* picker) {
    QStringList texts;
    for (int i = 0; i < picker->count(); ++i)
      texts << picker->itemText(i);
    return texts;
  }

  PrivateHome home;
  std::unique_ptr<ContentView> window;
  std::string clipboard;
  QString confirmedName;
  bool confirmAnswer = false;
  Credentials self;
};

TEST_F(WindowTest, EnrolmentButtonFollowsTheForm) {
  open();
  auto* action = find<QPushButton>("enrollmentAction");
  auto* create = find<QCheckBox>("enrollmentCreate");
  auto* invite = find<QLineEdit>("enrollmentInvite");
  auto* name = find<QLineEdit>("enrollmentName");
  auto* bootstrap = find<QLineEdit>("enrollmentBootstrap");
  auto* relay = find<QLineEdit>("enrollmentRelay");
  ASSERT_TRUE(action && create && invite && name && bootstrap && relay);
  EXPECT_EQ(name->text(), "Ada's Mac");
  EXPECT_EQ(invite->echoMode(), QLineEdit::Password);
  EXPECT_EQ(bootstrap->echoMode(), QLineEdit::Password);
  EXPECT_EQ(find<QLabel>("enrollmentActionText")->text(), "Join group");
  EXPECT_FALSE(action->isEnabled());
  QTest::keyClicks(invite, "v");
  EXPECT_TRUE(action->isEnabled());

  create->click();
  EXPECT_EQ(find<QLabel>("enrollmentActionText")->text(), "Create group");
  EXPECT_EQ(find<QLineEdit>("enrollmentGroupName")->text(), "My Macs");
  EXPECT_FALSE(action->isEnabled());
  QTest::keyClicks(bootstrap, " ");
  EXPECT_FALSE(action->isEnabled());  // no relay address yet
  QTest::keyClicks(relay, "http://127.0.0.1:1");
  EXPECT_TRUE(action->isEnabled());
  name->clear();
  EXPECT_FALSE(action->isEnabled());
  QTest::keyClicks(name, " ");

  // The join form kept its invite while the create form was shown.
  create->click();
  EXPECT_EQ(invite->text(), "v");
  EXPECT_TRUE(action->isEnabled());
}

TEST_F(WindowTest, FromEnrolmentToAFollowedDeployment) {
  vek::testing::RelayProcess relay;
  relay.start();
  open(QString::fromStdString(relay.origin()));

  // Create the group from the form; the agent cannot start here, the enrolment holds.
  find<QCheckBox>("enrollmentCreate")->click();
  QTest::keyClicks(find<QLineEdit>("enrollmentBootstrap"),
                   QString::fromStdString(relay.bootstrapToken()));
  click("enrollmentAction");
  settle();
  ASSERT_TRUE(window->model().credentials()) << window->model().error().value_or("");
  EXPECT_TRUE(find<QLineEdit>("enrollmentBootstrap")->text().isEmpty());
  EXPECT_TRUE(find("errorBanner")->isVisible());
  EXPECT_EQ(find<QLabel>("errorBannerText")->text(), "VEK CLI executable not found");
  click("errorBannerClose");
  EXPECT_FALSE(find("errorBanner")->isVisible());
  Credentials self = *window->model().credentials();

  // A second Mac joins with an invite copied from the group screen.
  window->showScreen(Screen::group);
  click("copyInvite");
  settle();
  EXPECT_EQ(find<QLabel>("noticeBannerText")->text(),
            "Invite copied. It expires in 15 minutes and can be used once.");
  EXPECT_EQ(find<QLabel>("noticeBannerText")->text().toStdString().find("vek1."),
            std::string::npos);
  FileSecretStore otherStore(home.path() / "other-keychain");
  Credentials other = Enrollment::join(clipboard, "Build Mac", otherStore);
  JSON builderInventory = inventory(
      JSON::array({projectSummary("P1", "Atlas", {"App", "Widget"}, {"Debug", "Release"})}),
      JSON::array());
  JSON receiverInventory =
      inventory(JSON::array(), JSON::array({phone("00008110-AAAA", "Ada's iPhone", true),
                                            phone("00008110-BBBB", "Old iPad", false)}));
  heartbeat(other, builderInventory);
  heartbeat(self, receiverInventory);
  refresh();
  EXPECT_EQ(find<QLabel>("connectionStatus")->text(), "Relay connected");
  EXPECT_FALSE(shown(QString::fromStdString("revoke:" + self.deviceID)));
  ASSERT_TRUE(shown(QString::fromStdString("revoke:" + other.deviceID)));

  // The pickers offer what the group publishes, and Distribution steers the configuration.
  window->showScreen(Screen::deploy);
  auto* builder = find<QComboBox>("builderPicker");
  auto* configuration = find<QComboBox>("configurationPicker");
  auto* distribution = find<QComboBox>("distributionPicker");
  auto* phonePicker = find<QComboBox>("phonePicker");
  EXPECT_EQ(choices(builder), QStringList({"Choose a Mac", "Build Mac"}));
  EXPECT_EQ(builder->currentText(), "Build Mac");
  EXPECT_EQ(choices(find<QComboBox>("schemePicker")),
            QStringList({"Choose a scheme", "App", "Widget"}));
  EXPECT_EQ(choices(phonePicker), QStringList({"Choose an available device",
                                               QString::fromUtf8("Ada's iPhone · iPhone 15")}));
  EXPECT_EQ(find<QLabel>("phoneLine")->text(), "iOS 17.4");
  distribution->setCurrentIndex(distribution->findData("debug"));
  EXPECT_EQ(configuration->currentText(), "Debug");
  EXPECT_EQ(find<QLabel>("signingLine")->text(), "Development signing");
  EXPECT_EQ(find<QLabel>("launchTitle")->text(), "Debug deployment");
  distribution->setCurrentIndex(distribution->findData("adhoc"));
  EXPECT_EQ(configuration->currentText(), "Release");
  EXPECT_TRUE(shown("jobsEmpty"));

  // Choosing no phone disables the button; choosing it again enables it.
  auto* deploy = find<QPushButton>("deployButton");
  phonePicker->setCurrentIndex(0);
  EXPECT_FALSE(deploy->isEnabled());
  phonePicker->setCurrentIndex(1);
  ASSERT_TRUE(deploy->isEnabled());
  deploy->click();
  settle();
  EXPECT_EQ(find<QLabel>("noticeBannerText")->text(),
            "Deployment queued. Both Macs will report progress here.");
  ASSERT_EQ(window->model().jobs().size(), 1u);
  std::string job = window->model().jobs()[0]["id"].text();
  QWidget* row = find(QString::fromStdString("jobRow:" + job));
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->findChild<QPushButton*>("jobCancel")->isVisibleTo(row));

  playJob(other, self, builderInventory, receiverInventory, "Archiving Atlas", "Launched Atlas");
  refresh();
  QWidget* pressed = find(QString::fromStdString("jobRow:" + job));
  ASSERT_TRUE(pressed);
  QTest::mouseClick(pressed, Qt::LeftButton, {}, QPoint(30, 12));
  settle();
  EXPECT_EQ(window->screen(), Screen::activity);
  auto* activity = find("activityScreen");
  ASSERT_TRUE(activity);
  QWidget* followed = activity->findChild<QWidget*>(QString::fromStdString("jobRow:" + job));
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->findChild<QLabel*>("jobState")->text(), "Succeeded");
  EXPECT_FALSE(followed->findChild<QPushButton*>("jobCancel")->isVisibleTo(followed));
  QStringList messages;
  for (QLabel* label : find("timeline")->findChildren<QLabel*>("eventMessage")) {
    messages << label->text();
  }
  EXPECT_TRUE(messages.contains("Archiving Atlas")) << messages.join("|").toStdString();
  EXPECT_TRUE(messages.contains("Launched Atlas")) << messages.join("|").toStdString();

  // Revoking asks first; "Cancel" keeps the Mac, "Revoke" removes it.
  window->showScreen(Screen::group);
  click(QString::fromStdString("revoke:" + other.deviceID));
  settle();
  EXPECT_EQ(confirmedName, "Build Mac");
  EXPECT_EQ(window->model().devices().size(), 2u);
  confirmAnswer = true;
  click(QString::fromStdString("revoke:" + other.deviceID));
  settle();
  EXPECT_EQ(window->model().devices().size(), 1u);
  EXPECT_EQ(window->findChild<QPushButton*>(QString::fromStdString("revoke:" + other.deviceID)),
            nullptr);
}

TEST_F(WindowTest, RevokeConfirmationNamesTheMacAndKeepsItUnlessRevokeIsChosen) {
  struct Case {
    const char* answer;
    bool revoked;
  } cases[] = {
      {"confirmRevoke", true}, {"cancelRevoke", false}, {"Return", false}, {"Escape", false}};
  for (const Case& c : cases) {
    QString title;
    QString message;
    QTimer::singleShot(0, [&] {
      auto* dialog = QApplication::activeModalWidget();
      ASSERT_TRUE(dialog && dialog->objectName() == "revokeConfirmation");
      title = dialog->findChild<QLabel*>("revokeTitle")->text();
      message = dialog->findChild<QLabel*>("revokeMessage")->text();
      if (std::string(c.answer) == "Return") {
        QTest::keyClick(dialog, Qt::Key_Return);
      } else if (std::string(c.answer) == "Escape") {
        QTest::keyClick(dialog, Qt::Key_Escape);
      } else {
        dialog->findChild<QPushButton*>(c.answer)->click();
      }
    });
    EXPECT_EQ(confirmRevokeDialog(nullptr, "Build Mac"), c.revoked) << c.answer;
    EXPECT_EQ(title, "Revoke Build Mac?");
    EXPECT_EQ(message,
              "Its credential will stop working and its active jobs will be cancelled. Rejoining "
              "requires a new invite.");
  }
}

TEST_F(WindowTest, UnreachableRelayShowsConnectingAndKeepsTheWindowAlive) {
  home.enrol(sampleCredentials("http://127.0.0.1:" + std::to_string(vek::testing::unusedPort())));
  open();
  EXPECT_EQ(find<QLabel>("connectionStatus")->text(), QString::fromUtf8("Connecting…"));
  EXPECT_TRUE(find("errorBanner")->isVisible());
  EXPECT_TRUE(find<QLabel>("errorBannerText")->text().contains("127.0.0.1"));
  EXPECT_FALSE(find<QPushButton>("deployButton")->isEnabled());
  EXPECT_TRUE(shown("jobsEmpty"));

  // Each screen's small title line reads as written, not in capitals.
  QStringList lines;
  for (QLabel* line : window->findChildren<QLabel*>("titleLine"))
    lines << line->text();
  EXPECT_EQ(lines, QStringList({"Your workspace, everywhere", "One group, every Mac",
                                "Build from this Mac", "Across your group", "Ready when you are"}));
}

TEST_F(WindowTest, RefreshesKeepWhatTheUserIsLookingAt) {
  vek::testing::RelayProcess relay;
  relay.start();
  Credentials other = enrolWithAnotherMac(relay);
  JSON noProjects = inventory(JSON::array(), JSON::array());
  JSON receiverInventory =
      inventory(JSON::array(), JSON::array({phone("00008110-AAAA", "Ada's iPhone", true)}));
  heartbeat(other, noProjects);
  heartbeat(self, receiverInventory);
  open();
  EXPECT_EQ(find<QComboBox>("configurationPicker")->currentText(), "Choose");

  // The builder publishes its projects again: Ad Hoc comes back with its own configuration.
  JSON builderInventory = inventory(
      JSON::array({projectSummary("P1", "Atlas", {"App"}, {"Debug", "Release"})}), JSON::array());
  heartbeat(other, builderInventory);
  refresh();
  EXPECT_EQ(find<QComboBox>("distributionPicker")->currentText(), "Ad Hoc");
  EXPECT_EQ(find<QComboBox>("configurationPicker")->currentText(), "Release");

  click("deployButton");
  settle();
  ASSERT_EQ(window->model().jobs().size(), 1u);
  QString job = QString::fromStdString(window->model().jobs()[0]["id"].text());
  QPointer<QWidget> row = find("jobRow:" + job);
  QPointer<QLabel> selected;
  for (QLabel* label : window->findChildren<QLabel*>("memberID")) {
    if (label->text().toStdString() == other.deviceID) selected = label;
  }
  ASSERT_TRUE(row && selected);
  selected->setSelection(0, 8);

  // The job ends and the other Mac gains a phone: rows and cards change in place.
  JSON builderWithPhone = inventory(builderInventory["projects"],
                                    JSON::array({phone("00008110-CCCC", "Test iPad", true)}));
  playJob(other, self, builderWithPhone, receiverInventory, "Archiving Atlas", "Launched Atlas");
  refresh();
  EXPECT_EQ(find("jobRow:" + job), row.data());
  EXPECT_EQ(row->findChild<QLabel*>("jobState")->text(), "Succeeded");
  EXPECT_FALSE(row->findChild<QPushButton*>("jobCancel")->isVisibleTo(row));
  ASSERT_TRUE(selected);
  EXPECT_EQ(selected->selectedText().toStdString(), other.deviceID.substr(0, 8));
  QStringList devices;
  for (QLabel* label : window->findChildren<QLabel*>("memberDevices"))
    devices << label->text();
  EXPECT_TRUE(devices.contains("1 available devices")) << devices.join("|").toStdString();

  // The Deploy screen scrolls at this size; the job opens on Activity at its top, followed.
  auto* scroll = window->findChild<QScrollArea*>();
  QScrollBar* bar = scroll->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  bar->setValue(bar->maximum());
  QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(30, 12));
  settle();
  EXPECT_EQ(window->screen(), Screen::activity);
  EXPECT_EQ(bar->value(), 0);
  QWidget* followed = find("activityScreen")->findChild<QWidget*>("jobRow:" + job);
  ASSERT_TRUE(followed);
  EXPECT_TRUE(followed->property("followed").toBool());
  EXPECT_EQ(find<QLabel>("timelineJob")->text(),
            QString::fromUtf8("App · Release · Ada's iPhone · Succeeded"));

  // The group fits: nothing to scroll into.
  bar->setValue(bar->maximum());
  window->showScreen(Screen::group);
  QCoreApplication::processEvents();
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(bar->maximum(), 0);
}

TEST_F(WindowTest, ARevokedMacReturnsToEnrolmentWithTheRelaysMessage) {
  vek::testing::RelayProcess relay;
  relay.start();
  Credentials other = enrolWithAnotherMac(relay);
  open();
  ASSERT_EQ(find<QLabel>("connectionStatus")->text(), "Relay connected");
  EXPECT_FALSE(shown("enrollment"));

  API(other).call("DELETE", "/v1/devices/" + self.deviceID);
  refresh();
  EXPECT_TRUE(shown("enrollment"));
  std::string message = find<QLabel>("enrollmentError")->text().toStdString();
  EXPECT_TRUE(API::namesRevokedCredential(message)) << message;
  EXPECT_EQ(find<QLabel>("groupName")->text(), "");
  EXPECT_TRUE(window->model().devices().empty());
}

TEST_F(WindowTest, OpeningAFolderWithoutAFileBrowserSaysSo) {
  home.enrol(sampleCredentials("http://127.0.0.1:" + std::to_string(vek::testing::unusedPort())));
  open("", desktopPlatform());
  window->showScreen(Screen::settings);
  click("openLogs");
  settle();
  EXPECT_TRUE(std::filesystem::is_directory(home.path() / "state" / "Logs"));
  ASSERT_TRUE(shown("errorBanner"));
  EXPECT_EQ(find<QLabel>("errorBannerText")->text().toStdString(),
            "Cannot open " + (home.path() / "state" / "Logs").string() + " in a file browser.");
}

// The real panel, driven as a person would: a project is a folder here, and each way of picking
// it must register it instead of browsing into it.
TEST_F(WindowTest, TheFilePanelRegistersAProjectHoweverItIsPicked) {
  std::filesystem::path tools = home.path() / "mac";
  vek::testing::vekSim({"init", tools.string()});
  vek::testing::ScopedEnvironment toolRoot("VEK_TOOL_ROOT", tools.c_str());
  std::filesystem::path project = home.path() / "src" / "Atlas.xcodeproj";
  vek::testing::vekSim({"project", "new", project.string(), "--bundle-id", "com.example.atlas",
                        "--schemes", "Atlas"});
  open("", desktopPlatform());
  window->showScreen(Screen::projects);

  auto view = [](ProjectPanel& panel) {
    auto* details = panel.findChild<QTreeView*>("treeView");
    return details->isVisible() ? static_cast<QAbstractItemView*>(details)
                                : panel.findChild<QAbstractItemView*>("listView");
  };
  // Where `name` is listed, once the panel's file list has read the folder.
  auto listed = [&](ProjectPanel& panel, const QString& name) {
    QAbstractItemView* list = view(panel);
    QModelIndex found;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          for (int i = 0; i < list->model()->rowCount(list->rootIndex()); ++i) {
            QModelIndex index = list->model()->index(i, 0, list->rootIndex());
            if (index.data().toString() == name) found = index;
          }
          return found.isValid();
        },
        5000))
        << name.toStdString();
    return list->visualRect(found).center();
  };
  auto type = [](ProjectPanel& panel, const QString& text) {
    auto* name = panel.findChild<QLineEdit*>("fileNameEdit");
    name->setFocus();
    QTest::keyClicks(name, text);
    QTest::keyClick(name, Qt::Key_Return);
  };
  struct Gesture {
    const char* name;
    QString startsIn;
    std::function<void(ProjectPanel&)> pick;
  } gestures[] = {
      {"enter a folder by name, select the project, press Open",
       QString::fromStdString(home.path().string()),
       [&](ProjectPanel& panel) {
         type(panel, "src");
         QPoint row = listed(panel, "Atlas.xcodeproj");
         QTest::mouseClick(view(panel)->viewport(), Qt::LeftButton, {}, row);
         panel.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
       }},
      {"double-click the project", QString::fromStdString((home.path() / "src").string()),
       [&](ProjectPanel& panel) {
         // Through the window, so the clicks arrive as a desktop sends them.
         QPoint row = view(panel)->viewport()->mapTo(&panel, listed(panel, "Atlas.xcodeproj"));
         QTest::mouseDClick(panel.windowHandle(), Qt::LeftButton, {}, row);
       }},
      {"type its path and press Return", QString::fromStdString((home.path() / "src").string()),
       [&](ProjectPanel& panel) { type(panel, QString::fromStdString(project.string())); }},
  };
  for (const Gesture& gesture : gestures) {
    std::filesystem::remove(ProjectStore::file());
    QTimer::singleShot(0, [&] {
      ProjectPanel* panel = nullptr;
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return panel = dynamic_cast<ProjectPanel*>(QApplication::activeModalWidget()); },
          5000))
          << gesture.name;
      EXPECT_EQ(panel->directory().absolutePath(), gesture.startsIn) << gesture.name;
      EXPECT_EQ(panel->findChild<QComboBox*>("fileTypeCombo")->currentText(),
                "Xcode projects and workspaces");
      QPointer<ProjectPanel> open = panel;
      gesture.pick(*panel);
      if (open && open->isVisible()) {
        ADD_FAILURE() << gesture.name << ": the panel is still open in "
                      << open->directory().absolutePath().toStdString();
        open->reject();
      }
    });
    click("addProject");
    settle();
    std::vector<Project> registered = ProjectStore::load();
    ASSERT_EQ(registered.size(), 1u)
        << gesture.name << ": " << window->model().error().value_or("");
    EXPECT_EQ(registered[0].path, project.string()) << gesture.name;
    EXPECT_EQ(find<QLabel>("noticeBannerText")->text(),
              "Atlas registered. It will appear in your group shortly.");
  }
}

}  // namespace
}  // namespace vek::desktop::widgets
