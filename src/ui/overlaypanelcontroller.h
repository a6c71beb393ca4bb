#pragma once

#include "core/abstractoverlay.h"
#include "ui/mascotframes.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

class ClampedLabel;
class MascotView;
class QPushButton;
class QWidget;

// A place for the panel that the desktop's own window rules would not give it (the compositor's
// top layer on Wayland), or help for the window those rules make of it.
// Whether the panel takes the pointer's clicks (while a result with its buttons shows) or lets
// them through to the window underneath.
enum class PanelClicks { passThrough, taken };

class OverlaySurface {
public:
    virtual ~OverlaySurface() = default;
    // True when the panel is drawn here and never shown as a window of its own.
    virtual bool drawsPanel() const = 0;
    // Called before the panel is shown or changes form.
    virtual void show(PanelClicks clicks) = 0;
    virtual void hide() = 0;
    // For a clipboard that Qt's own cannot reach (it needs a keyboard focus the panel never has);
    // false leaves the copy to Qt.
    virtual bool copyText(const QString &) { return false; }
};

// The floating panel at the top centre of the screen that accompanies every
// dictation. It never takes the keyboard focus, and while it only shows status it
// lets clicks through to the application underneath.
class OverlayPanelController : public QObject, public AbstractOverlay {
    Q_OBJECT
public:
    static constexpr int panelWidth = 680;
    static constexpr int statusHeight = 104;

    explicit OverlayPanelController(
        QString mascotDirectory = MascotFrames::defaultDirectory(), QObject *parent = nullptr);
    ~OverlayPanelController() override;

    void showConnecting() override;
    void showListening() override;
    void showProcessing(const QString &title) override;
    void showEditing() override;
    void presentResult(const QString &title, const QString &message, const QString &text) override;
    void showMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter) override;
    void setTranscriptText(const QString &text) override;

    // Shows a message without touching the result area or the size; with
    // `hideAfter` the panel hides itself unless another call comes first.
    void present(const QString &title, const QString &transcript, MascotState mascot,
        std::optional<std::chrono::milliseconds> hideAfter);
    void resizeAndPosition(int height);
    void hide();
    void copyDisplayedText();
    void closePanel() { hide(); }

    // Made for the panel by the platform's code; null keeps the panel a window of its own.
    void setSurface(std::unique_ptr<OverlaySurface> surface);

    QWidget *panel() const;
    PanelClicks clicks() const { return m_clicks; }
    bool hasPendingHide() const { return m_hideTimer.isActive(); }

private:
    void showStatus(const QString &title, const QString &detail, MascotState mascot);
    void setClicks(PanelClicks clicks);
    void setResultAreaVisible(bool visible);
    void setTexts(const QString &title, const QString &detail);
    void layoutTexts();
    void configureMascot(MascotState state);
    void scheduleHide(std::chrono::milliseconds delay);
    void bringToFront();

    std::unique_ptr<QWidget> m_panel;
    std::unique_ptr<OverlaySurface> m_surface;
    MascotView *m_mascotView = nullptr;
    ClampedLabel *m_titleLabel = nullptr;
    ClampedLabel *m_transcriptLabel = nullptr;
    QWidget *m_resultContainer = nullptr;
    ClampedLabel *m_resultLabel = nullptr;
    QPushButton *m_copyButton = nullptr;
    QPushButton *m_closeButton = nullptr;
    int m_titleLeading = 22;
    std::array<QList<MascotFrame>, 6> m_frames; // indexed by MascotState
    QTimer m_hideTimer;
    QString m_displayedText;
    PanelClicks m_clicks = PanelClicks::passThrough;
};
