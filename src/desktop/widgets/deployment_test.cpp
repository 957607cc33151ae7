#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <vector>

#include "desktop/widgets/content_view.h"
#include "desktop/widgets/widget_test_support.h"
#include "fleet.h"

namespace vek::desktop::widgets {
namespace {

using vek::testing::Fleet;
using vek::testing::ScopedEnvironment;

// The window runs as the receiving Mac of a fleet whose two agents do the real work on their
// simulated Macs: it deploys from the Deploy screen and follows the job to its end.
TEST(Deployment, StartedFromTheDeployScreenAndFollowedToItsEnd) {
  testing::application();
  Fleet fleet;
  fleet.installAgents();
  fleet.waitForPhone();
  std::vector<std::unique_ptr<ScopedEnvironment>> environment;
  for (const auto& [name, value] : fleet.receiver().environment()) {
    environment.push_back(
        std::make_unique<ScopedEnvironment>(name.c_str(), value ? value->c_str() : nullptr));
  }

  ContentView::Options options;
  options.platform.programPath = vek::testing::programDirectory() / "vek-desktop";
  ContentView window(std::move(options));
  window.resize(1040, 720);
  window.show();
  AppModel& model = window.model();
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.canDeploy(); }, 30000))
      << model.error().value_or("(no error)");
  EXPECT_EQ(model.builder(), fleet.builderID());
  EXPECT_EQ(model.phone(), Fleet::udid);
  EXPECT_EQ(window.findChild<QLabel*>("agentStatus")->text(), "Agent running");

  auto* deploy = window.findChild<QPushButton*>("deployButton");
  ASSERT_TRUE(deploy && deploy->isEnabled());
  deploy->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.selectedJob() && !model.busy(); }, 30000));
  ASSERT_FALSE(model.error()) << *model.error();
  std::string job = *model.selectedJob();

  // The 5-second refresh loop brings the job's end; the test only presses refresh to go faster.
  auto* refresh = window.findChild<QPushButton*>("refreshButton");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        if (model.runningWorkers() == 0) refresh->click();
        return !model.jobs().empty() && model.jobs()[0]["state"].text() == "succeeded";
      },
      90000))
      << Fleet::agentErrors(fleet.builder()) << Fleet::agentErrors(fleet.receiver());

  QWidget* row = window.findChild<QWidget*>(QString::fromStdString("jobRow:" + job));
  ASSERT_TRUE(row);
  QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(30, 12));
  EXPECT_EQ(window.screen(), Screen::activity);
  QWidget* activity = window.findChild<QWidget*>("activityScreen");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !activity->findChildren<QLabel*>("eventMessage").isEmpty(); }, 20000));
  QWidget* followed = activity->findChild<QWidget*>(QString::fromStdString("jobRow:" + job));
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->findChild<QLabel*>("jobState")->text(), "Succeeded");
  QStringList messages;
  for (QLabel* label : activity->findChildren<QLabel*>("eventMessage"))
    messages << label->text();
  EXPECT_GE(messages.size(), 3) << messages.join("|").toStdString();
  EXPECT_TRUE(messages.last().startsWith("Launching")) << messages.join("|").toStdString();
}

}  // namespace
}  // namespace vek::desktop::widgets
