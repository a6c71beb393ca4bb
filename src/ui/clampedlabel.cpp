#include "ui/clampedlabel.h"

#include <QPainter>
#include <QTextLayout>

#include <cmath>

using namespace Qt::StringLiterals;

ClampedLabel::ClampedLabel(int maximumLines, QWidget *parent)
    : QLabel(parent)
    , m_maximumLines(std::max(1, maximumLines))
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
}

QStringList ClampedLabel::linesForWidth(qreal width) const
{
    QStringList lines;
    const QString content = text();
    if (content.isEmpty() || width <= 0)
        return lines;

    // QTextLayout treats U+2028 as a forced break; plain newlines are not.
    QString laidOut = content;
    laidOut.replace(u'\n', QChar::LineSeparator);
    QTextLayout layout(laidOut, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<QPair<int, int>> ranges;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        ranges.append({ line.textStart(), line.textLength() });
    }
    layout.endLayout();

    for (qsizetype i = 0; i < ranges.size() && i < m_maximumLines; ++i) {
        const bool lastShown = i == m_maximumLines - 1 && ranges.size() > m_maximumLines;
        if (lastShown) {
            // The rest of the text on one line, cut with an ellipsis; a forced break
            // right here still gets one, so hidden text never goes unmarked.
            const QString rest = content.mid(ranges[i].first).replace(u'\n', u' ').simplified();
            QString elided = fontMetrics().elidedText(rest, Qt::ElideRight, int(width));
            if (elided == rest)
                elided = content.mid(ranges[i].first, ranges[i].second).trimmed() + u'…';
            lines.append(elided);
        } else {
            lines.append(content.mid(ranges[i].first, ranges[i].second).trimmed());
        }
    }
    return lines;
}

QStringList ClampedLabel::visibleLines() const { return linesForWidth(contentsRect().width()); }

int ClampedLabel::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    const qsizetype lines = std::max<qsizetype>(1, linesForWidth(width - margins.left() - margins.right()).size());
    return int(std::ceil(lines * QFontMetricsF(font()).lineSpacing())) + margins.top() + margins.bottom();
}

QSize ClampedLabel::sizeHint() const
{
    const int width = QLabel::sizeHint().width();
    return { width, heightForWidth(width) };
}

QSize ClampedLabel::minimumSizeHint() const { return { 0, heightForWidth(std::max(1, width())) }; }

void ClampedLabel::setPlate(const QColor &fill, const QColor &border, qreal radius)
{
    m_plateFill = fill;
    m_plateBorder = border;
    m_plateRadius = radius;
    update();
}

void ClampedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_plateFill.isValid()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(m_plateBorder.isValid() ? QPen(m_plateBorder, 1.0) : QPen(Qt::NoPen));
        painter.setBrush(m_plateFill);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_plateRadius, m_plateRadius);
    }
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    const QRectF area = contentsRect();
    const qreal lineSpacing = QFontMetricsF(font()).lineSpacing();
    const Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
    qreal y = area.top();
    for (const QString &line : visibleLines()) {
        painter.drawText(QRectF(area.left(), y, area.width(), lineSpacing), int(horizontal | Qt::AlignTop), line);
        y += lineSpacing;
    }
}
