#include "ui/wayland/focusreturningoverlay.h"

#include "core/logging.h"
#include "platform/wayland/waylandtoplevels.h"

#include <QWidget>

using namespace std::chrono_literals;

FocusReturningOverlay::FocusReturningOverlay(QWidget *panel, std::unique_ptr<WaylandToplevels> toplevels)
    : m_panel(panel)
    , m_toplevels(std::move(toplevels))
{
    m_watch.setInterval(50ms);
    connect(&m_watch, &QTimer::timeout, this, &FocusReturningOverlay::watchFocus);
}

FocusReturningOverlay::~FocusReturningOverlay() = default;

void FocusReturningOverlay::show(PanelClicks)
{
    if (!m_shown)
        m_previous.reset();
    m_shown = true;
    // The compositor may focus the window whenever it maps or changes it: watched while it shows.
    watchFocus();
    if (!m_watch.isActive())
        m_watch.start();
}

void FocusReturningOverlay::hide()
{
    m_shown = false;
    m_watch.stop();
}

void FocusReturningOverlay::watchFocus()
{
    const std::optional<WaylandToplevels::TopLevel> active = m_toplevels->activeWindow();
    if (!active)
        return;
    if (active->title != m_panel->windowTitle()) {
        // The window the user is in, for as long as the panel shows.
        m_previous = active->id;
    } else if (m_previous && !m_toplevels->activate(*m_previous)) {
        qCWarning(lcUI) << "overlay: the focus cannot be given back";
        m_previous.reset();
    }
}
