#include "insertion/x11/x11windowresolver.h"

#include <QByteArray>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Extents reported over the accessibility bus may leave out a frame or shadow.
constexpr double frameSlack = 2.0;

template<typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

template<typename T> Reply<T> adopt(T *reply) { return Reply<T>(reply, &std::free); }

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    auto reply = adopt(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, uint16_t(strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// A property's bytes, or nothing when the window or the property is missing.
std::optional<QByteArray> propertyBytes(xcb_connection_t *c, xcb_get_property_cookie_t cookie)
{
    auto reply = adopt(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return std::nullopt;
    // The value length is already in bytes, whatever the property's format.
    return QByteArray(
        static_cast<const char *>(xcb_get_property_value(reply.get())), xcb_get_property_value_length(reply.get()));
}

struct Candidate {
    xcb_window_t window;
    QString title;
    QRectF frame;
};

} // namespace

X11WindowResolver::X11WindowResolver()
{
    m_connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_connection)) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
    }
}

X11WindowResolver::~X11WindowResolver()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

std::optional<qint64> X11WindowResolver::windowId(
    qint32 processIdentifier, const std::optional<QString> &title, const std::optional<QRectF> &frame)
{
    if (!m_connection || xcb_connection_has_error(m_connection))
        return std::nullopt;
    xcb_connection_t *c = m_connection;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return std::nullopt;
    const xcb_window_t root = screen->root;
    const xcb_atom_t clientList = atom(c, "_NET_CLIENT_LIST");
    const xcb_atom_t wmPid = atom(c, "_NET_WM_PID");
    const xcb_atom_t wmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    if (wmPid == XCB_ATOM_NONE)
        return std::nullopt;

    // A window manager lists the client windows; without one they are the root's children.
    std::vector<xcb_window_t> windows;
    if (clientList != XCB_ATOM_NONE) {
        auto list = adopt(
            xcb_get_property_reply(c, xcb_get_property(c, 0, root, clientList, XCB_ATOM_WINDOW, 0, 4096), nullptr));
        if (list && list->format == 32 && list->type == XCB_ATOM_WINDOW) {
            auto *ids = static_cast<xcb_window_t *>(xcb_get_property_value(list.get()));
            windows.assign(ids, ids + xcb_get_property_value_length(list.get()) / 4);
        }
    }
    if (windows.empty()) {
        auto tree = adopt(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
        if (!tree)
            return std::nullopt;
        xcb_window_t *children = xcb_query_tree_children(tree.get());
        windows.assign(children, children + xcb_query_tree_children_length(tree.get()));
    }

    // Send every request first, then collect the replies: one round trip for all windows.
    struct Pending {
        xcb_window_t window;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_property_cookie_t pid;
        xcb_get_property_cookie_t name;
        xcb_get_property_cookie_t legacyName;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
    };
    std::vector<Pending> pending;
    pending.reserve(windows.size());
    for (xcb_window_t window : windows) {
        pending.push_back({ window, xcb_get_window_attributes(c, window),
            xcb_get_property(c, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1),
            xcb_get_property(c, 0, window, wmName, utf8, 0, 1024),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 1024), xcb_get_geometry(c, window),
            xcb_translate_coordinates(c, window, root, 0, 0) });
    }

    std::vector<Candidate> candidates;
    for (const Pending &p : pending) {
        // Every reply is collected, even of a window already ruled out, so none is left queued.
        auto attributes = adopt(xcb_get_window_attributes_reply(c, p.attributes, nullptr));
        auto pid = adopt(xcb_get_property_reply(c, p.pid, nullptr));
        auto name = adopt(xcb_get_property_reply(c, p.name, nullptr));
        auto legacyName = adopt(xcb_get_property_reply(c, p.legacyName, nullptr));
        auto geometry = adopt(xcb_get_geometry_reply(c, p.geometry, nullptr));
        auto origin = adopt(xcb_translate_coordinates_reply(c, p.origin, nullptr));
        // Windows that vanished meanwhile simply have no replies.
        if (!attributes || !pid || !geometry || !origin)
            continue;
        if (attributes->override_redirect || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        if (pid->format != 32 || xcb_get_property_value_length(pid.get()) < 4
            || *static_cast<uint32_t *>(xcb_get_property_value(pid.get())) != uint32_t(processIdentifier))
            continue;
        Candidate candidate { p.window, {}, QRectF(origin->dst_x, origin->dst_y, geometry->width, geometry->height) };
        if (name && name->format == 8 && xcb_get_property_value_length(name.get()) > 0) {
            candidate.title = QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(name.get())),
                xcb_get_property_value_length(name.get()));
        } else if (legacyName && legacyName->format == 8) {
            candidate.title = QString::fromLatin1(static_cast<const char *>(xcb_get_property_value(legacyName.get())),
                xcb_get_property_value_length(legacyName.get()));
        }
        candidates.push_back(std::move(candidate));
    }

    auto only = [](const std::vector<Candidate> &list) -> std::optional<qint64> {
        return list.size() == 1 ? std::optional<qint64>(list.front().window) : std::nullopt;
    };
    auto near = [&](const std::vector<Candidate> &list) {
        std::vector<Candidate> result;
        for (const Candidate &candidate : list) {
            if (frame && std::abs(candidate.frame.x() - frame->x()) <= frameSlack
                && std::abs(candidate.frame.y() - frame->y()) <= frameSlack
                && std::abs(candidate.frame.width() - frame->width()) <= frameSlack
                && std::abs(candidate.frame.height() - frame->height()) <= frameSlack)
                result.push_back(candidate);
        }
        return result;
    };

    std::vector<Candidate> titled;
    if (title) {
        for (const Candidate &candidate : candidates) {
            if (candidate.title == *title)
                titled.push_back(candidate);
        }
    }
    if (auto id = only(titled))
        return id;
    // Several windows with this title (or none with it): the position must tell them apart,
    // and among look-alikes at one place, the one that has the focus.
    const std::vector<Candidate> fitting = near(titled.empty() ? candidates : titled);
    if (fitting.size() <= 1)
        return only(fitting);
    const std::vector<xcb_window_t> focusChain = focusedWindowChain(root);
    std::vector<Candidate> focused;
    for (const Candidate &candidate : fitting) {
        if (std::find(focusChain.begin(), focusChain.end(), candidate.window) != focusChain.end())
            focused.push_back(candidate);
    }
    return only(focused);
}

std::vector<uint32_t> X11WindowResolver::focusedWindowChain(uint32_t root)
{
    xcb_connection_t *c = m_connection;
    std::vector<xcb_window_t> chain;
    xcb_window_t window = XCB_WINDOW_NONE;
    // A window manager names the active client; without one the input focus tells.
    if (const xcb_atom_t active = atom(c, "_NET_ACTIVE_WINDOW"); active != XCB_ATOM_NONE) {
        auto reply
            = adopt(xcb_get_property_reply(c, xcb_get_property(c, 0, root, active, XCB_ATOM_WINDOW, 0, 1), nullptr));
        if (reply && reply->format == 32 && xcb_get_property_value_length(reply.get()) >= 4)
            window = *static_cast<xcb_window_t *>(xcb_get_property_value(reply.get()));
    }
    if (window == XCB_WINDOW_NONE) {
        auto focus = adopt(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (focus)
            window = focus->focus;
    }
    // The focus may sit on a child of the top-level window.
    for (int depth = 0; window != XCB_WINDOW_NONE && window != root && depth < 32; ++depth) {
        chain.push_back(window);
        auto tree = adopt(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree)
            break;
        window = tree->parent;
    }
    return chain;
}

std::optional<X11WindowResolver::TopLevel> X11WindowResolver::describe(qint64 window)
{
    if (!m_connection || xcb_connection_has_error(m_connection) || window <= 0 || window > 0xffffffff)
        return std::nullopt;
    xcb_connection_t *c = m_connection;
    const auto id = xcb_window_t(window);
    const xcb_atom_t wmPid = atom(c, "_NET_WM_PID");
    const xcb_atom_t wmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    const auto pidCookie = xcb_get_property(c, 0, id, wmPid, XCB_ATOM_CARDINAL, 0, 1);
    const auto nameCookie = xcb_get_property(c, 0, id, wmName, utf8, 0, 1024);
    const auto legacyCookie = xcb_get_property(c, 0, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 1024);
    const auto classCookie = xcb_get_property(c, 0, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256);
    const std::optional<QByteArray> pid = propertyBytes(c, pidCookie);
    const std::optional<QByteArray> name = propertyBytes(c, nameCookie);
    const std::optional<QByteArray> legacyName = propertyBytes(c, legacyCookie);
    const std::optional<QByteArray> windowClass = propertyBytes(c, classCookie);
    // A window without a class is no top-level client window (or it is gone).
    if (!windowClass)
        return std::nullopt;

    TopLevel result;
    result.id = window;
    if (pid && pid->size() >= 4) {
        uint32_t value = 0;
        std::memcpy(&value, pid->constData(), sizeof value);
        result.processIdentifier = qint32(value);
    }
    if (name)
        result.title = QString::fromUtf8(*name);
    else if (legacyName)
        result.title = QString::fromLatin1(*legacyName);
    for (const QByteArray &part : windowClass->split('\0')) {
        if (!part.isEmpty())
            result.windowClass.append(QString::fromLatin1(part));
    }
    return result;
}

std::optional<X11WindowResolver::TopLevel> X11WindowResolver::frontWindow()
{
    if (!m_connection || xcb_connection_has_error(m_connection))
        return std::nullopt;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    if (!screen)
        return std::nullopt;
    // The focus may sit on a child; the client window is the nearest that carries a class.
    for (const xcb_window_t window : focusedWindowChain(screen->root)) {
        if (std::optional<TopLevel> found = describe(window))
            return found;
    }
    return std::nullopt;
}
