#pragma once

#include "overlaypanelcontroller.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>

class QWidget;
class WaylandClipboard;
class WaylandConnection;
class WaylandToplevels;

// The overlay's place in a Wayland session: a surface of the compositor's top layer where it offers
// one (it never takes the keyboard focus), otherwise the panel's own window with the focus given
// back where the compositor lists its windows, otherwise an X11 window under Xwayland that refuses
// the focus (GNOME), otherwise the desktop's notifications. Null outside Wayland.
std::unique_ptr<OverlaySurface> makeWaylandOverlaySurface(QWidget *panel);

// The panel drawn into shared-memory buffers of a layer surface on the program's own connection;
// presses of the pointer on it go to the widget under the pointer.
class LayerShellOverlay final : public QObject, public OverlaySurface {
public:
    LayerShellOverlay(QWidget *panel, std::shared_ptr<WaylandConnection> connection);
    ~LayerShellOverlay() override;

    bool drawsPanel() const override { return true; }
    void show(bool takesClicks) override;
    void hide() override;
    bool copyText(const QString &text) override;

    // Panel images handed to the compositor so far.
    int framesDrawn() const { return m_framesDrawn; }

    struct State;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void scheduleRender();
    void render();
    void press(QPointF position, bool pressed);

    QWidget *m_panel;
    std::shared_ptr<WaylandConnection> m_connection;
    std::shared_ptr<State> m_state;
    std::unique_ptr<WaylandClipboard> m_clipboard;
    bool m_shown = false;
    bool m_takesClicks = false;
    bool m_renderQueued = false;
    int m_framesDrawn = 0;
    QElapsedTimer m_sinceRender;
    QPointer<QWidget> m_pressed;
};

// The panel stays a window of its own; when the compositor hands it the keyboard focus, the focus
// goes back to the window the user was in.
class FocusReturningOverlay final : public QObject, public OverlaySurface {
public:
    FocusReturningOverlay(QWidget *panel, std::unique_ptr<WaylandToplevels> toplevels);
    ~FocusReturningOverlay() override;

    bool drawsPanel() const override { return false; }
    void show(bool takesClicks) override;
    void hide() override;

private:
    void watchFocus();

    QWidget *m_panel;
    std::unique_ptr<WaylandToplevels> m_toplevels;
    std::optional<qint64> m_previous;
    bool m_shown = false;
    QTimer m_watch;
};
