#include "desktop/widgets/projects_screen.h"

#include <QHBoxLayout>

#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

// One registered project: its name, selectable path and signing, with "Refresh" and "Remove".
class ProjectCard : public QFrame {
 public:
  ProjectCard(AppModel& model, const std::string& id) {
    QVBoxLayout* body = shapeAsCard(this);
    setProperty("project", qs(id));
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(makeSymbol("folder.fill", accentColor(), 26), 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    name_ = makeLabel("", TextStyle::title);
    texts->addWidget(name_);
    path_ = makeSelectable("", TextStyle::secondary);
    path_->setWordWrap(true);
    texts->addWidget(path_);
    signing_ = makeLabel("", TextStyle::secondary);
    texts->addWidget(signing_);
    row->addLayout(texts, 1);
    QPushButton* refresh = makeButton("Refresh");
    refresh->setObjectName(qs("refreshProject:" + id));
    connect(refresh, &QPushButton::clicked, this,
            [this, &model] { model.refreshProject(project_); });
    QPushButton* remove = makeButton("Remove");
    remove->setObjectName(qs("removeProject:" + id));
    remove->setProperty("destructive", true);
    connect(remove, &QPushButton::clicked, this, [&model, id] { model.removeProject(id); });
    row->addWidget(refresh, 0, Qt::AlignVCenter);
    row->addWidget(remove, 0, Qt::AlignVCenter);
    body->addLayout(row);
  }

  void setProject(const Project& project) {
    project_ = project;
    name_->setText(qs(project.name));
    path_->setText(qs(project.path));
    signing_->setText(project.automaticSigning ? "Automatic signing" : "Manual signing");
  }

 private:
  Project project_;
  QLabel* name_;
  QLabel* path_;
  QLabel* signing_;
};

}  // namespace

ProjectsScreen::ProjectsScreen(AppModel& model) : model_(model), projects_(nullptr) {
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

  auto* list = new QVBoxLayout;
  list->setSpacing(12);
  QFrame* empty = makeCard();
  auto* body = static_cast<QVBoxLayout*>(empty->layout());
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
  empty_ = empty;
  list->addWidget(empty_);
  projects_ = KeyedRows(list);
  layout->addLayout(list);
  layout->addWidget(makeLabel(
      "For a specific Apple team or manual profiles, use vek projects add with --team or --manual "
      "--export-options. Source files and signing keys stay on this Mac.",
      TextStyle::secondary));
  layout->addStretch(1);
}

void ProjectsScreen::render(const AppModel& model) {
  add_->setEnabled(!model.busy());
  const std::vector<Project>& projects = model.localProjects();
  std::vector<QString> keys;
  for (const Project& project : projects)
    keys.push_back(qs(project.id));
  std::vector<QWidget*> cards = projects_.show(
      keys, [this](const QString& id) { return new ProjectCard(model_, id.toStdString()); });
  for (std::size_t i = 0; i < projects.size(); ++i)
    static_cast<ProjectCard*>(cards[i])->setProject(projects[i]);
  empty_->setVisible(projects.empty());
}

}  // namespace vek::desktop::widgets
