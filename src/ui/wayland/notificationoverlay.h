#pragma once

#include "ui/overlaypanelcontroller.h"

#include <QDBusConnection>
#include <QObject>

class QWidget;

// The overlay where no window of it could stay out of the user's way (a Wayland desktop without a
// layer shell, a window list or an X display, where the panel's own window would take the focus
// and the text would land nowhere): the panel's state goes to the desktop's notifications instead,
// one notification updated in place, and the panel itself is never shown.
class NotificationOverlay final : public QObject, public OverlaySurface {
public:
    explicit NotificationOverlay(QWidget *panel, QDBusConnection bus = QDBusConnection::sessionBus());
    ~NotificationOverlay() override;

    bool drawsPanel() const override { return true; }
    void show(PanelClicks clicks) override;
    void hide() override;

private:
    void send();

    QWidget *m_panel;
    QDBusConnection m_bus;
    // The desktop's number for the notification shown, to replace or close it; 0 for none.
    uint m_shown = 0;
    QString m_lastText; // empty while hidden
    bool m_inFlight = false; // a Notify not answered yet
    bool m_resend = false; // the panel changed meanwhile
};
