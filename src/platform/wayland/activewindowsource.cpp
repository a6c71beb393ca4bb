#include "platform/wayland/activewindowsource.h"

#include "platform/wayland/kwinactivewindow.h"
#include "platform/wayland/waylandconnection.h"
#include "platform/wayland/waylandtoplevels.h"

#include <QDBusConnection>

std::unique_ptr<ActiveWindowSource> ActiveWindowSource::forSession()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return nullptr;
    auto toplevels = std::make_unique<WaylandToplevels>(WaylandConnection::shared());
    // KWin 5 lists its windows to no other program; a script of its own tells us instead.
    if (toplevels->isAvailable() || !KWinActiveWindow::isKWinSession(QDBusConnection::sessionBus()))
        return toplevels;
    return std::make_unique<KWinActiveWindow>(QDBusConnection::sessionBus());
}

std::optional<qint64> ActiveWindowSource::activeWindowId(const std::optional<QString> &title) const
{
    const std::optional<Window> active = activeWindow();
    if (!active || !title || active->title.trimmed() != title->trimmed())
        return std::nullopt;
    return active->id;
}
