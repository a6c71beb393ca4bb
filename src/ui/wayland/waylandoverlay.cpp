#include "ui/wayland/waylandoverlay.h"

#include "core/logging.h"
#include "platform/wayland/waylandconnection.h"
#include "platform/wayland/waylandtoplevels.h"
#include "ui/wayland/focusreturningoverlay.h"
#include "ui/wayland/layershelloverlay.h"
#include "ui/wayland/notificationoverlay.h"
#include "ui/wayland/xwaylandoverlay.h"

#include <QGuiApplication>

std::unique_ptr<OverlaySurface> makeWaylandOverlaySurface(QWidget *panel)
{
    if (QGuiApplication::platformName() != u"wayland")
        return nullptr;
    std::shared_ptr<WaylandConnection> connection = WaylandConnection::shared();
    // The variable lets the checks try the window path on a compositor that has both.
    if (connection->offers().layerSurfaces && !qEnvironmentVariableIsSet("VERBULO_NO_LAYER_SHELL"))
        return std::make_unique<LayerShellOverlay>(panel, connection);
    auto toplevels = std::make_unique<WaylandToplevels>(connection);
    if (toplevels->isAvailable())
        return std::make_unique<FocusReturningOverlay>(panel, std::move(toplevels));
    // GNOME: a Wayland window would take the focus and keep it; an X11 one that refuses it does not.
    if (std::unique_ptr<XwaylandOverlay> x11 = XwaylandOverlay::make(panel))
        return x11;
    // A window of the panel's own would take the focus, and the text would land nowhere.
    qCInfo(lcUI) << "overlay: no layer shell, no window list and no Xwayland: the state goes to notifications";
    return std::make_unique<NotificationOverlay>(panel);
}
