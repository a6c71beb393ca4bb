#include "ui/accessibilitypermissionwatcher.h"

using namespace std::chrono_literals;

AccessibilityPermissionWatcher::AccessibilityPermissionWatcher(
    AbstractAccessibilityPermission *permission, std::function<bool()> openSettings, QObject *parent)
    : QObject(parent)
    , m_permission(permission)
    , m_openSettings(std::move(openSettings))
{
    m_timer.setInterval(1s);
    connect(&m_timer, &QTimer::timeout, this, &AccessibilityPermissionWatcher::check);
}

bool AccessibilityPermissionWatcher::isGranted() const { return m_permission->isBusEnabled(); }

void AccessibilityPermissionWatcher::watch() { m_timer.start(); }

void AccessibilityPermissionWatcher::request()
{
    if (m_requested)
        m_openSettings();
    m_permission->enableBus();
    m_requested = true;
    watch();
}

void AccessibilityPermissionWatcher::stop()
{
    m_timer.stop();
    m_requested = false;
}

void AccessibilityPermissionWatcher::check()
{
    if (!isGranted())
        return;
    m_timer.stop();
    Q_EMIT granted();
}
