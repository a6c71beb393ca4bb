#include "ui/fnkeyboardhintview.h"
#include "ui/uifont.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr qreal keyHeight = 19;
constexpr qreal keyGap = 3;
constexpr qreal bodyPadding = 8;
constexpr qreal bodyHeight = 142;

struct KeySpec {
    QString label;
    qreal factor = 1.0;
    bool highlighted = false;
};

QList<QList<KeySpec>> keyRows()
{
    QList<KeySpec> functionRow { { u"esc"_s, 1.3 } };
    for (int i = 1; i <= 12; ++i)
        functionRow.append({ u"F"_s + QString::number(i) });

    QList<KeySpec> digitRow { { u"§"_s } };
    for (int i = 1; i <= 9; ++i)
        digitRow.append({ QString::number(i) });
    digitRow.append({ { u"0"_s }, { u"−"_s }, { u"="_s }, { u"⌫"_s, 1.7 } });

    QList<KeySpec> topLetters { { u"⇥"_s, 1.5 } };
    for (QChar c : u"QWERTYUIOP[]"_s)
        topLetters.append({ QString(c) });
    topLetters.append({ u"\\"_s, 1.2 });

    QList<KeySpec> homeRow { { u"⇪"_s, 1.8 } };
    for (QChar c : u"ASDFGHJKL;'"_s)
        homeRow.append({ QString(c) });
    homeRow.append({ u"↩"_s, 2 });

    QList<KeySpec> bottomLetters { { u"⇧"_s, 2.3 } };
    for (QChar c : u"ZXCVBNM,./"_s)
        bottomLetters.append({ QString(c) });
    bottomLetters.append({ u"⇧"_s, 2.5 });

    const QList<KeySpec> modifierRow { { u"fn  🌐"_s, 1.9, true }, { u"⌃"_s, 1.2 }, { u"⌥"_s, 1.2 }, { u"⌘"_s, 1.4 },
        { QString(), 6 }, { u"⌘"_s, 1.4 }, { u"⌥"_s, 1.2 }, { u"←"_s }, { u"↑↓"_s }, { u"→"_s } };

    return { functionRow, digitRow, topLetters, homeRow, bottomLetters, modifierRow };
}

const QString globe = u"🌐"_s;

// The highlighted label is white on the accent colour. The colour emoji of the
// globe would be blue on blue there, so the globe is drawn as a white line icon.
void drawHighlightedLabel(QPainter &painter, const FnKeyboardHintView::Key &key)
{
    if (key.label.isEmpty())
        return;
    const QFont font = systemFont(9, QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    const qsizetype globeAt = key.label.indexOf(globe);
    if (globeAt < 0) {
        painter.drawText(key.rect, Qt::AlignCenter, key.label);
        return;
    }
    const QString text = key.label.left(globeAt);
    const QFontMetricsF metrics(font);
    const qreal radius = 4.0;
    const qreal width = metrics.horizontalAdvance(text) + 2 * radius;
    const qreal left = key.rect.center().x() - width / 2;
    painter.drawText(QRectF(left, key.rect.top(), width, key.rect.height()), Qt::AlignLeft | Qt::AlignVCenter, text);
    const QPointF centre(left + width - radius, key.rect.center().y());
    painter.save();
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 0.9));
    painter.drawEllipse(centre, radius, radius);
    painter.drawEllipse(centre, radius * 0.42, radius);
    painter.drawLine(centre - QPointF(radius, 0), centre + QPointF(radius, 0));
    painter.restore();
}

} // namespace

FnKeyboardHintView::FnKeyboardHintView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"fnKeyboardHint"_s);
    setFixedSize(620, 170);
}

QRectF FnKeyboardHintView::bodyRect(QSizeF size)
{
    // The body sits 2 points above the bottom edge and is 142 high.
    return { 2, size.height() - 2 - bodyHeight, size.width() - 4, bodyHeight };
}

QList<FnKeyboardHintView::Key> FnKeyboardHintView::keyLayout(QSizeF size)
{
    const QRectF body = bodyRect(size);
    QList<Key> keys;
    const QList<QList<KeySpec>> rows = keyRows();
    for (int r = 0; r < rows.size(); ++r) {
        const QList<KeySpec> &row = rows[r];
        qreal factors = 0;
        for (const KeySpec &spec : row)
            factors += spec.factor;
        const qreal unit = (body.width() - 2 * bodyPadding - keyGap * (row.size() - 1)) / factors;
        // Rows hang from the body's top edge, top row first.
        const qreal top = body.top() + bodyPadding + (keyHeight + keyGap) * r;
        qreal x = body.left() + bodyPadding;
        for (const KeySpec &spec : row) {
            const qreal width = unit * spec.factor;
            keys.append({ spec.label, QRectF(x, top, width, keyHeight), r, spec.highlighted });
            x += width + keyGap;
        }
    }
    return keys;
}

void FnKeyboardHintView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette pal = palette();
    const QSizeF viewSize = size();
    const qreal h = viewSize.height();

    QColor secondary = pal.color(QPalette::WindowText);
    secondary.setAlphaF(0.6f);
    QColor separator = pal.color(QPalette::WindowText);
    separator.setAlphaF(0.18f);
    const QColor accent = pal.color(QPalette::Highlight);

    // The hint line sits in the top 18 points.
    painter.setFont(systemFont(13, QFont::Medium));
    painter.setPen(secondary);
    painter.drawText(QRectF(0, 0, viewSize.width(), 18), Qt::AlignHCenter | Qt::AlignBottom,
        u"Fn находится в левом нижнем углу клавиатуры"_s);

    const QRectF body = bodyRect(viewSize);
    QColor bodyFill = pal.color(QPalette::Window);
    bodyFill.setAlphaF(0.75f);
    painter.setPen(QPen(separator, 1.0));
    painter.setBrush(bodyFill);
    painter.drawRoundedRect(body, 10, 10);

    std::optional<Key> highlighted;
    for (const Key &key : keyLayout(viewSize)) {
        if (key.highlighted) {
            painter.setPen(QPen(accent, 1.5));
            painter.setBrush(accent);
        } else {
            painter.setPen(QPen(separator, 0.7));
            painter.setBrush(pal.color(QPalette::Base));
        }
        painter.drawRoundedRect(key.rect, 4, 4);
        if (key.highlighted)
            drawHighlightedLabel(painter, key);
        else if (!key.label.isEmpty()) {
            painter.setFont(systemFont(8, QFont::Normal));
            painter.setPen(pal.color(QPalette::Text));
            painter.drawText(key.rect, Qt::AlignCenter, key.label);
        }
        if (key.highlighted)
            highlighted = key;
    }

    if (highlighted) {
        // A curved arrow from beside the hint line down to the top of the Fn key.
        const qreal centre = highlighted->rect.center().x();
        const qreal keyTop = highlighted->rect.top();
        const auto flip = [h](qreal x, qreal y) { return QPointF(x, h - y); };
        QPainterPath curve(QPointF(72, 7));
        curve.cubicTo(flip(22, 125), flip(18, 53), QPointF(centre, keyTop - 1));
        QPainterPath head(QPointF(centre - 7, keyTop - 10));
        head.lineTo(centre, keyTop - 1);
        head.lineTo(centre + 7, keyTop - 10);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(accent, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(curve);
        painter.drawPath(head);
    }
}
