#pragma once

#include "ui/overlaypanelcontroller.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <memory>

class QWidget;
class WaylandClipboard;
class WaylandConnection;

// The panel drawn into shared-memory buffers of a layer surface on the program's own connection;
// presses of the pointer on it go to the widget under the pointer.
class LayerShellOverlay final : public QObject, public OverlaySurface {
public:
    LayerShellOverlay(QWidget *panel, std::shared_ptr<WaylandConnection> connection);
    ~LayerShellOverlay() override;

    bool drawsPanel() const override { return true; }
    void show(PanelClicks clicks) override;
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
    // `type`: QEvent::MouseButtonPress or QEvent::MouseButtonRelease of the left button.
    void press(QPointF position, QEvent::Type type);

    QWidget *m_panel;
    std::shared_ptr<WaylandConnection> m_connection;
    std::shared_ptr<State> m_state;
    std::unique_ptr<WaylandClipboard> m_clipboard;
    bool m_shown = false;
    PanelClicks m_clicks = PanelClicks::passThrough;
    bool m_renderQueued = false;
    int m_framesDrawn = 0;
    QElapsedTimer m_sinceRender;
    QPointer<QWidget> m_pressed;
};
