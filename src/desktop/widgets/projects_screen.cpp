#include "desktop/widgets/projects_screen.h"

#include <QHBoxLayout>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

ProjectsScreen::ProjectsScreen(AppModel& model) : model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(
      makeTitleBlock("Build from this Mac", "Registered projects",
                     "Register a workspace or project to publish its schemes to your group."));
  auto* actions = new QHBoxLayout;
  add_ = makeProminentButton("Add project", "plus");
  add_->setObjectName("addProject");
  connect(add_, &QPushButton::clicked, this, [this] { model_.addProject(); });
  actions->addWidget(add_);
  actions->addStretch(1);
  layout->addLayout(actions);
  list_ = new QVBoxLayout;
  list_->setSpacing(12);
  layout->addLayout(list_);
  layout->addWidget(makeLabel(
      "For a specific Apple team or manual profiles, use vek projects add with --team or --manual "
      "--export-options. Source files and signing keys stay on this Mac.",
      TextStyle::secondary));
  layout->addStretch(1);
}

QWidget* ProjectsScreen::makeProjectCard(const Project& project) {
  QFrame* card = makeCard();
  card->setProperty("project", qs(project.id));
  auto* row = new QHBoxLayout;
  row->setSpacing(12);
  row->addWidget(makeSymbol("folder.fill", accentColor(), 26), 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(makeLabel(qs(project.name), TextStyle::title));
  QLabel* path = makeSelectable(qs(project.path), TextStyle::secondary);
  path->setWordWrap(true);
  texts->addWidget(path);
  texts->addWidget(makeLabel(project.automaticSigning ? "Automatic signing" : "Manual signing",
                             TextStyle::secondary));
  row->addLayout(texts, 1);
  QPushButton* refresh = makeButton("Refresh");
  refresh->setObjectName(qs("refreshProject:" + project.id));
  connect(refresh, &QPushButton::clicked, this,
          [this, project] { model_.refreshProject(project); });
  QPushButton* remove = makeButton("Remove");
  remove->setObjectName(qs("removeProject:" + project.id));
  remove->setStyleSheet("color: #ff9f43;");
  connect(remove, &QPushButton::clicked, this,
          [this, id = project.id] { model_.removeProject(id); });
  row->addWidget(refresh, 0, Qt::AlignVCenter);
  row->addWidget(remove, 0, Qt::AlignVCenter);
  static_cast<QVBoxLayout*>(card->layout())->addLayout(row);
  return card;
}

void ProjectsScreen::render(const AppModel& model) {
  add_->setEnabled(!model.busy());
  if (rendered_ && model.localProjects() == shown_) return;
  rendered_ = true;
  shown_ = model.localProjects();
  clearLayout(list_);
  if (shown_.empty()) {
    QFrame* card = makeCard();
    auto* body = static_cast<QVBoxLayout*>(card->layout());
    body->setContentsMargins(18, 28, 18, 28);
    body->addWidget(makeSymbol("folder.badge.plus", accentColor(), 34), 0, Qt::AlignHCenter);
    QLabel* title = makeLabel("No projects registered yet", TextStyle::title);
    title->setObjectName("projectsEmpty");
    body->addWidget(title, 0, Qt::AlignHCenter);
    QLabel* hint = makeLabel(
        "Choose an existing Xcode project or workspace. VEK builds your current working files.",
        TextStyle::secondary);
    hint->setAlignment(Qt::AlignHCenter);
    body->addWidget(hint);
    list_->addWidget(card);
    return;
  }
  for (const Project& project : shown_)
    list_->addWidget(makeProjectCard(project));
}

}  // namespace vek::desktop::widgets
