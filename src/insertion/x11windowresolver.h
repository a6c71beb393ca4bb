#pragma once

#include <QRectF>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

// Finds the X11 window id of an application's top-level window from what the
// accessibility bus tells about it. Answers only when exactly one window fits.
class X11WindowResolver
{
public:
    X11WindowResolver();
    ~X11WindowResolver();
    X11WindowResolver(const X11WindowResolver &) = delete;
    X11WindowResolver &operator=(const X11WindowResolver &) = delete;

    std::optional<qint64> windowId(qint32 processIdentifier, const std::optional<QString> &title,
                                   const std::optional<QRectF> &frame);

private:
    // The window that has the focus and its ancestors below the root.
    std::vector<uint32_t> focusedWindowChain(uint32_t root);

    xcb_connection_t *m_connection = nullptr;
};
