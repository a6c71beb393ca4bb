#include "fnkeymonitor.h"

#include "evdevfnkeysource.h"
#include "portalshortcutsource.h"

FnKeyMonitor::FnKeyMonitor(Action action, QObject *parent)
    : QObject(parent)
    , m_action(std::move(action))
{
}

std::unique_ptr<FnKeyMonitor> FnKeyMonitor::withSystemKeyboards(
    Action action, std::function<void(const QString &)> onUnavailable)
{
    auto monitor = std::make_unique<FnKeyMonitor>(std::move(action));
    if (onUnavailable)
        connect(monitor.get(), &FnKeyMonitor::keyboardUnavailable, monitor.get(), std::move(onUnavailable));
    // The desktop's own shortcut first where it has one: it needs no access to every keystroke.
    monitor->addSource(std::make_unique<PortalShortcutSource>());
    monitor->addSource(std::make_unique<EvdevFnKeySource>());
    return monitor;
}

void FnKeyMonitor::addSource(std::unique_ptr<FnKeySource> source)
{
    FnKeySource *raw = source.release();
    raw->setParent(this);
    connect(raw, &FnKeySource::fnStateChanged, this, &FnKeyMonitor::handleFnState);
    connect(raw, &FnKeySource::unavailable, this, &FnKeyMonitor::keyboardUnavailable);
    raw->start();
}

void FnKeyMonitor::handleFnState(bool fnIsDown)
{
    if (fnIsDown == m_fnIsDown)
        return; // Fn still held while something else changed, or still up
    m_fnIsDown = fnIsDown;
    if (fnIsDown && m_action)
        m_action();
}
