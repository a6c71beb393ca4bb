#pragma once

#include "ui/overlaypanelcontroller.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <memory>

class QSocketNotifier;
class QWidget;

// The overlay on a Wayland desktop without a layer shell (GNOME): an X11 window under Xwayland,
// on a connection of its own, that does not accept the focus. mutter focuses a Wayland window
// when it maps, but leaves the focus where it is for such an X11 window (measured on mutter 43),
// and it stays clickable. The panel is drawn into it; presses go to the widget under the pointer,
// and Copy makes the window the CLIPBOARD owner, which mutter hands on to Wayland clients.
class XwaylandOverlay final : public QObject, public OverlaySurface {
public:
    // Null where DISPLAY names no X server to connect to.
    static std::unique_ptr<XwaylandOverlay> make(QWidget *panel);
    ~XwaylandOverlay() override;

    bool drawsPanel() const override { return true; }
    void show(PanelClicks clicks) override;
    void hide() override;
    bool copyText(const QString &text) override;

    struct X11;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    XwaylandOverlay(QWidget *panel, std::unique_ptr<X11> x11);
    void render();
    void readEvents();
    // `type`: QEvent::MouseButtonPress or QEvent::MouseButtonRelease of the left button.
    void press(QPoint position, QEvent::Type type);

    QWidget *m_panel;
    std::unique_ptr<X11> m_x11;
    std::unique_ptr<QSocketNotifier> m_events;
    QByteArray m_copied;
    bool m_shown = false;
    PanelClicks m_clicks = PanelClicks::passThrough;
    bool m_renderQueued = false;
    QPointer<QWidget> m_pressed;
};
