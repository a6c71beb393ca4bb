#pragma once

#include <QLabel>

// A plain-text, word-wrapping label that shows at most a given number of lines;
// text beyond them ends in an ellipsis on the last line.
class ClampedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClampedLabel(int maximumLines, QWidget *parent = nullptr);

    int maximumLines() const { return m_maximumLines; }
    // The lines as they are drawn at the current width, after clamping.
    QStringList visibleLines() const;
    // Height that shows the text at `width` (contents margins included), at most maximumLines lines.
    int heightForWidth(int width) const override;
    bool hasHeightForWidth() const override { return true; }
    // Draws a rounded plate behind the text (a read-only field look).
    void setPlate(const QColor &fill, const QColor &border, qreal radius);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QStringList linesForWidth(qreal width) const;

    int m_maximumLines;
    QColor m_plateFill;
    QColor m_plateBorder;
    qreal m_plateRadius = 0;
};
