#pragma once

#include <QRectF>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

// Finds the X11 window id of an application's top-level window from what the
// accessibility bus tells about it. Answers only when exactly one window fits.
class X11WindowResolver {
public:
    X11WindowResolver();
    ~X11WindowResolver();
    X11WindowResolver(const X11WindowResolver &) = delete;
    X11WindowResolver &operator=(const X11WindowResolver &) = delete;

    std::optional<qint64> windowId(
        qint32 processIdentifier, const std::optional<QString> &title, const std::optional<QRectF> &frame);

    // What the X server and the window's own properties tell about a top-level window.
    struct TopLevel {
        qint64 id = 0;
        std::optional<qint32> processIdentifier;
        std::optional<QString> title;
        // WM_CLASS: the instance name, then the class name.
        QStringList windowClass;
    };
    // The window in front: the window manager's active window, else the one with the input focus.
    std::optional<TopLevel> frontWindow();
    // Nothing once the window is gone.
    std::optional<TopLevel> describe(qint64 window);

private:
    // The window that has the focus and its ancestors below the root.
    std::vector<uint32_t> focusedWindowChain(uint32_t root);

    xcb_connection_t *m_connection = nullptr;
};
