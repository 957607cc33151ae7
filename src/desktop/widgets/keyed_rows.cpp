#include "desktop/widgets/keyed_rows.h"

#include <QHash>
#include <QWidget>

namespace vek::desktop::widgets {

void discardWidget(QWidget* widget) {
  widget->hide();
  widget->setObjectName(QString());
  widget->deleteLater();
}

std::vector<QWidget*> KeyedRows::show(const std::vector<QString>& keys,
                                      const std::function<QWidget*(const QString&)>& make) {
  // Occurrences are counted so that a repeated key names a row of its own.
  QHash<QString, int> seen;
  std::vector<Row> wanted;
  wanted.reserve(keys.size());
  for (const QString& key : keys)
    wanted.push_back({key + QChar(0) + QString::number(seen[key]++), nullptr});

  QHash<QString, QWidget*> existing;
  for (const Row& row : rows_)
    existing.insert(row.key, row.widget);
  bool sameOrder = rows_.size() == wanted.size();
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    sameOrder = sameOrder && rows_[i].key == wanted[i].key;
    wanted[i].widget = existing.take(wanted[i].key);
    if (!wanted[i].widget) wanted[i].widget = make(keys[i]);
  }
  for (QWidget* gone : existing) {
    layout_->removeWidget(gone);
    discardWidget(gone);
  }
  if (!sameOrder) {
    for (const Row& row : wanted)
      layout_->removeWidget(row.widget);
    for (std::size_t i = 0; i < wanted.size(); ++i)
      layout_->insertWidget(static_cast<int>(i), wanted[i].widget);
  }
  rows_ = std::move(wanted);

  std::vector<QWidget*> widgets;
  widgets.reserve(rows_.size());
  for (const Row& row : rows_)
    widgets.push_back(row.widget);
  return widgets;
}

}  // namespace vek::desktop::widgets
