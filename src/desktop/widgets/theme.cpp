#include "desktop/widgets/theme.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLayout>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QVBoxLayout>

#include "desktop/widgets/icons.h"

namespace vek::desktop::widgets {

QColor accentColor() {
  return QColor::fromRgbF(0.36f, 0.82f, 0.89f);
}
QColor panelColor() {
  return QColor::fromRgbF(0.075f, 0.105f, 0.16f);
}
QColor orangeColor() {
  return QColor(255, 159, 67);
}
QColor secondaryColor() {
  return QColor(160, 172, 189);
}
QColor onAccentColor(bool enabled) {
  return enabled ? QColor(11, 17, 27) : QColor(143, 177, 186);
}

namespace {

const char* styleSheet = R"(
QWidget { color: #e8edf3; font-size: 13px; }
QWidget#window, QScrollArea, QWidget#content { background: #0b111b; }
QWidget#sidebar { background: #0e1520; }
QFrame#divider { background: #1f2a3a; max-width: 1px; min-width: 1px; border: none; }
QFrame#hdivider { background: #1f2a3a; max-height: 1px; min-height: 1px; border: none; }
QFrame[card="true"] { background: PANEL; border: 1px solid #1f2b3d; border-radius: 12px; }
QLabel { background: transparent; }
QLabel[textStyle="secondary"] { color: #a0acbd; }
QLabel[textStyle="small"] { color: ACCENT; font-size: 12px; font-weight: 600; letter-spacing: 0.5px; }
QLabel[textStyle="title"] { font-size: 15px; font-weight: 600; }
QLabel[textStyle="headline"] { font-size: 26px; font-weight: 700; }
QLabel[textStyle="caption"] { color: #7d8a9c; font-size: 11px; font-weight: 700; letter-spacing: 1px; }
QLabel[textStyle="orange"] { color: #ff9f43; }
QPushButton { background: #1a2433; border: 1px solid #2b3a50; border-radius: 7px; padding: 6px 12px; }
QPushButton:hover { background: #223046; }
QPushButton:disabled { color: #5d6878; background: #141c28; border-color: #1f2a3a; }
QPushButton[kind="prominent"] { background: ACCENT; color: #0b111b; border: none; font-weight: 600; padding: 7px 16px; }
QPushButton[kind="prominent"]:hover { background: #7ddbe8; }
QPushButton[kind="prominent"]:disabled { background: #1e3a44; color: MUTED; }
QLabel[textStyle="onAccent"] { color: #0b111b; font-weight: 600; }
QLabel[textStyle="onAccent"]:disabled { color: MUTED; }
QPushButton[destructive="true"] { color: #ff9f43; }
QPushButton[kind="destructive"] { background: #ff9f43; color: #0b111b; border: none; font-weight: 600; padding: 7px 16px; }
QPushButton[kind="destructive"]:hover { background: #ffb36b; }
QPushButton:default { border-color: ACCENT; }
QPushButton[kind="link"] { background: transparent; border: none; color: ACCENT; padding: 2px 0; text-align: left; }
QPushButton[kind="link"][destructive="true"] { color: #ff9f43; }
QPushButton[kind="link"]:disabled { color: #5d6878; }
QPushButton[kind="plain"] { background: transparent; border: none; padding: 2px; }
QFrame[jobRow="true"] { background: transparent; border: none; border-radius: 8px; }
QFrame[jobRow="true"]:hover { background: #152031; }
QFrame[jobRow="true"][followed="true"] { background: #16303a; border: 1px solid #25606c; }
QPushButton[kind="sidebar"] { background: transparent; border: none; border-radius: 8px; padding: 8px 10px; text-align: left; font-size: 14px; }
QPushButton[kind="sidebar"]:hover { background: #152031; }
QPushButton[kind="sidebar"]:checked { background: #1b3540; color: #ffffff; }
QLineEdit { background: #121a26; border: 1px solid #2b3a50; border-radius: 7px; padding: 7px 9px; selection-background-color: ACCENT; }
QLineEdit:focus { border-color: ACCENT; }
QComboBox { background: #121a26; border: 1px solid #2b3a50; border-radius: 7px; padding: 5px 9px; min-height: 20px; }
QComboBox:disabled { color: #5d6878; }
QComboBox::drop-down { border: none; width: 26px; background: transparent; }
QComboBox::down-arrow { image: url(:/vek/chevron-down.svg); width: 12px; height: 12px; }
QComboBox QAbstractItemView { background: #121a26; border: 1px solid #2b3a50; selection-background-color: #1b3540; }
QCheckBox { spacing: 9px; }
QCheckBox::indicator { width: 16px; height: 16px; border: 1px solid #4a5d78; border-radius: 4px; background: #121a26; }
QCheckBox::indicator:hover, QCheckBox:focus::indicator { border-color: ACCENT; }
QCheckBox::indicator:checked { background: ACCENT; border-color: ACCENT; image: url(:/vek/checkmark.svg); }
QCheckBox::indicator:disabled { border-color: #2b3a50; background: #0e1520; }
QDialog { background: #0e1520; }
QToolButton { background: transparent; border: 1px solid transparent; border-radius: 6px; padding: 4px; }
QToolButton:hover { background: #1a2433; border-color: #2b3a50; }
QToolButton:checked { background: #1b3540; border-color: #25606c; }
QAbstractItemView { background: #121a26; border: 1px solid #2b3a50; border-radius: 7px; outline: none; }
QAbstractItemView::item { padding: 3px 4px; border-radius: 4px; }
QAbstractItemView::item:hover { background: #152031; }
QAbstractItemView::item:selected { background: #1b3540; color: #ffffff; }
QHeaderView { background: transparent; }
QSplitter::handle { background: transparent; }
QHeaderView::section { background: #0e1520; color: #a0acbd; border: none; border-bottom: 1px solid #1f2a3a; padding: 5px 8px; }
QMenu { background: #121a26; border: 1px solid #2b3a50; padding: 4px; }
QMenu::item { padding: 5px 18px; border-radius: 4px; }
QMenu::item:selected { background: #1b3540; }
QToolTip { background: #121a26; color: #e8edf3; border: 1px solid #2b3a50; padding: 4px 6px; }
QFrame[banner="true"] { border-radius: 10px; }
QFrame[banner="true"][tint="error"] { background: #3a2716; border: 1px solid #7a4a1d; }
QFrame[banner="true"][tint="notice"] { background: #123039; border: 1px solid #25606c; }
QScrollArea { border: none; }
QScrollBar:vertical { background: transparent; width: 10px; }
QScrollBar::handle:vertical { background: #273447; border-radius: 4px; min-height: 30px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar:horizontal { background: transparent; height: 10px; }
QScrollBar::handle:horizontal { background: #273447; border-radius: 4px; min-width: 30px; }
QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }
)";

const char* styleName(TextStyle style) {
  switch (style) {
    case TextStyle::secondary:
      return "secondary";
    case TextStyle::small:
      return "small";
    case TextStyle::title:
      return "title";
    case TextStyle::headline:
      return "headline";
    case TextStyle::caption:
      return "caption";
    case TextStyle::orange:
      return "orange";
    case TextStyle::onAccent:
      return "onAccent";
    case TextStyle::body:
      break;
  }
  return "body";
}

// Fusion, without what other desktops add to it: underlined keyboard shortcuts in labels and
// buttons, and their icon theme's pictures on the buttons of dialogs.
class AppStyle : public QProxyStyle {
 public:
  AppStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returned) const override {
    if (hint == QStyle::SH_UnderlineShortcut) return 0;
    if (hint == QStyle::SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returned);
  }
};

}  // namespace

void applyTheme(QApplication& application) {
  application.setStyle(new AppStyle);
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(11, 17, 27));
  palette.setColor(QPalette::WindowText, QColor(232, 237, 243));
  palette.setColor(QPalette::Base, QColor(18, 26, 38));
  palette.setColor(QPalette::AlternateBase, panelColor());
  palette.setColor(QPalette::Text, QColor(232, 237, 243));
  palette.setColor(QPalette::Button, QColor(26, 36, 51));
  palette.setColor(QPalette::ButtonText, QColor(232, 237, 243));
  palette.setColor(QPalette::Highlight, accentColor());
  palette.setColor(QPalette::HighlightedText, QColor(11, 17, 27));
  palette.setColor(QPalette::PlaceholderText, QColor(110, 122, 138));
  palette.setColor(QPalette::Disabled, QPalette::Text, QColor(93, 104, 120));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(93, 104, 120));
  application.setPalette(palette);
  QString sheet = styleSheet;
  sheet.replace("PANEL", panelColor().name())
      .replace("ACCENT", accentColor().name())
      .replace("MUTED", onAccentColor(false).name());
  application.setStyleSheet(sheet);
}

QLabel* makeLabel(const QString& text, TextStyle style, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("textStyle", styleName(style));
  label->setWordWrap(style == TextStyle::secondary || style == TextStyle::orange ||
                     style == TextStyle::body);
  return label;
}

QLabel* makeSelectable(const QString& text, TextStyle style) {
  QLabel* label = makeLabel(text, style);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setCursor(Qt::IBeamCursor);
  return label;
}

QLabel* makeSymbol(const QString& name, const QColor& color, int size) {
  auto* label = new QLabel;
  label->setPixmap(symbolPixmap(name, color, size));
  label->setFixedSize(size, size);
  label->setProperty("symbol", name);
  return label;
}

QWidget* makeIconText(const QString& symbol, const QString& text, const QColor& color,
                      TextStyle style, QLabel** label) {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);
  layout->addWidget(makeSymbol(symbol, color, 16), 0, Qt::AlignVCenter);
  QLabel* shown = makeLabel(text, style);
  shown->setWordWrap(false);
  layout->addWidget(shown, 1);
  if (label) *label = shown;
  return row;
}

QFrame* makeCard(QWidget* parent) {
  auto* card = new QFrame(parent);
  shapeAsCard(card);
  return card;
}

QVBoxLayout* shapeAsCard(QFrame* frame) {
  frame->setProperty("card", true);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(18, 16, 18, 16);
  layout->setSpacing(10);
  return layout;
}

QWidget* makeTitleBlock(const QString& line, const QString& headline, const QString& sentence) {
  auto* block = new QWidget;
  auto* layout = new QVBoxLayout(block);
  layout->setContentsMargins(0, 0, 0, 4);
  layout->setSpacing(4);
  // The line reads as written; spacing and colour set it apart from the headline.
  QLabel* small = makeLabel(line, TextStyle::small);
  small->setObjectName("titleLine");
  QFont spaced = small->font();
  spaced.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
  small->setFont(spaced);
  layout->addWidget(small);
  layout->addWidget(makeLabel(headline, TextStyle::headline));
  layout->addWidget(makeLabel(sentence, TextStyle::secondary));
  return block;
}

QPushButton* makeProminentButton(const QString& text, const QString& symbol) {
  auto* button = new QPushButton(text);
  button->setProperty("kind", "prominent");
  if (!symbol.isEmpty()) {
    button->setIcon(symbolIcon(symbol, onAccentColor(true), onAccentColor(false)));
  }
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

QPushButton* makeButton(const QString& text, const QString& symbol) {
  auto* button = new QPushButton(text);
  if (!symbol.isEmpty()) button->setIcon(symbolIcon(symbol, QColor(232, 237, 243)));
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

QPushButton* makeLinkButton(const QString& text, bool destructive) {
  auto* button = new QPushButton(text);
  button->setProperty("kind", "link");
  button->setProperty("destructive", destructive);
  button->setCursor(Qt::PointingHandCursor);
  button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  return button;
}

}  // namespace vek::desktop::widgets
