#pragma once

#include "ui/mascotframes.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <chrono>

class QSequentialAnimationGroup;

// Shows the mascot's frames in turn, scaled into the view with rounded corners,
// and optionally "breathes" (a slow, slight scale up and down).
class MascotView : public QWidget {
    Q_OBJECT
public:
    explicit MascotView(qreal cornerRadius, QWidget *parent = nullptr);

    // Shows the first frame and, with two or more, cycles through them. With no
    // frames the picture is cleared and nothing runs.
    void play(QList<MascotFrame> frames, std::chrono::milliseconds interval);
    // Stops the frame timer and the breathing; the picture on screen stays.
    void stop();
    void startBreathing();

    bool isAnimating() const { return m_timer.isActive(); }
    bool isBreathing() const;
    QString currentFrameName() const { return m_current.name; }
    qreal scale() const { return m_scale; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void advanceFrame();

    qreal m_cornerRadius;
    QList<MascotFrame> m_frames;
    qsizetype m_index = 0;
    MascotFrame m_current;
    QTimer m_timer;
    QPointer<QSequentialAnimationGroup> m_breathing;
    qreal m_scale = 1.0;
};
