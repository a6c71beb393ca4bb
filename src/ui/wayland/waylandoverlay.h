#pragma once

#include "ui/overlaypanelcontroller.h"

#include <memory>

class QWidget;

// The overlay's place in a Wayland session: a surface of the compositor's top layer where it offers
// one (it never takes the keyboard focus), otherwise the panel's own window with the focus given
// back where the compositor lists its windows, otherwise an X11 window under Xwayland that refuses
// the focus (GNOME), otherwise the desktop's notifications. Null outside Wayland.
std::unique_ptr<OverlaySurface> makeWaylandOverlaySurface(QWidget *panel);
