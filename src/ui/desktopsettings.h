#pragma once

namespace DesktopSettings {

// Opens the desktop's accessibility settings where the desktop is known (GNOME,
// KDE Plasma); elsewhere there is no standard page, so nothing happens.
// Returns whether a settings program was started.
bool openAccessibilitySettings();

} // namespace DesktopSettings
