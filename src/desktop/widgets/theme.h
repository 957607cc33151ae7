// The app's look: the dark appearance, the two shared colours, and the small building blocks
// every screen is made of (title blocks, cards, symbol labels).
//
// Screens compose these rather than styling widgets one by one, so the cards line up and every
// text has the same contrast on every screen.
#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <string>

class QApplication;
class QLayout;
class QBoxLayout;
class QVBoxLayout;

namespace vek::desktop::widgets {

/// The accent colour, sRGB (0.36, 0.82, 0.89).
QColor accentColor();
/// The panel colour behind cards, sRGB (0.075, 0.105, 0.16).
QColor panelColor();
/// Errors and failed jobs.
QColor orangeColor();
/// Secondary text on the dark background.
QColor secondaryColor();
/// Text and symbols on an accent-coloured button, enabled or disabled.
QColor onAccentColor(bool enabled);

/// Dark palette and style sheet for the whole application.
void applyTheme(QApplication& application);

/// A std::string (UTF-8) as a QString.
inline QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

/// Text kinds of the style sheet.
enum class TextStyle { body, secondary, small, title, headline, caption, orange, onAccent };
QLabel* makeLabel(const QString& text, TextStyle style = TextStyle::body,
                  QWidget* parent = nullptr);
/// Text the user can select with the mouse and copy.
QLabel* makeSelectable(const QString& text, TextStyle style = TextStyle::body);
/// A symbol as a fixed-size picture.
QLabel* makeSymbol(const QString& name, const QColor& color, int size = 18);
/// A symbol followed by a text, in one row; `label`, when given, receives the text's label.
QWidget* makeIconText(const QString& symbol, const QString& text, const QColor& color,
                      TextStyle style = TextStyle::body, QLabel** label = nullptr);
/// A rounded panel for one group of controls; its layout is a vertical box.
QFrame* makeCard(QWidget* parent = nullptr);
/// Gives `frame` the look and the vertical box layout of a card, and returns the layout.
QVBoxLayout* shapeAsCard(QFrame* frame);
/// The three texts every screen starts with: small line, headline, sentence.
QWidget* makeTitleBlock(const QString& line, const QString& headline, const QString& sentence);
/// A button in the prominent (filled accent) style, optionally with a leading symbol.
QPushButton* makeProminentButton(const QString& text, const QString& symbol = {});
/// A button in the plain bordered style.
QPushButton* makeButton(const QString& text, const QString& symbol = {});
/// A button drawn as a link; destructive links are orange.
QPushButton* makeLinkButton(const QString& text, bool destructive = false);

}  // namespace vek::desktop::widgets
