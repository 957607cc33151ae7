#include "desktop/widgets/project_panel.h"

#include <QAbstractFileIconProvider>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QSplitter>
#include <QToolButton>
#include <QTreeView>

#include "desktop/widgets/icons.h"
#include "desktop/widgets/theme.h"

namespace vek::desktop::widgets {

namespace {

// The panel's pictures for files, folders and places, from the app's own symbols, so the panel
// does not mix in the style's icon set. The file list asks for pictures from a thread of its own,
// so they are all drawn up front, on the UI thread, and only handed out afterwards.
class SymbolIconProvider : public QAbstractFileIconProvider {
 public:
  SymbolIconProvider()
      : computer_(symbolIcon("desktopcomputer", accentColor())),
        drive_(symbolIcon("internaldrive", accentColor())),
        trash_(symbolIcon("trash", secondaryColor())),
        folder_(symbolIcon("folder", accentColor())),
        home_(symbolIcon("house", accentColor())),
        project_(symbolIcon("hammer", accentColor())),
        file_(symbolIcon("doc", secondaryColor())) {}

  QIcon icon(IconType type) const override {
    switch (type) {
      case Computer:
      case Desktop:
        return computer_;
      case Drive:
      case Network:
        return drive_;
      case Trashcan:
        return trash_;
      case Folder:
        return folder_;
      case File:
        break;
    }
    return file_;
  }

  QIcon icon(const QFileInfo& info) const override {
    if (isProjectPackage(info.fileName())) return project_;
    if (info.isRoot()) return drive_;
    if (info.isDir()) return info.absoluteFilePath() == QDir::homePath() ? home_ : folder_;
    return file_;
  }

  QString type(const QFileInfo& info) const override {
    if (info.fileName().endsWith(".xcodeproj")) return "Xcode project";
    if (info.fileName().endsWith(".xcworkspace")) return "Xcode workspace";
    return QAbstractFileIconProvider::type(info);
  }

 private:
  QIcon computer_, drive_, trash_, folder_, home_, project_, file_;
};

}  // namespace

bool isProjectPackage(const QString& path) {
  return path.endsWith(".xcodeproj") || path.endsWith(".xcworkspace");
}

ProjectPanel::ProjectPanel(QWidget* parent, const QString& folder)
    : QFileDialog(parent, "Register an Xcode project or workspace") {
  setObjectName("projectPanel");
  setOption(QFileDialog::DontUseNativeDialog);
  // The panel only reads: no renaming or deleting from its context menu.
  setOption(QFileDialog::ReadOnly);
  setOption(QFileDialog::HideNameFilterDetails);
  setFileMode(QFileDialog::ExistingFile);
  setNameFilter("Xcode projects and workspaces (*.xcodeproj *.xcworkspace)");
  // Shared by every panel for the life of the program: a file list may still ask it for a
  // picture while its panel goes away.
  static auto* symbols = new SymbolIconProvider;
  setIconProvider(symbols);
  setDirectory(QFileInfo(folder).isDir() ? folder : QDir::homePath());
  setSizeGripEnabled(false);
  resize(780, 500);
  if (auto* splitter = findChild<QSplitter*>("splitter")) splitter->setSizes({170, 610});
  // Names take what room there is; kind and date keep what they need to be read whole.
  if (auto* details = findChild<QTreeView*>("treeView")) {
    QHeaderView* header = details->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
  }

  const std::pair<const char*, const char*> buttons[] = {
      {"backButton", "chevron.left"},     {"forwardButton", "chevron.right"},
      {"toParentButton", "arrow.up"},     {"listModeButton", "list.bullet"},
      {"detailModeButton", "tablecells"},
  };
  for (const auto& [name, symbol] : buttons) {
    if (auto* button = findChild<QToolButton*>(name)) {
      button->setIcon(symbolIcon(symbol, QColor(232, 237, 243)));
      button->setIconSize(QSize(16, 16));
    }
  }
  // A read-only panel has no use for a new folder.
  if (auto* button = findChild<QToolButton*>("newFolderButton")) button->hide();
  if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
    QLabel* message = makeLabel(
        "Group members can build registered projects. Only add projects whose build scripts "
        "you trust.",
        TextStyle::secondary);
    message->setObjectName("projectPanelMessage");
    grid->addWidget(message, grid->rowCount(), 0, 1, grid->columnCount());
  }
  // A selected project reads as a chosen file: its name goes into the name field.
  auto* list = findChild<QListView*>("listView");
  auto* name = findChild<QLineEdit*>("fileNameEdit");
  if (list && list->selectionModel() && name) {
    connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [list, name] {
      QModelIndexList rows = list->selectionModel()->selectedRows();
      if (rows.size() == 1 && isProjectPackage(rows.front().data().toString()) &&
          !name->hasFocus()) {
        name->setText(rows.front().data().toString());
      }
    });
  }
  // Double-clicking a project enters it, as it would any folder; entering one chooses it.
  connect(this, &QFileDialog::directoryEntered, this, [this](const QString& path) {
    if (isProjectPackage(path)) finishWith(path);
  });
}

void ProjectPanel::accept() {
  // The name field goes first. Typing a path selects, in the file list, every folder along it,
  // so the list's selection would begin with "/"; the typed text itself is what the user means.
  auto* name = findChild<QLineEdit*>("fileNameEdit");
  QString typed = name ? name->text() : QString();
  if (!typed.isEmpty()) {
    QFileInfo path(directory().absoluteFilePath(typed));
    if (path.isDir() && isProjectPackage(path.fileName()))
      return finishWith(path.absoluteFilePath());
    if (path.isDir()) {
      setDirectory(path.absoluteFilePath());
      name->clear();
      return;
    }
  }
  QStringList files = selectedFiles();
  if (files.size() == 1 && isProjectPackage(files.front()) && QFileInfo(files.front()).isDir()) {
    return finishWith(files.front());
  }
  // Anything else is the panel's own business: a folder is entered, a missing name is refused.
  // A file it accepts goes on to registration, which says why it is not a project.
  QFileDialog::accept();
  if (result() == QDialog::Accepted && !files.isEmpty()) {
    chosen_ = QFileInfo(files.front()).absoluteFilePath();
  }
}

void ProjectPanel::finishWith(const QString& path) {
  chosen_ = QFileInfo(path).absoluteFilePath();
  // QDialog's own accept: QFileDialog's would enter the folder once more.
  QDialog::accept();
}

std::optional<QString> ProjectPanel::choose(QWidget* parent, QString& folder) {
  ProjectPanel panel(parent, folder);
  if (panel.exec() != QDialog::Accepted || panel.chosen().isEmpty()) return std::nullopt;
  folder = QFileInfo(panel.chosen()).absolutePath();
  return panel.chosen();
}

}  // namespace vek::desktop::widgets
