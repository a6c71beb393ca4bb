#pragma once

#include "ui/overlaypanelcontroller.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class QWidget;
class WaylandToplevels;

// The panel stays a window of its own; when the compositor hands it the keyboard focus, the focus
// goes back to the window the user was in.
class FocusReturningOverlay final : public QObject, public OverlaySurface {
public:
    FocusReturningOverlay(QWidget *panel, std::unique_ptr<WaylandToplevels> toplevels);
    ~FocusReturningOverlay() override;

    bool drawsPanel() const override { return false; }
    void show(PanelClicks clicks) override;
    void hide() override;

private:
    void watchFocus();

    QWidget *m_panel;
    std::unique_ptr<WaylandToplevels> m_toplevels;
    std::optional<qint64> m_previous;
    bool m_shown = false;
    QTimer m_watch;
};
