// The app's symbols, bundled as SVG so the window looks the same on every desktop.
//
// Screens name a symbol by its system name ("desktopcomputer", "checkmark.circle.fill"); one table
// maps each name to a small line drawing on a 24-unit grid, stroked or filled in the colour asked
// for. A name missing from the table draws a small dot, never nothing.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace vek::desktop::widgets {

/// The symbol drawn in `color`, as an icon with crisp renderings at any size.
QIcon symbolIcon(const QString& name, const QColor& color);
/// The same, drawn in `disabled` where the control that shows it is disabled.
QIcon symbolIcon(const QString& name, const QColor& color, const QColor& disabled);
/// The symbol as a square pixmap of `size` logical pixels in `color`.
QPixmap symbolPixmap(const QString& name, const QColor& color, int size);
/// Whether the table knows the symbol.
bool hasSymbol(const QString& name);

}  // namespace vek::desktop::widgets
