#include "ui/mascotview.h"

#include <QPainter>
#include <QPainterPath>
#include <QSequentialAnimationGroup>
#include <QVariantAnimation>

MascotView::MascotView(qreal cornerRadius, QWidget *parent)
    : QWidget(parent)
    , m_cornerRadius(cornerRadius)
{
    setObjectName(QStringLiteral("mascotView"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(&m_timer, &QTimer::timeout, this, &MascotView::advanceFrame);
}

void MascotView::play(QList<MascotFrame> frames, std::chrono::milliseconds interval)
{
    m_timer.stop();
    m_frames = std::move(frames);
    m_index = 0;
    m_current = m_frames.isEmpty() ? MascotFrame {} : m_frames.first();
    if (m_frames.size() >= 2) {
        m_timer.setInterval(interval);
        m_timer.start();
    }
    update();
}

void MascotView::stop()
{
    m_timer.stop();
    m_frames.clear();
    if (m_breathing) {
        m_breathing->stop();
        delete m_breathing;
    }
    m_scale = 1.0;
    update();
}

void MascotView::startBreathing()
{
    if (m_breathing)
        return;
    auto *group = new QSequentialAnimationGroup(this);
    const auto addLeg = [this, group](qreal from, qreal to) {
        auto *leg = new QVariantAnimation(group);
        leg->setStartValue(from);
        leg->setEndValue(to);
        leg->setDuration(900);
        leg->setEasingCurve(QEasingCurve::InOutSine);
        connect(leg, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
            m_scale = value.toReal();
            update();
        });
        group->addAnimation(leg);
    };
    addLeg(0.985, 1.025);
    addLeg(1.025, 0.985);
    group->setLoopCount(-1);
    m_breathing = group;
    group->start();
}

bool MascotView::isBreathing() const { return m_breathing && m_breathing->state() == QAbstractAnimation::Running; }

void MascotView::advanceFrame()
{
    if (m_frames.isEmpty())
        return;
    m_index = (m_index + 1) % m_frames.size();
    m_current = m_frames.at(m_index);
    update();
}

void MascotView::paintEvent(QPaintEvent *)
{
    if (m_current.pixmap.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), m_cornerRadius, m_cornerRadius);
    painter.setClipPath(clip);

    // Fit proportionally, then breathe around the centre.
    const QSizeF imageSize = m_current.pixmap.deviceIndependentSize();
    QSizeF fitted = imageSize.scaled(QSizeF(size()), Qt::KeepAspectRatio) * m_scale;
    const QRectF target(QPointF(width() - fitted.width(), height() - fitted.height()) / 2.0, fitted);
    painter.drawPixmap(target, m_current.pixmap, QRectF(QPointF(0, 0), QSizeF(m_current.pixmap.size())));
}
