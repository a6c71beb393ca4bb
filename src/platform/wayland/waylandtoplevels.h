#pragma once

#include "platform/wayland/activewindowsource.h"

#include <memory>
#include <optional>

class WaylandConnection;

// The compositor's list of top-level windows (foreign-toplevel management), where it offers one:
// what the window in front is, by a number of this program's own that stays with the window.
class WaylandToplevels final : public ActiveWindowSource {
public:
    using TopLevel = Window;

    explicit WaylandToplevels(std::shared_ptr<WaylandConnection> connection);
    ~WaylandToplevels() override;
    WaylandToplevels(const WaylandToplevels &) = delete;
    WaylandToplevels &operator=(const WaylandToplevels &) = delete;

    // Whether the compositor lists its windows.
    bool isAvailable() const override;
    std::optional<TopLevel> activeWindow() const override;
    // Asks the compositor to put the window with this number in front, with the keyboard focus;
    // false when it is gone or the request could not be made.
    bool activate(qint64 id);

    struct State;

private:
    std::shared_ptr<WaylandConnection> m_connection;
    std::shared_ptr<State> m_state;
};
