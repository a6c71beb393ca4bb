#include "shell/statusmenu.h"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

using namespace Qt::StringLiterals;

namespace StatusMenu {

namespace {

const QString microphone = u"🎤"_s;

// Sizes a tray may ask for; each is drawn so that none has to be scaled.
constexpr int iconSizes[] = { 16, 22, 24, 32, 48, 64 };

QPixmap tinted(const QPixmap &source, const QColor &tint)
{
    QPixmap result = source;
    QPainter painter(&result);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(result.rect(), tint);
    return result;
}

// A dark rounded badge with light lettering: the program's palette says nothing about the
// panel, and this pair reads on light and dark panels alike. The microphone stands above the
// title (or alone when there is no title).
QPixmap drawnPixmap(int size, const QString &title, const QColor &tint)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    const QRectF badge = QRectF(pixmap.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(badge, size * 0.2, size * 0.2);
    painter.fillPath(path, QColor(36, 31, 49, 230));

    const QString text = title.trimmed();
    QFont font = QApplication::font();
    if (text.isEmpty()) {
        font.setPixelSize(qMax(8, int(size * 0.7)));
        painter.setFont(font);
        painter.drawText(pixmap.rect(), Qt::AlignCenter, microphone);
        return pixmap;
    }

    const QRect upper(0, 0, size, int(size * 0.58));
    const QRect lower(0, upper.height(), size, size - upper.height());
    font.setPixelSize(qMax(6, int(upper.height() * 0.8)));
    painter.setFont(font);
    painter.drawText(upper, Qt::AlignCenter, microphone);

    font.setBold(true);
    int pixelSize = qMax(6, int(lower.height() * 0.85));
    font.setPixelSize(pixelSize);
    while (pixelSize > 6 && QFontMetrics(font).horizontalAdvance(text) > size - 2)
        font.setPixelSize(--pixelSize);
    painter.setFont(font);
    painter.setPen(tint.isValid() ? tint : QColor(Qt::white));
    painter.drawText(lower, Qt::AlignCenter, text);
    return pixmap;
}

QAction *addAction(QMenu &menu, const QString &title, const std::function<void()> &handler)
{
    QAction *action = menu.addAction(title);
    if (handler)
        QObject::connect(action, &QAction::triggered, &menu, [handler] { handler(); });
    return action;
}

} // namespace

Appearance appearance(DictationState state)
{
    switch (state) {
    case DictationState::idle:
        return { u"audio-input-microphone-symbolic"_s, QString(), false };
    case DictationState::connecting:
    case DictationState::processing:
        return { u"content-loading-symbolic"_s, u" …"_s, false };
    case DictationState::recording:
        return { u"media-record-symbolic"_s, u" Запись"_s, true };
    }
    return {};
}

// Contrast about 4.5:1 against both white and black panels.
QColor alertRed() { return QColor(224, 27, 36); }

QIcon themeIcon(const QString &name) { return QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : QIcon(); }

Icon makeIcon(const QString &iconName, const QString &title, const QColor &tint, const IconLookup &lookup)
{
    Icon result;
    const QIcon image = lookup ? lookup(iconName) : QIcon();
    result.hasImage = !image.isNull();
    result.title = result.hasImage ? title : microphone + title;
    for (const int size : iconSizes) {
        const QPixmap themed = result.hasImage ? image.pixmap(size, size) : QPixmap();
        if (result.hasImage)
            result.icon.addPixmap(tint.isValid() ? tinted(themed, tint) : themed);
        else
            result.icon.addPixmap(drawnPixmap(size, title, tint));
    }
    return result;
}

void build(QMenu &menu, DictationState state, LastText lastText, const Handlers &handlers)
{
    menu.clear();
    const bool canToggle = state == DictationState::idle || state == DictationState::recording;
    addAction(
        menu, state == DictationState::recording ? u"Закончить диктовку"_s : u"Начать диктовку"_s, handlers.toggle)
        ->setEnabled(canToggle);
    addAction(menu, u"Диктовка: Fn — начать/закончить"_s, {})->setEnabled(false);
    menu.addSeparator();
    addAction(menu, u"Последний текст…"_s, handlers.showLastText)->setEnabled(lastText == LastText::kept);
    addAction(menu, u"Настройки…"_s, handlers.openSettings)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    addAction(menu, u"Разрешить вставку текста…"_s, handlers.requestAccessibility);
    menu.addSeparator();
    addAction(menu, u"Выйти"_s, handlers.quit)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

} // namespace StatusMenu
