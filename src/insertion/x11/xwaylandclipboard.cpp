#include "insertion/x11/xwaylandclipboard.h"

#include "core/blockingwork.h"
#include "core/logging.h"
#include "insertion/x11/x11clipboardreader.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QPair>
#include <QPointer>
#include <QSocketNotifier>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// The reader names UTF8_STRING as Qt does; the selection is served under the X11 name again.
const QString readerText = u"text/plain"_s;
const QString utf8Target = u"UTF8_STRING"_s;

} // namespace

struct XwaylandClipboard::X11 {
    xcb_connection_t *connection = nullptr;
    xcb_window_t window = XCB_WINDOW_NONE;
    xcb_atom_t clipboard = XCB_ATOM_NONE, targets = XCB_ATOM_NONE, incr = XCB_ATOM_NONE, atomType = XCB_ATOM_ATOM;
    QHash<QString, xcb_atom_t> atoms;
    // Contents too large for one request, going out in pieces: by requestor window and property.
    struct Transfer {
        QByteArray data;
        xcb_atom_t type = XCB_ATOM_NONE;
        qsizetype sent = 0;
    };
    QHash<QPair<xcb_window_t, xcb_atom_t>, Transfer> transfers;

    xcb_atom_t atom(const QString &name)
    {
        if (const auto found = atoms.constFind(name); found != atoms.cend())
            return *found;
        const QByteArray latin = name.toLatin1();
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(latin.size()), latin.constData()), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        atoms.insert(name, result);
        return result;
    }

    QString name(xcb_atom_t atom) const { return atoms.key(atom); }

    ~X11()
    {
        if (window != XCB_WINDOW_NONE)
            xcb_destroy_window(connection, window);
        xcb_disconnect(connection);
    }
};

std::unique_ptr<XwaylandClipboard> XwaylandClipboard::connect(QObject *parent)
{
    auto x11 = std::make_unique<X11>();
    x11->connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x11->connection))
        return nullptr;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x11->connection)).data;
    if (!screen)
        return nullptr;
    x11->window = xcb_generate_id(x11->connection);
    xcb_create_window(x11->connection, XCB_COPY_FROM_PARENT, x11->window, screen->root, 0, 0, 1, 1, 0,
        XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, 0, nullptr);
    x11->clipboard = x11->atom(u"CLIPBOARD"_s);
    x11->targets = x11->atom(u"TARGETS"_s);
    x11->incr = x11->atom(u"INCR"_s);
    if (x11->clipboard == XCB_ATOM_NONE || x11->targets == XCB_ATOM_NONE || x11->incr == XCB_ATOM_NONE)
        return nullptr;
    return std::unique_ptr<XwaylandClipboard>(new XwaylandClipboard(std::move(x11), parent));
}

XwaylandClipboard::XwaylandClipboard(std::unique_ptr<X11> x11, QObject *parent)
    : QObject(parent)
    , m_x11(std::move(x11))
    , m_events(new QSocketNotifier(xcb_get_file_descriptor(m_x11->connection), QSocketNotifier::Read, this))
{
    QObject::connect(m_events, &QSocketNotifier::activated, this, &XwaylandClipboard::readEvents);
}

XwaylandClipboard::~XwaylandClipboard() = default;

std::optional<ClipboardSnapshot> XwaylandClipboard::snapshot()
{
    // Our own contents are at hand; asking the server for them would wait on this very thread.
    if (m_owned.isEmpty())
        return readX11Clipboard(readTimeout);
    QMap<QString, QByteArray> item;
    for (auto it = m_owned.cbegin(); it != m_owned.cend(); ++it)
        item.insert(it.key() == utf8Target ? readerText : it.key(), it.value());
    return ClipboardSnapshot { { item } };
}

QCoro::Task<std::optional<ClipboardSnapshot>> XwaylandClipboard::readSnapshot()
{
    if (!m_owned.isEmpty())
        co_return snapshot();
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    auto reading = BlockingWork::run([] { return readX11Clipboard(readTimeout); });
    co_return co_await reading;
}

void XwaylandClipboard::restore(const ClipboardSnapshot &snapshot)
{
    QMap<QString, QByteArray> formats;
    for (const QMap<QString, QByteArray> &item : snapshot.items) {
        for (auto it = item.cbegin(); it != item.cend(); ++it) {
            const QString target = it.key() == readerText ? utf8Target : it.key();
            if (!formats.contains(target))
                formats.insert(target, it.value());
        }
    }
    own(std::move(formats));
}

void XwaylandClipboard::setText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    own({ { utf8Target, utf8 }, { u"text/plain;charset=utf-8"_s, utf8 } });
}

QCoro::Task<void> XwaylandClipboard::offered()
{
    // Looked at, not awaited as a signal: the question may come several times, or after the time-out.
    const QPointer<XwaylandClipboard> self(this);
    const QDeadlineTimer deadline(offerTimeout);
    while (self && !m_formatsAsked && !m_owned.isEmpty() && !deadline.hasExpired())
        co_await QCoro::sleepFor(std::chrono::milliseconds(5));
}

quint64 XwaylandClipboard::changeCount() const { return m_changeCount; }

void XwaylandClipboard::own(QMap<QString, QByteArray> formats)
{
    for (auto it = formats.cbegin(); it != formats.cend(); ++it)
        m_x11->atom(it.key());
    m_owned = std::move(formats);
    m_formatsAsked = false;
    // Pieces of the earlier contents still unread are not kept for a reader that may never come back.
    m_x11->transfers.clear();
    xcb_set_selection_owner(m_x11->connection, m_owned.isEmpty() ? xcb_window_t(XCB_WINDOW_NONE) : m_x11->window,
        m_x11->clipboard, XCB_CURRENT_TIME);
    xcb_flush(m_x11->connection);
    ++m_changeCount;
    // Replies to the atoms above may have brought events along that the socket no longer signals.
    readEvents();
}

void XwaylandClipboard::readEvents()
{
    xcb_connection_t *connection = m_x11->connection;
    // A whole request carries the data; larger contents go in pieces of this size (ICCCM's INCR).
    const qsizetype largest = qsizetype(xcb_get_maximum_request_length(connection)) * 4 - 64;
    const qsizetype piece = std::min<qsizetype>(largest, 256 * 1024);
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_PROPERTY_NOTIFY) {
            const auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event);
            const auto key = qMakePair(change->window, change->atom);
            auto transfer = m_x11->transfers.find(key);
            // The requestor took the last piece: the next one, and an empty one at the end.
            if (change->state == XCB_PROPERTY_DELETE && transfer != m_x11->transfers.end()) {
                const qsizetype size = std::min(piece, transfer->data.size() - transfer->sent);
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, change->window, change->atom, transfer->type, 8,
                    uint32_t(size), transfer->data.constData() + transfer->sent);
                transfer->sent += size;
                if (size == 0) {
                    const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
                    xcb_change_window_attributes(connection, change->window, XCB_CW_EVENT_MASK, &none);
                    m_x11->transfers.erase(transfer);
                }
                xcb_flush(connection);
            }
        } else if (type == XCB_SELECTION_CLEAR) {
            const auto *clear = reinterpret_cast<xcb_selection_clear_event_t *>(event);
            // Someone copied something: theirs is the newer contents.
            if (clear->selection == m_x11->clipboard && !m_owned.isEmpty()) {
                m_owned.clear();
                ++m_changeCount;
            }
        } else if (type == XCB_SELECTION_REQUEST) {
            const auto *request = reinterpret_cast<xcb_selection_request_event_t *>(event);
            // The server takes every event as 32 bytes, more than this structure has.
            union {
                xcb_selection_notify_event_t reply;
                char bytes[32];
            } sent {};
            xcb_selection_notify_event_t &reply = sent.reply;
            reply.response_type = XCB_SELECTION_NOTIFY;
            reply.time = request->time;
            reply.requestor = request->requestor;
            reply.selection = request->selection;
            reply.target = request->target;
            reply.property = XCB_ATOM_NONE;
            // Clients from before ICCCM 2 name no property: the target's name is used.
            const xcb_atom_t property = request->property != XCB_ATOM_NONE ? request->property : request->target;
            const QString target = m_x11->name(request->target);
            const bool serving = request->selection == m_x11->clipboard && !m_owned.isEmpty();
            if (serving && request->target == m_x11->targets) {
                QList<xcb_atom_t> offered { m_x11->targets };
                for (const QString &format : m_owned.keys())
                    offered.append(m_x11->atom(format));
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property, m_x11->atomType,
                    32, uint32_t(offered.size()), offered.constData());
                reply.property = property;
                m_formatsAsked = true;
            } else if (serving && m_owned.contains(target) && m_owned.value(target).size() <= largest) {
                const QByteArray &data = m_owned[target];
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property, request->target, 8,
                    uint32_t(data.size()), data.constData());
                reply.property = property;
            } else if (serving && m_owned.contains(target)) {
                // The size first; each piece once the requestor has deleted the property.
                const uint32_t propertyChanges = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(connection, request->requestor, XCB_CW_EVENT_MASK, &propertyChanges);
                const auto size = uint32_t(std::min<qsizetype>(m_owned[target].size(), UINT32_MAX));
                xcb_change_property(
                    connection, XCB_PROP_MODE_REPLACE, request->requestor, property, m_x11->incr, 32, 1, &size);
                m_x11->transfers.insert(qMakePair(request->requestor, property), { m_owned[target], request->target });
                reply.property = property;
            }
            xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, sent.bytes);
            xcb_flush(connection);
        }
        std::free(event);
    }
    if (xcb_connection_has_error(connection)) {
        qCWarning(lcInsertion) << "the connection to the X server holding the clipboard broke";
        m_events->setEnabled(false);
        if (!m_owned.isEmpty()) {
            m_owned.clear();
            ++m_changeCount;
        }
    }
}
