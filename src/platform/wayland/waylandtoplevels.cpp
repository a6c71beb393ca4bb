#include "platform/wayland/waylandtoplevels.h"

#include "platform/wayland/waylandconnection.h"

#include <QtGlobal>

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

struct WaylandToplevels::State {
    static const zwlr_foreign_toplevel_manager_v1_listener managerListener;
    static const zwlr_foreign_toplevel_handle_v1_listener handleListener;

    struct Window {
        TopLevel announced;
        bool activated = false;
        // What `done` made current; the announced values are pending until then.
        TopLevel current;
        bool currentActivated = false;
    };

    // Connection thread only.
    zwlr_foreign_toplevel_manager_v1 *manager = nullptr;
    std::map<zwlr_foreign_toplevel_handle_v1 *, Window> windows;
    qint64 nextId = 1;

    std::atomic<bool> listing { false };
    mutable std::mutex mutex;
    std::optional<TopLevel> active;
    std::set<qint64> listed;

    void publish()
    {
        std::optional<TopLevel> found;
        std::set<qint64> ids;
        for (const auto &[handle, window] : windows) {
            ids.insert(window.current.id);
            if (window.currentActivated)
                found = window.current;
        }
        std::lock_guard lock(mutex);
        active = std::move(found);
        listed = std::move(ids);
    }

    void destroy()
    {
        for (auto &[handle, window] : windows)
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
        windows.clear();
        if (manager) {
            zwlr_foreign_toplevel_manager_v1_stop(manager);
            zwlr_foreign_toplevel_manager_v1_destroy(manager);
        }
        manager = nullptr;
        publish();
    }
};

const zwlr_foreign_toplevel_manager_v1_listener WaylandToplevels::State::managerListener = {
    [](void *data, zwlr_foreign_toplevel_manager_v1 *, zwlr_foreign_toplevel_handle_v1 *handle) {
        auto *state = static_cast<State *>(data);
        Window &window = state->windows[handle];
        window.announced.id = window.current.id = state->nextId++;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, state);
    },
    [](void *data, zwlr_foreign_toplevel_manager_v1 *manager) {
        auto *state = static_cast<State *>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        state->manager = nullptr;
        state->listing = false;
        state->destroy();
    },
};

const zwlr_foreign_toplevel_handle_v1_listener WaylandToplevels::State::handleListener = {
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *title) {
        static_cast<State *>(data)->windows[handle].announced.title = QString::fromUtf8(title);
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *appId) {
        static_cast<State *>(data)->windows[handle].announced.appId = QString::fromUtf8(appId);
    },
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {},
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {},
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_array *states) {
        bool activated = false;
        const auto *begin = static_cast<const uint32_t *>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            activated |= begin[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
        static_cast<State *>(data)->windows[handle].activated = activated;
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) {
        auto *state = static_cast<State *>(data);
        Window &window = state->windows[handle];
        window.current = window.announced;
        window.currentActivated = window.activated;
        state->publish();
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) {
        auto *state = static_cast<State *>(data);
        state->windows.erase(handle);
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        state->publish();
    },
    [](void *, zwlr_foreign_toplevel_handle_v1 *, zwlr_foreign_toplevel_handle_v1 *) {},
};

WaylandToplevels::WaylandToplevels(std::shared_ptr<WaylandConnection> connection)
    : m_connection(std::move(connection))
    , m_state(std::make_shared<State>())
{
    if (!m_connection->offers().toplevels)
        return;
    m_state->listing = true;
    m_connection->post([state = m_state, connection = m_connection.get()] {
        // Bound only now: the compositor lists its windows at once, and none may go unheard.
        const WaylandConnection::Globals &globals = connection->globals();
        if (!globals.toplevelManagerName) {
            state->listing = false;
            return;
        }
        state->manager = static_cast<zwlr_foreign_toplevel_manager_v1 *>(
            wl_registry_bind(globals.registry, globals.toplevelManagerName, &zwlr_foreign_toplevel_manager_v1_interface,
                std::min(globals.toplevelManagerVersion, 3u)));
        zwlr_foreign_toplevel_manager_v1_add_listener(state->manager, &State::managerListener, state.get());
    });
}

WaylandToplevels::~WaylandToplevels()
{
    m_connection->post([state = m_state] { state->destroy(); });
}

bool WaylandToplevels::isAvailable() const { return m_state->listing && m_connection->isAlive(); }

std::optional<WaylandToplevels::TopLevel> WaylandToplevels::activeWindow() const
{
    if (!m_connection->isAlive())
        return std::nullopt;
    std::lock_guard lock(m_state->mutex);
    return m_state->active;
}

bool WaylandToplevels::activate(qint64 id)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->listed.contains(id))
            return false;
    }
    // Queued, not waited for: the overlay asks this every 50 ms from the main thread, which a
    // compositor that answers slowly must not hold up.
    return m_connection->post([state = m_state, connection = m_connection.get(), id] {
        wl_seat *seat = connection->globals().seat;
        for (const auto &[handle, window] : state->windows) {
            if (window.current.id == id && seat)
                zwlr_foreign_toplevel_handle_v1_activate(handle, seat);
        }
    });
}
