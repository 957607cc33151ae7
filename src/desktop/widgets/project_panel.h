// The file panel that picks an Xcode project or workspace to register.
//
// On this platform a project ("Atlas.xcodeproj") or workspace (".xcworkspace") is a folder, and a
// file panel's own rule for a folder is to enter it. The panel therefore chooses a project or
// workspace itself, whichever way the user picks it: selected and "Open", typed (name or path)
// and Return, or double-clicked, which enters it and so ends the panel with it. Ordinary folders
// are browsed as usual; nothing else can be chosen.
//
// The panel is Qt's own (not the desktop's), drawn with the app's symbols and look, with the
// registration warning below the file list. It starts in the folder the caller keeps, the home
// folder at first, and hands back the folder the choice was made in for next time.
#pragma once

#include <QFileDialog>
#include <QString>
#include <optional>

namespace vek::desktop::widgets {

class ProjectPanel : public QFileDialog {
 public:
  /// A panel over `parent` that starts in `folder`.
  ProjectPanel(QWidget* parent, const QString& folder);

  /// The project or workspace chosen; empty until one is.
  const QString& chosen() const { return chosen_; }

  /// Shows a panel modally, starting in `folder`; the chosen path, or nothing when the user
  /// cancelled. After a choice `folder` is the folder that holds it.
  static std::optional<QString> choose(QWidget* parent, QString& folder);

  void accept() override;

 private:
  /// Ends the panel with `path` chosen.
  void finishWith(const QString& path);

  QString chosen_;
};

/// Whether `path` names an Xcode project or workspace by its extension.
bool isProjectPackage(const QString& path);

}  // namespace vek::desktop::widgets
