// Rows of a list that live as long as what they show: each row belongs to a key (a job's, a Mac's
// or a project's id) and keeps its widget for as long as the key is listed.
//
// A refresh then changes texts inside rows instead of replacing them, so a text the user selected,
// the row under the pointer and the button with the focus all survive it. Rows are created for
// keys that appear, deleted for keys that go, and moved only when the order changed. A key listed
// twice (a malformed record) gets a row per occurrence.
#pragma once

#include <QBoxLayout>
#include <QString>
#include <functional>
#include <vector>

namespace vek::desktop::widgets {

class KeyedRows {
 public:
  /// The rows take the first places of `layout`; anything after them stays after them.
  explicit KeyedRows(QBoxLayout* layout) : layout_(layout) {}

  /// Shows one row per key, in this order, and returns the rows in the same order. `make` builds
  /// the row of a key that has none yet.
  std::vector<QWidget*> show(const std::vector<QString>& keys,
                             const std::function<QWidget*(const QString& key)>& make);

 private:
  struct Row {
    QString key;
    QWidget* widget;
  };
  QBoxLayout* layout_;
  std::vector<Row> rows_;
};

/// Removes a widget whose signal may be being handled right now: hidden and nameless at once, so
/// nothing finds it, and deleted once control is back in the event loop.
void discardWidget(QWidget* widget);

}  // namespace vek::desktop::widgets
