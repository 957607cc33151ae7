#include "desktop/widgets/icons.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>
#include <map>

namespace vek::desktop::widgets {

namespace {

// Drawing of each symbol inside <svg viewBox="0 0 24 24">. "C" stands for the colour; strokes are
// 1.8 units wide with round ends unless a shape sets its own.
const std::map<QString, QString>& table() {
  static const std::map<QString, QString> symbols = {
      {"desktopcomputer",
       R"(<rect x="2.5" y="3.5" width="19" height="13" rx="2"/><path d="M9 20.5h6M12 16.5v4"/>)"},
      {"desktopcomputer.and.arrow.down",
       R"(<rect x="2.5" y="3.5" width="19" height="13" rx="2"/><path d="M9 20.5h6M12 16.5v4M12 6.5v6M9.2 9.8 12 12.6l2.8-2.8"/>)"},
      {"laptopcomputer",
       R"(<rect x="4.5" y="5" width="15" height="10.5" rx="1.5"/><path d="M2 18.5h20"/>)"},
      {"lock.shield",
       R"(<path d="M12 2.5 4.5 5.5v6c0 4.6 3.2 8.4 7.5 10 4.3-1.6 7.5-5.4 7.5-10v-6z"/><rect x="9" y="11" width="6" height="5" rx="1"/><path d="M10.2 11V9.6a1.8 1.8 0 0 1 3.6 0V11"/>)"},
      {"checkmark.shield",
       R"(<path d="M12 2.5 4.5 5.5v6c0 4.6 3.2 8.4 7.5 10 4.3-1.6 7.5-5.4 7.5-10v-6z"/><path d="m8.6 12 2.4 2.4 4.4-4.6"/>)"},
      {"arrow.right", R"(<path d="M4 12h15M13.5 6.5 19 12l-5.5 5.5"/>)"},
      {"arrow.up.forward.app.fill",
       R"(<rect x="3" y="3" width="18" height="18" rx="4.5" fill="C" stroke="none"/><path d="M9 15 15.5 8.5M10 8.5h5.5V14" stroke="#0b111b"/>)"},
      {"arrow.up.right.square.fill",
       R"(<rect x="3" y="3" width="18" height="18" rx="4" fill="C" stroke="none"/><path d="M8.5 15.5 15.5 8.5M10 8.5h5.5V14" stroke="#0b111b" stroke-width="2.2"/>)"},
      {"folder",
       R"(<path d="M3 6.5A1.5 1.5 0 0 1 4.5 5h4.6l2 2.2h8.4A1.5 1.5 0 0 1 21 8.7v9.8a1.5 1.5 0 0 1-1.5 1.5h-15A1.5 1.5 0 0 1 3 18.5z"/>)"},
      {"folder.fill",
       R"(<path d="M3 6.5A1.5 1.5 0 0 1 4.5 5h4.6l2 2.2h8.4A1.5 1.5 0 0 1 21 8.7v9.8a1.5 1.5 0 0 1-1.5 1.5h-15A1.5 1.5 0 0 1 3 18.5z" fill="C"/>)"},
      {"folder.badge.plus",
       R"(<path d="M13 20H4.5A1.5 1.5 0 0 1 3 18.5v-12A1.5 1.5 0 0 1 4.5 5h4.6l2 2.2h8.4A1.5 1.5 0 0 1 21 8.7V12"/><path d="M18 14.5v6M15 17.5h6"/>)"},
      {"clock", R"(<circle cx="12" cy="12" r="9"/><path d="M12 7v5l3.2 2"/>)"},
      {"clock.arrow.circlepath",
       R"(<path d="M4.2 13A8 8 0 1 0 6.3 6.3L3.5 9"/><path d="M3.5 4.5V9H8"/><path d="M12 8v4.2l2.8 1.8"/>)"},
      {"gearshape",
       R"(<circle cx="12" cy="12" r="3.2"/><path d="M12 2.8v2.6M12 18.6v2.6M2.8 12h2.6M18.6 12h2.6M5.5 5.5l1.9 1.9M16.6 16.6l1.9 1.9M5.5 18.5l1.9-1.9M16.6 7.4l1.9-1.9"/><circle cx="12" cy="12" r="6.6"/>)"},
      {"circle.fill", R"(<circle cx="12" cy="12" r="6" fill="C" stroke="none"/>)"},
      {"person.3",
       R"(<circle cx="12" cy="8" r="3"/><path d="M6.5 19.5a5.5 5.5 0 0 1 11 0"/><circle cx="5" cy="9.5" r="2.2"/><circle cx="19" cy="9.5" r="2.2"/><path d="M1.5 18a3.8 3.8 0 0 1 4.4-3.7M22.5 18a3.8 3.8 0 0 0-4.4-3.7"/>)"},
      {"arrow.clockwise",
       R"(<path d="M19.5 12A7.5 7.5 0 1 1 17 6.4"/><path d="M19.5 3.5v4.5H15"/>)"},
      {"info.circle",
       R"(<circle cx="12" cy="12" r="9"/><path d="M12 11v5.5"/><circle cx="12" cy="7.6" r="0.6" fill="C"/>)"},
      {"xmark", R"(<path d="M6 6l12 12M18 6 6 18"/>)"},
      {"xmark.circle", R"(<circle cx="12" cy="12" r="9"/><path d="m9 9 6 6M15 9l-6 6"/>)"},
      {"bolt.horizontal.circle",
       R"(<circle cx="12" cy="12" r="9"/><path d="M6.5 12.8h4.2l-1 3.2 7.8-5h-4.2l1-3.2z" fill="C" stroke-linejoin="round"/>)"},
      {"iphone", R"(<rect x="6.5" y="2.5" width="11" height="19" rx="2.5"/><path d="M10.5 5h3"/>)"},
      {"cable.connector",
       R"(<rect x="8" y="3" width="8" height="8" rx="1.5"/><path d="M10.5 3V1.5M13.5 3V1.5M12 11v3.5a3.5 3.5 0 0 1-3.5 3.5H7v4"/>)"},
      {"play.fill", R"(<path d="M7 4.5v15l12-7.5z" fill="C" stroke-linejoin="round"/>)"},
      {"checkmark.circle.fill",
       R"(<circle cx="12" cy="12" r="9.5" fill="C" stroke="none"/><path d="m7.8 12.3 2.8 2.8 5.6-6" stroke="#0b111b" stroke-width="2.2"/>)"},
      {"exclamationmark.circle",
       R"(<circle cx="12" cy="12" r="9"/><path d="M12 7v6.5"/><circle cx="12" cy="16.7" r="0.6" fill="C"/>)"},
      {"arrow.triangle.2.circlepath",
       R"(<path d="M4.5 11a7.5 7.5 0 0 1 13-4.2L19.5 9"/><path d="M19.5 4.5V9H15"/><path d="M19.5 13a7.5 7.5 0 0 1-13 4.2L4.5 15"/><path d="M4.5 19.5V15H9"/>)"},
      {"chevron.right", R"(<path d="m9 5 7 7-7 7"/>)"},
      {"plus", R"(<path d="M12 5v14M5 12h14"/>)"},
      {"exclamationmark.triangle",
       R"(<path d="M10.3 3.9 2.5 17.6a2 2 0 0 0 1.7 2.9h15.6a2 2 0 0 0 1.7-2.9L13.7 3.9a2 2 0 0 0-3.4 0z"/><path d="M12 9v5"/><circle cx="12" cy="17.2" r="0.6" fill="C"/>)"},
      {"chevron.left", R"(<path d="m15 5-7 7 7 7"/>)"},
      {"arrow.up", R"(<path d="M12 19.5v-15M6.5 10 12 4.5l5.5 5.5"/>)"},
      {"list.bullet",
       R"(<path d="M9 6h11M9 12h11M9 18h11"/><circle cx="4.5" cy="6" r="0.9" fill="C"/><circle cx="4.5" cy="12" r="0.9" fill="C"/><circle cx="4.5" cy="18" r="0.9" fill="C"/>)"},
      {"tablecells",
       R"(<rect x="3" y="4.5" width="18" height="15" rx="2"/><path d="M3 9.5h18M3 14.5h18M9.5 4.5v15"/>)"},
      {"doc",
       R"(<path d="M14 2.5H7A1.5 1.5 0 0 0 5.5 4v16A1.5 1.5 0 0 0 7 21.5h10a1.5 1.5 0 0 0 1.5-1.5V7z"/><path d="M14 2.5V7h4.5"/>)"},
      {"house", R"(<path d="M3.5 11 12 4l8.5 7"/><path d="M5.5 9.5V20h5v-5.5h3V20h5V9.5"/>)"},
      {"internaldrive",
       R"(<rect x="2.5" y="7" width="19" height="10" rx="2"/><path d="M5.5 12h6"/><circle cx="17.5" cy="12" r="0.8" fill="C"/>)"},
      {"trash", R"(<path d="M4 6.5h16M9.5 6.5V4h5v2.5M6 6.5l1 14h10l1-14M10 10.5v6M14 10.5v6"/>)"},
      {"hammer",
       R"(<path d="m12.5 10.5-8.3 8.3a1.5 1.5 0 0 0 2.1 2.1l8.3-8.3"/><path d="m10 8 4.2-4.2c1.6-.9 3.6-.6 4.9.7l-2 .8 3.1 3.1-3.5 3.5-1.2-1.2-1.6 1.6z" stroke-linejoin="round"/>)"},
  };
  return symbols;
}

QByteArray svgFor(const QString& name, const QColor& color) {
  auto found = table().find(name);
  QString body =
      found == table().end() ? R"(<circle cx="12" cy="12" r="2" fill="C"/>)" : found->second;
  QString colour = color.name(QColor::HexRgb);
  body.replace("\"C\"", "\"" + colour + "\"");
  QString svg =
      QString(R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 24 24" fill="none" )"
              R"(stroke="%1" stroke-width="1.8" stroke-linecap="round" )"
              R"(stroke-linejoin="round">%2</svg>)")
          .arg(colour, body);
  return svg.toUtf8();
}

}  // namespace

bool hasSymbol(const QString& name) {
  return table().contains(name);
}

QPixmap symbolPixmap(const QString& name, const QColor& color, int size) {
  qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(QSize(size, size) * ratio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(svgFor(name, color));
  QPainter painter(&pixmap);
  painter.setOpacity(color.alphaF());
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& color) {
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48})
    icon.addPixmap(symbolPixmap(name, color, size));
  return icon;
}

QIcon symbolIcon(const QString& name, const QColor& color, const QColor& disabled) {
  QIcon icon = symbolIcon(name, color);
  for (int size : {16, 20, 24, 32, 48})
    icon.addPixmap(symbolPixmap(name, disabled, size), QIcon::Disabled);
  return icon;
}

}  // namespace vek::desktop::widgets
