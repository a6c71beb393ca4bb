#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;
class QPalette;
class QWidget;

// The walkthrough window's look, shared by its controller and its model page.
namespace OnboardingStyle {

// Text under the title: the window's text colour, lighter.
QColor secondaryText(const QPalette &palette);
// A refusal or a failure.
inline QColor errorText() { return QColor(192, 28, 40); }
void setTextColour(QWidget *widget, const QColor &colour);
// A centred, wrapping plain-text label.
QLabel *makeLabel(const QString &name, const QFont &font, QWidget *parent);

} // namespace OnboardingStyle
