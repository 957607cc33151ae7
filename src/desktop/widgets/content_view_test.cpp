#include "desktop/widgets/content_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "desktop/model_test_support.h"
#include "desktop/widgets/group_screen.h"
#include "desktop/widgets/widget_test_support.h"
#include "foundation/secret_store.h"
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

  void open(QString relay = "") {
    ContentView::Options options;
    options.deviceName = "Ada's Mac";
    options.relay = relay;
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
  EXPECT_EQ(window->findChild<QPushButton*>(QString::fromStdString("revoke:" + self.deviceID)),
            nullptr);
  ASSERT_TRUE(find(QString::fromStdString("revoke:" + other.deviceID)));

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
  EXPECT_TRUE(find<QLabel>("jobsEmpty"));

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
  EXPECT_TRUE(row->findChild<QPushButton*>("jobCancel"));

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
  EXPECT_FALSE(followed->findChild<QPushButton*>("jobCancel"));
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

TEST_F(WindowTest, RevokeConfirmationNamesTheMacAndOffersBothChoices) {
  application();
  auto answer = [](const char* button) {
    QString text;
    QString informative;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_TRUE(box);
      text = box->text();
      informative = box->informativeText();
      box->findChild<QPushButton*>(button)->click();
    });
    bool revoked = confirmRevokeDialog(nullptr, "Build Mac");
    EXPECT_EQ(text, "Revoke Build Mac?");
    EXPECT_TRUE(informative.startsWith("Its credential will stop working"));
    return revoked;
  };
  EXPECT_TRUE(answer("confirmRevoke"));
  EXPECT_FALSE(answer("cancelRevoke"));
}

TEST_F(WindowTest, UnreachableRelayShowsConnectingAndKeepsTheWindowAlive) {
  home.enrol(sampleCredentials("http://127.0.0.1:" + std::to_string(vek::testing::unusedPort())));
  open();
  EXPECT_EQ(find<QLabel>("connectionStatus")->text(), QString::fromUtf8("Connecting…"));
  EXPECT_TRUE(find("errorBanner")->isVisible());
  EXPECT_TRUE(find<QLabel>("errorBannerText")->text().contains("127.0.0.1"));
  EXPECT_FALSE(find<QPushButton>("deployButton")->isEnabled());
  EXPECT_TRUE(find<QLabel>("jobsEmpty"));
}

}  // namespace
}  // namespace vek::desktop::widgets
