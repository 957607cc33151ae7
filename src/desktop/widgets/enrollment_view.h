// The enrolment screen, shown instead of the working screens while this Mac holds no
// credentials: create the first group on a relay, or join one with an invite from a member.
//
// The form's texts are passed on exactly as typed (no trimming); the two secrets, the bootstrap
// key and the invite, are masked and are cleared from the form as soon as enrolment succeeded.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "desktop/app_model.h"

namespace vek::desktop::widgets {

class Spinner;

class EnrollmentView : public QWidget {
 public:
  /// `deviceName` and `relay` are what the form proposes for the Mac's name and, when creating a
  /// group, the relay address ("" when the build has no default relay).
  EnrollmentView(AppModel& model, const QString& deviceName, const QString& relay);
  void render(const AppModel& model);

 private:
  void updateForm();
  void submit();

  AppModel& model_;
  QLabel* error_;
  QLineEdit* name_;
  QCheckBox* create_;
  QWidget* createFields_;
  QLineEdit* groupName_;
  QLineEdit* relay_;
  QLineEdit* bootstrap_;
  QWidget* joinFields_;
  QLineEdit* invite_;
  QPushButton* action_;
  QLabel* actionText_;
  QLabel* arrow_;
  Spinner* spinner_;
  bool busy_ = false;
};

}  // namespace vek::desktop::widgets
