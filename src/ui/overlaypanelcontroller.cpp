#include "ui/overlaypanelcontroller.h"
#include "ui/uifont.h"

#include "core/logging.h"
#include "ui/clampedlabel.h"
#include "ui/mascotview.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int topOffset = 28;
constexpr int sideInset = 22;
constexpr int insetBesideMascot = 106;
constexpr int resultSideInset = 18;
constexpr int resultMeasuringWidth = 620;
constexpr int resultLabelPadding = 10; // above and below the text: the +20
constexpr int resultAreaExtra = 42; // the gap and the button row under the label
constexpr int resultPanelExtra = 162; // the status part above and the margin below
constexpr auto copyHideDelay = 900ms;

constexpr std::array allMascotStates { MascotState::searching, MascotState::writing, MascotState::thinking,
    MascotState::editing, MascotState::happy, MascotState::confused };

std::chrono::milliseconds frameInterval(MascotState state)
{
    switch (state) {
    case MascotState::searching:
        return 580ms;
    case MascotState::writing:
        return 360ms;
    case MascotState::thinking:
        return 480ms;
    case MascotState::editing:
        return 440ms;
    case MascotState::happy:
        return 460ms;
    case MascotState::confused:
        return 300ms;
    }
    return 500ms;
}

// The panel's window: a dark, slightly see-through rounded plate. Qt cannot blur
// what lies behind a window, so the HUD look is painted.
class OverlayPanel final : public QWidget {
public:
    OverlayPanel()
        : QWidget(nullptr,
            Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                | Qt::NoDropShadowWindowHint | Qt::WindowTransparentForInput)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFocusPolicy(Qt::NoFocus);
        setWindowTitle(u"Ворсик"_s);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF plate = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(QPen(QColor(255, 255, 255, 34), 1.0));
        painter.setBrush(QColor(28, 28, 33, 236));
        painter.drawRoundedRect(plate, 18, 18);
    }

    // Only reached while the panel takes clicks (a result is shown): drag to move, where it is a
    // window of its own.
    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && windowHandle() && !testAttribute(Qt::WA_DontShowOnScreen))
            windowHandle()->startSystemMove();
    }
};

QPushButton *makeButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(systemFont(13, QFont::Medium));
    button->setFixedHeight(28);
    button->setStyleSheet(u"QPushButton { color: rgba(255,255,255,235); background: rgba(255,255,255,30);"
                          " border: 1px solid rgba(255,255,255,45); border-radius: 7px; padding: 0 16px; }"
                          " QPushButton:hover { background: rgba(255,255,255,48); }"
                          " QPushButton:pressed { background: rgba(255,255,255,20); }"_s);
    return button;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

} // namespace

OverlayPanelController::OverlayPanelController(QString mascotDirectory, QObject *parent)
    : QObject(parent)
    , m_panel(std::make_unique<OverlayPanel>())
{
    m_panel->resize(panelWidth, statusHeight);

    m_mascotView = new MascotView(14, m_panel.get());
    m_mascotView->setGeometry(16, 14, 76, 76);
    m_mascotView->hide();

    m_titleLabel = new ClampedLabel(1, m_panel.get());
    m_titleLabel->setObjectName(u"titleLabel"_s);
    m_titleLabel->setFont(systemFont(15, QFont::DemiBold));
    setTextColor(m_titleLabel, QColor(255, 255, 255, 242));

    m_transcriptLabel = new ClampedLabel(3, m_panel.get());
    m_transcriptLabel->setObjectName(u"transcriptLabel"_s);
    m_transcriptLabel->setFont(systemFont(13));
    setTextColor(m_transcriptLabel, QColor(255, 255, 255, 158));

    m_resultContainer = new QWidget(m_panel.get());
    m_resultContainer->setObjectName(u"resultContainer"_s);
    m_resultContainer->hide();

    m_resultLabel = new ClampedLabel(4, m_resultContainer);
    m_resultLabel->setPlate(QColor(0, 0, 0, 90), QColor(255, 255, 255, 22), 7);
    m_resultLabel->setObjectName(u"resultLabel"_s);
    m_resultLabel->setFont(systemFont(14));
    m_resultLabel->setContentsMargins(12, resultLabelPadding, 12, resultLabelPadding);
    setTextColor(m_resultLabel, QColor(255, 255, 255, 235));

    auto *buttonRow = new QWidget(m_resultContainer);
    buttonRow->setObjectName(u"buttonRow"_s);
    auto *buttons = new QHBoxLayout(buttonRow);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    buttons->addStretch(1);
    m_copyButton = makeButton(u"Скопировать"_s, buttonRow);
    m_copyButton->setObjectName(u"copyButton"_s);
    m_closeButton = makeButton(u"Закрыть"_s, buttonRow);
    m_closeButton->setObjectName(u"closeButton"_s);
    buttons->addWidget(m_copyButton, 0, Qt::AlignVCenter);
    buttons->addWidget(m_closeButton, 0, Qt::AlignVCenter);
    connect(m_copyButton, &QPushButton::clicked, this, &OverlayPanelController::copyDisplayedText);
    connect(m_closeButton, &QPushButton::clicked, this, &OverlayPanelController::closePanel);

    for (MascotState state : allMascotStates)
        m_frames[size_t(state)] = MascotFrames::load(mascotDirectory, state);

    m_hideTimer.setSingleShot(true);
    connect(&m_hideTimer, &QTimer::timeout, this, &OverlayPanelController::hide);

    layoutTexts();
}

OverlayPanelController::~OverlayPanelController()
{
    // The surface watches the panel: it goes first.
    m_surface.reset();
}

void OverlayPanelController::setSurface(std::unique_ptr<OverlaySurface> surface)
{
    m_panel->hide();
    m_surface = std::move(surface);
    // Shown for the widgets' sake (they paint and take events only then), drawn by the surface.
    m_panel->setAttribute(Qt::WA_DontShowOnScreen, m_surface && m_surface->drawsPanel());
}

QWidget *OverlayPanelController::panel() const { return m_panel.get(); }

void OverlayPanelController::showConnecting()
{
    showStatus(u"Ищу ручку…"_s, u"Ворсик ищет ручку"_s, MascotState::searching);
}

void OverlayPanelController::showListening()
{
    showStatus(
        u"Говорите — нажмите Fn второй раз, когда закончите"_s, u"Ворсик слушает и записывает"_s, MascotState::writing);
}

void OverlayPanelController::showProcessing(const QString &title)
{
    showStatus(title, u"Ворсик думает…"_s, MascotState::thinking);
}

void OverlayPanelController::showEditing()
{
    showStatus(u"Ворсик редактирует текст…"_s, u"Проверяет текст и вносит исправления"_s, MascotState::editing);
}

void OverlayPanelController::showStatus(const QString &title, const QString &detail, MascotState mascot)
{
    setResultAreaVisible(false);
    setClicks(PanelClicks::passThrough);
    resizeAndPosition(statusHeight);
    m_hideTimer.stop();
    setTexts(title, detail);
    configureMascot(mascot);
    bringToFront();
}

void OverlayPanelController::showMessage(
    const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter)
{
    setResultAreaVisible(false);
    setClicks(PanelClicks::passThrough);
    resizeAndPosition(statusHeight);
    present(title, detail, tone == MessageTone::success ? MascotState::happy : MascotState::confused,
        hideAfter > 0ms ? std::optional(hideAfter) : std::nullopt);
}

void OverlayPanelController::present(const QString &title, const QString &transcript, MascotState mascot,
    std::optional<std::chrono::milliseconds> hideAfter)
{
    m_hideTimer.stop();
    setTexts(title, transcript);
    configureMascot(mascot);
    bringToFront();
    if (hideAfter)
        scheduleHide(*hideAfter);
}

void OverlayPanelController::presentResult(const QString &title, const QString &message, const QString &text)
{
    m_displayedText = text;
    m_resultLabel->setText(text);

    // The label grows with the text, from one line to four, measured as it is drawn.
    const QFontMetricsF metrics(m_resultLabel->font());
    const qreal lineHeight = metrics.lineSpacing();
    const QRectF bounds
        = metrics.boundingRect(QRectF(0, 0, resultMeasuringWidth, 1e6), Qt::TextWordWrap | Qt::AlignLeft, text);
    int height = int(std::ceil(bounds.height())) + 2 * resultLabelPadding;
    height = std::max(height, int(std::ceil(lineHeight)) + 2 * resultLabelPadding);
    height = std::min(height, int(std::ceil(4 * lineHeight)) + 2 * resultLabelPadding);

    m_resultContainer->setGeometry(
        resultSideInset, statusHeight, panelWidth - 2 * resultSideInset, height + resultAreaExtra);
    m_resultLabel->setGeometry(0, 0, m_resultContainer->width(), height);
    if (auto *row = m_resultContainer->findChild<QWidget *>(u"buttonRow"_s))
        row->setGeometry(0, height + 10, m_resultContainer->width(), 32);

    setResultAreaVisible(true);
    // Sized first: the window's input area is taken from its size when clicks are switched on.
    resizeAndPosition(height + resultPanelExtra);
    setClicks(PanelClicks::taken);
    m_hideTimer.stop();
    setTexts(title, message);
    configureMascot(MascotState::happy);
    bringToFront();
}

void OverlayPanelController::setTranscriptText(const QString &text)
{
    m_transcriptLabel->setText(text);
    layoutTexts();
}

void OverlayPanelController::resizeAndPosition(int height)
{
    m_panel->resize(panelWidth, height);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty())
        screen = QGuiApplication::screens().constFirst();
    if (!screen) {
        qCWarning(lcUI) << "overlay: no screen to place it on";
        return;
    }
    const QRect available = screen->availableGeometry();
    m_panel->move(available.x() + available.width() / 2 - panelWidth / 2, available.y() + topOffset);
}

void OverlayPanelController::hide()
{
    m_hideTimer.stop();
    m_mascotView->stop();
    m_panel->hide();
    if (m_surface)
        m_surface->hide();
}

void OverlayPanelController::copyDisplayedText()
{
    if (m_displayedText.isEmpty())
        return;
    if (!m_surface || !m_surface->copyText(m_displayedText)) {
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(m_displayedText);
    }
    m_titleLabel->setText(u"✓  Текст скопирован"_s);
    scheduleHide(copyHideDelay);
}

void OverlayPanelController::setClicks(PanelClicks clicks)
{
    m_clicks = clicks;
    const bool ignore = clicks == PanelClicks::passThrough;
    // Changed in place: setWindowFlags() would re-create and thereby hide the window.
    Qt::WindowFlags flags = m_panel->windowFlags();
    flags.setFlag(Qt::WindowTransparentForInput, ignore);
    m_panel->overrideWindowFlags(flags);
    if (QWindow *window = m_panel->windowHandle()) {
        // The X11 platform renews the input area only when the flag changes, from
        // the size at that moment: passing through "ignore" first makes it renew
        // when a bigger result follows a smaller one.
        if (!ignore)
            window->setFlags(flags | Qt::WindowTransparentForInput);
        window->setFlags(flags);
    }
    m_panel->setCursor(ignore ? Qt::ArrowCursor : Qt::OpenHandCursor);
}

void OverlayPanelController::setResultAreaVisible(bool visible) { m_resultContainer->setVisible(visible); }

void OverlayPanelController::setTexts(const QString &title, const QString &detail)
{
    m_titleLabel->setText(title);
    m_transcriptLabel->setText(detail);
    layoutTexts();
}

void OverlayPanelController::layoutTexts()
{
    const int width = panelWidth - m_titleLeading - sideInset;
    const int titleHeight = int(std::ceil(QFontMetricsF(m_titleLabel->font()).lineSpacing()));
    m_titleLabel->setGeometry(m_titleLeading, 19, width, titleHeight);
    const int detailTop = 19 + titleHeight + 7;
    m_transcriptLabel->setGeometry(m_titleLeading, detailTop, width, m_transcriptLabel->heightForWidth(width));
}

void OverlayPanelController::configureMascot(MascotState state)
{
    m_mascotView->stop();
    const QList<MascotFrame> &frames = m_frames[size_t(state)];
    m_mascotView->setHidden(frames.isEmpty());
    m_mascotView->play(frames, frameInterval(state));
    if (state == MascotState::happy && !frames.isEmpty())
        m_mascotView->startBreathing();
    m_titleLeading = frames.isEmpty() ? sideInset : insetBesideMascot;
    layoutTexts();
}

void OverlayPanelController::scheduleHide(std::chrono::milliseconds delay)
{
    // The timer belongs to this controller, so a hide never outlives it.
    m_hideTimer.start(delay);
}

void OverlayPanelController::bringToFront()
{
    if (m_surface)
        m_surface->show(m_clicks);
    m_panel->show();
    m_panel->raise();
}
