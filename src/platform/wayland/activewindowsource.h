#pragma once

#include <QString>

#include <memory>
#include <optional>

// What the compositor says the window in front is, by a number of this program's own that stays
// with the window while it lives. The answers may be asked for on any thread.
class ActiveWindowSource {
public:
    struct Window {
        qint64 id = 0;
        QString title;
        // The names the compositor knows the window's program by, one a line.
        QString appId;
        // Where the compositor tells it.
        std::optional<qint32> processIdentifier;
    };

    // The compositor's list of windows where it offers one, else KWin's own word on KDE Plasma;
    // nothing outside a Wayland session. Made and destroyed on the main thread.
    static std::unique_ptr<ActiveWindowSource> forSession();

    virtual ~ActiveWindowSource() = default;

    // Whether the compositor tells what is in front.
    virtual bool isAvailable() const = 0;
    // The activated window.
    virtual std::optional<Window> activeWindow() const = 0;

    // The activated window's number when its title is `title`: so a window the accessibility bus
    // names is known to be the one in front.
    std::optional<qint64> activeWindowId(const std::optional<QString> &title) const;
};
