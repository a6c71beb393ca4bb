#pragma once

#include "core/enums.h"

#include <QColor>
#include <QIcon>
#include <QString>

#include <functional>

class QMenu;

// The tray icon's look and its menu for each dictation state.
namespace StatusMenu {

inline constexpr QStringView toolTip = u"Ворсик — диктовка по Fn";

// What one state shows: a freedesktop icon name, the title beside it and whether
// it is tinted with the alert red rather than the label colour.
struct Appearance {
    QString iconName;
    QString title;
    bool alert = false;
};

Appearance appearance(DictationState state);

QColor alertRed();

// What the tray ends up showing for one appearance.
struct Icon {
    QIcon icon;
    bool hasImage = false; // the theme had the named icon
    QString title; // the theme icon's title, or "🎤" and the title when drawn
};

using IconLookup = std::function<QIcon(const QString &name)>;
// QIcon::fromTheme, or a null icon when the theme lacks the name.
QIcon themeIcon(const QString &name);

// The theme's icon tinted with `tint` (as it is when `tint` is invalid: symbolic icons
// follow the panel's own colours), or, when the theme lacks it, a drawn icon carrying
// "🎤" and the title.
Icon makeIcon(const QString &iconName, const QString &title, const QColor &tint, const IconLookup &lookup);

struct Handlers {
    std::function<void()> toggle;
    std::function<void()> showLastText;
    std::function<void()> openSettings;
    std::function<void()> requestAccessibility;
    std::function<void()> quit;
};

// Whether there is a last text for the menu to show again.
enum class LastText { none, kept };

// Empties `menu` and fills it for `state`; each item is enabled exactly by its rule.
void build(QMenu &menu, DictationState state, LastText lastText, const Handlers &handlers);

} // namespace StatusMenu
