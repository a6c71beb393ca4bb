#pragma once

#include <QString>

#include <memory>
#include <optional>

class WaylandConnection;

// The compositor's list of top-level windows (foreign-toplevel management), where it offers one:
// what the window in front is, by a number of this program's own that stays with the window.
class WaylandToplevels {
public:
    struct TopLevel {
        qint64 id = 0;
        QString title;
        QString appId;
    };

    explicit WaylandToplevels(std::shared_ptr<WaylandConnection> connection);
    // On the process's Wayland connection in a Wayland session; nothing elsewhere.
    static std::unique_ptr<WaylandToplevels> forSession();
    ~WaylandToplevels();
    WaylandToplevels(const WaylandToplevels &) = delete;
    WaylandToplevels &operator=(const WaylandToplevels &) = delete;

    // Whether the compositor lists its windows.
    bool isAvailable() const;
    // The activated window; may be called from any thread.
    std::optional<TopLevel> activeWindow() const;
    // The activated window's number when its title is `title`: so a window the accessibility bus
    // names is known to be the one in front.
    std::optional<qint64> activeWindowId(const std::optional<QString> &title) const;
    // Asks the compositor to put the window with this number in front, with the keyboard focus;
    // false when it is gone or the request could not be made.
    bool activate(qint64 id);

    struct State;

private:
    std::shared_ptr<WaylandConnection> m_connection;
    std::shared_ptr<State> m_state;
};
