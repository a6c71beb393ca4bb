#include "insertion/x11/x11clipboardreader.h"

#include <QDeadlineTimer>
#include <QStringList>

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

template<typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

template<typename T> Reply<T> adopt(T *reply) { return Reply<T>(reply, &std::free); }

class Reader {
public:
    Reader()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
    }
    ~Reader()
    {
        if (m_window != XCB_WINDOW_NONE)
            xcb_destroy_window(m_connection, m_window);
        xcb_disconnect(m_connection);
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    bool open()
    {
        if (xcb_connection_has_error(m_connection))
            return false;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        if (!screen)
            return false;
        m_window = xcb_generate_id(m_connection);
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
            XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, XCB_CW_EVENT_MASK, &events);
        m_clipboard = atom("CLIPBOARD");
        m_property = atom("VERBULO_CLIPBOARD");
        m_incr = atom("INCR");
        return m_clipboard != XCB_ATOM_NONE && m_property != XCB_ATOM_NONE;
    }

    bool hasOwner()
    {
        auto owner = adopt(
            xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_clipboard), nullptr));
        return owner && owner->owner != XCB_WINDOW_NONE;
    }

    xcb_atom_t atom(const char *name)
    {
        auto reply = adopt(xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    QString atomName(xcb_atom_t atom)
    {
        auto reply = adopt(xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, atom), nullptr));
        if (!reply)
            return {};
        return QString::fromLatin1(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    }

    // The selection converted to `target`, also in increments; nothing when the owner did not deliver by the deadline.
    std::optional<QByteArray> convert(xcb_atom_t target, QDeadlineTimer deadline)
    {
        xcb_delete_property(m_connection, m_window, m_property);
        xcb_convert_selection(m_connection, m_window, m_clipboard, target, m_property, XCB_CURRENT_TIME);
        xcb_flush(m_connection);
        bool notified = false;
        while (!notified) {
            Reply<xcb_generic_event_t> event = next(deadline);
            if (!event)
                return std::nullopt;
            if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY)
                continue;
            const auto *notify = reinterpret_cast<xcb_selection_notify_event_t *>(event.get());
            if (notify->requestor != m_window || notify->target != target)
                continue;
            if (notify->property == XCB_ATOM_NONE)
                return std::nullopt;
            notified = true;
        }
        auto reply = takeProperty();
        if (!reply)
            return std::nullopt;
        if (reply->type != m_incr)
            return bytes(*reply);
        // Too large for one property: the owner sends pieces, each after we took the last, and an empty one at the end.
        QByteArray whole;
        for (;;) {
            Reply<xcb_generic_event_t> event = next(deadline);
            if (!event)
                return std::nullopt;
            const auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
            if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY || change->window != m_window
                || change->atom != m_property || change->state != XCB_PROPERTY_NEW_VALUE)
                continue;
            auto piece = takeProperty();
            if (!piece)
                return std::nullopt;
            const QByteArray data = bytes(*piece);
            if (data.isEmpty())
                return whole;
            whole.append(data);
        }
    }

    std::optional<QList<xcb_atom_t>> targets(QDeadlineTimer deadline)
    {
        const std::optional<QByteArray> raw = convert(atom("TARGETS"), deadline);
        if (!raw)
            return std::nullopt;
        QList<xcb_atom_t> atoms(raw->size() / qsizetype(sizeof(xcb_atom_t)));
        std::memcpy(atoms.data(), raw->constData(), size_t(atoms.size()) * sizeof(xcb_atom_t));
        return atoms;
    }

private:
    Reply<xcb_get_property_reply_t> takeProperty()
    {
        return adopt(xcb_get_property_reply(m_connection,
            xcb_get_property(m_connection, 1, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1fffffff),
            nullptr));
    }

    static QByteArray bytes(xcb_get_property_reply_t &reply)
    {
        return QByteArray(
            static_cast<const char *>(xcb_get_property_value(&reply)), xcb_get_property_value_length(&reply));
    }

    Reply<xcb_generic_event_t> next(QDeadlineTimer deadline)
    {
        for (;;) {
            if (xcb_generic_event_t *event = xcb_poll_for_event(m_connection))
                return adopt(event);
            if (xcb_connection_has_error(m_connection) || deadline.hasExpired())
                return adopt<xcb_generic_event_t>(nullptr);
            pollfd descriptor { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
            ::poll(&descriptor, 1, int(std::max<qint64>(deadline.remainingTime(), 0)));
        }
    }

    xcb_connection_t *m_connection;
    xcb_window_t m_window = XCB_WINDOW_NONE;
    xcb_atom_t m_clipboard = XCB_ATOM_NONE;
    xcb_atom_t m_property = XCB_ATOM_NONE;
    xcb_atom_t m_incr = XCB_ATOM_NONE;
};

} // namespace

std::optional<ClipboardSnapshot> readX11Clipboard(std::chrono::milliseconds timeout)
{
    // Targets of the selection protocol itself and legacy text encodings Qt derives from UTF8_STRING.
    static const QStringList skipped { u"TARGETS"_s, u"MULTIPLE"_s, u"TIMESTAMP"_s, u"SAVE_TARGETS"_s, u"DELETE"_s,
        u"INSERT_SELECTION"_s, u"INSERT_PROPERTY"_s, u"CLIPBOARD_MANAGER"_s, u"STRING"_s, u"TEXT"_s,
        u"COMPOUND_TEXT"_s };
    Reader reader;
    if (!reader.open())
        return std::nullopt;
    if (!reader.hasOwner())
        return ClipboardSnapshot {};
    const std::optional<QList<xcb_atom_t>> targets = reader.targets(QDeadlineTimer(timeout));
    if (!targets)
        return std::nullopt;
    QMap<QString, QByteArray> item;
    // An owner that answers slowly for every format costs a few time-outs at most, not one each.
    const QDeadlineTimer overall(timeout * 4);
    for (const xcb_atom_t target : *targets) {
        if (overall.hasExpired())
            break;
        QString name = reader.atomName(target);
        if (name.isEmpty() || skipped.contains(name))
            continue;
        if (name == u"UTF8_STRING"_s)
            name = u"text/plain"_s;
        if (item.contains(name))
            continue;
        if (std::optional<QByteArray> data = reader.convert(target, QDeadlineTimer(timeout)); data && !data->isEmpty())
            item.insert(name, *data);
    }
    // An owner that lists formats and delivers none could not be read.
    if (item.isEmpty() && !targets->isEmpty())
        return std::nullopt;
    ClipboardSnapshot snapshot;
    if (!item.isEmpty())
        snapshot.items.append(std::move(item));
    return snapshot;
}
