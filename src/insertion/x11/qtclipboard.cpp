#include "insertion/x11/qtclipboard.h"

#include "core/blockingwork.h"

#include <QClipboard>
#include <QGuiApplication>

#include <QCoro/QCoroFuture>

#include "insertion/x11/x11clipboardreader.h"

using namespace Qt::StringLiterals;

namespace {

// Targets of the X11 selection protocol itself, which the platform lists beside the real formats.
bool isSelectionProtocolTarget(const QString &format)
{
    static const QStringList targets { u"TARGETS"_s, u"MULTIPLE"_s, u"TIMESTAMP"_s, u"SAVE_TARGETS"_s, u"DELETE"_s,
        u"INSERT_SELECTION"_s, u"INSERT_PROPERTY"_s, u"CLIPBOARD_MANAGER"_s };
    return targets.contains(format);
}

} // namespace

QtClipboard::QtClipboard(QObject *parent)
    : QObject(parent)
    , m_clipboard(QGuiApplication::clipboard())
{
    connect(m_clipboard, &QClipboard::dataChanged, this, &QtClipboard::noteChange);
}

std::optional<ClipboardSnapshot> QtClipboard::snapshot()
{
    ClipboardSnapshot snapshot;
    const QMimeData *data = m_clipboard->mimeData(QClipboard::Clipboard);
    if (!data)
        return std::nullopt;
    const QStringList formats = data->formats();
    if (formats.isEmpty())
        return snapshot;
    QMap<QString, QByteArray> item;
    for (const QString &format : formats) {
        if (isSelectionProtocolTarget(format))
            continue;
        // A format the owner lists but cannot deliver is left out.
        QByteArray bytes = data->data(format);
        if (!bytes.isEmpty())
            item.insert(format, std::move(bytes));
    }
    // An owner that lists formats and delivers none could not be read.
    if (item.isEmpty())
        return std::nullopt;
    snapshot.items.append(std::move(item));
    return snapshot;
}

QCoro::Task<std::optional<ClipboardSnapshot>> QtClipboard::readSnapshot()
{
    // Qt reads another program's X11 clipboard by blocking this thread for seconds when the owner
    // does not answer; a connection of our own on a worker waits instead. Our own contents Qt has at hand.
    if (QGuiApplication::platformName() != u"xcb"_s || m_clipboard->ownsClipboard())
        co_return snapshot();
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    auto reading = BlockingWork::run([] { return readX11Clipboard(readTimeout); });
    co_return co_await reading;
}

void QtClipboard::restore(const ClipboardSnapshot &snapshot)
{
    if (snapshot.items.isEmpty()) {
        m_ownData.clear();
        m_clipboard->clear(QClipboard::Clipboard);
        ++m_changeCount;
        return;
    }
    // The desktop clipboard holds one item; several recorded items merge, the first holder of a format winning.
    auto *data = new QMimeData;
    for (const QMap<QString, QByteArray> &item : snapshot.items) {
        for (auto it = item.cbegin(); it != item.cend(); ++it) {
            if (!data->hasFormat(it.key()))
                data->setData(it.key(), it.value());
        }
    }
    write(data);
}

void QtClipboard::setText(const QString &text)
{
    auto *data = new QMimeData;
    data->setText(text);
    write(data);
}

void QtClipboard::setSelectionText(const QString &text)
{
    if (m_clipboard->supportsSelection())
        m_clipboard->setText(text, QClipboard::Selection);
}

quint64 QtClipboard::changeCount() const { return m_changeCount; }

void QtClipboard::write(QMimeData *data)
{
    m_ownData = data;
    m_clipboard->setMimeData(data, QClipboard::Clipboard);
    ++m_changeCount;
}

void QtClipboard::noteChange()
{
    // The platform may report our own write again later; that is no change by anyone else.
    if (m_ownData && m_clipboard->ownsClipboard() && m_clipboard->mimeData(QClipboard::Clipboard) == m_ownData.data())
        return;
    ++m_changeCount;
}
