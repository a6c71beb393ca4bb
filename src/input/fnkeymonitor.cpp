#include "input/fnkeymonitor.h"

#include "input/evdev/evdevfnkeysource.h"
#include "input/portal/portalshortcutsource.h"

FnKeyMonitor::FnKeyMonitor(Action action, QObject *parent)
    : QObject(parent)
    , m_action(std::move(action))
{
}

std::unique_ptr<FnKeyMonitor> FnKeyMonitor::withSystemKeyboards(
    Action action, std::function<void(const QString &)> onUnavailable, std::function<void(DictationTrigger)> onTrigger)
{
    auto monitor = std::make_unique<FnKeyMonitor>(std::move(action));
    if (onUnavailable)
        connect(monitor.get(), &FnKeyMonitor::keyboardUnavailable, monitor.get(), std::move(onUnavailable));
    if (onTrigger)
        connect(monitor.get(), &FnKeyMonitor::triggerChanged, monitor.get(), std::move(onTrigger));
    // The desktop's own shortcut first where it has one: it needs no access to every keystroke. On a
    // connection of its own, so that naming the application to the portal comes before any other call.
    monitor->addSource(std::make_unique<PortalShortcutSource>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("verbulo-shortcut-portal"))));
    monitor->addSource(std::make_unique<EvdevFnKeySource>());
    return monitor;
}

void FnKeyMonitor::addSource(std::unique_ptr<FnKeySource> source)
{
    FnKeySource *raw = source.release();
    raw->setParent(this);
    const qsizetype index = m_sources.size();
    m_sources.append(SourceState { raw->kind() });
    connect(raw, &FnKeySource::fnStateChanged, this, &FnKeyMonitor::handleFnState);
    connect(raw, &FnKeySource::observing, this, [this, index] {
        m_sources[index].answered = m_sources[index].observing = true;
        settle();
    });
    connect(raw, &FnKeySource::unavailable, this, [this, index](const QString &description) {
        m_sources[index].answered = true;
        if (m_unavailableDescription.isEmpty())
            m_unavailableDescription = description;
        settle();
    });
    raw->start();
}

void FnKeyMonitor::settle()
{
    bool fnKey = false, desktopShortcut = false;
    for (const SourceState &source : std::as_const(m_sources)) {
        if (!source.answered)
            return;
        fnKey |= source.observing && source.kind == FnKeySource::Kind::fnKey;
        desktopShortcut |= source.observing && source.kind == FnKeySource::Kind::desktopShortcut;
    }
    // The desktop's shortcut is named first: where it is bound, it is the way the user chose.
    const DictationTrigger trigger = desktopShortcut ? DictationTrigger::desktopShortcut
        : fnKey                                      ? DictationTrigger::fnKey
                                                     : DictationTrigger::toggleCommand;
    if (trigger == DictationTrigger::toggleCommand && !m_toldUnavailable) {
        m_toldUnavailable = true;
        Q_EMIT keyboardUnavailable(m_unavailableDescription);
    }
    if (m_trigger != trigger) {
        m_trigger = trigger;
        Q_EMIT triggerChanged(trigger);
    }
}

void FnKeyMonitor::handleFnState(bool fnIsDown)
{
    if (fnIsDown == m_fnIsDown)
        return; // Fn still held while something else changed, or still up
    m_fnIsDown = fnIsDown;
    if (fnIsDown && m_action)
        m_action();
}
