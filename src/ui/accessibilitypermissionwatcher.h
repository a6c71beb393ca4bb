#pragma once

#include "core/abstractaccessibilitypermission.h"

#include <QObject>
#include <QTimer>

#include <functional>

// The walkthrough's accessibility page waits for the accessibility bus to be switched on, which
// the user may do in the desktop's settings at any moment: the state is read once a second while
// the page waits, and `granted` tells the page to move on.
class AccessibilityPermissionWatcher : public QObject {
    Q_OBJECT
public:
    // `openSettings` opens the desktop's accessibility settings where it can.
    AccessibilityPermissionWatcher(
        AbstractAccessibilityPermission *permission, std::function<bool()> openSettings, QObject *parent = nullptr);

    bool isGranted() const;
    // Reads the permission once a second until it is granted or stop() comes.
    void watch();
    // The first request asks the system to switch accessibility on; when that did not help, a
    // further one opens the desktop's own settings page, where there is one. Watches meanwhile.
    void request();
    // Stops watching; the next request is a first one again.
    void stop();
    bool isWatching() const { return m_timer.isActive(); }

Q_SIGNALS:
    void granted();

private:
    void check();

    AbstractAccessibilityPermission *m_permission;
    std::function<bool()> m_openSettings;
    QTimer m_timer;
    bool m_requested = false;
};
