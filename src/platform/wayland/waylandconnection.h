#pragma once

#include "core/blockingwork.h"

#include <QFutureWatcher>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTask>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct wl_display;
struct wl_registry;
struct wl_registry_listener;
struct wl_callback;
struct wl_callback_listener;
struct wl_seat;
struct wl_seat_listener;
struct wl_compositor;
struct wl_shm;
struct zwlr_layer_shell_v1;
struct zwlr_data_control_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct org_kde_kwin_fake_input;

// A libwayland-client connection of the program's own, served by a thread of its own, so that a
// compositor or a clipboard owner that answers slowly never holds up the caller. Protocol objects
// are made, used and destroyed only on that thread: callers queue work there with post(), and await
// an answer with ask().
class WaylandConnection {
public:
    // Connects to WAYLAND_DISPLAY (a socket name or an absolute path) and waits this long for the
    // globals: once, at start, as Qt's own connection does before the first window.
    explicit WaylandConnection(std::chrono::milliseconds setupTimeout = std::chrono::seconds(2));
    ~WaylandConnection();
    // The one connection of this process while anyone holds it, made on first use.
    static std::shared_ptr<WaylandConnection> shared();
    WaylandConnection(const WaylandConnection &) = delete;
    WaylandConnection &operator=(const WaylandConnection &) = delete;

    // Read only on the connection's thread. Null where the compositor does not offer one or withdrew it.
    struct Globals {
        wl_seat *seat = nullptr;
        zwlr_data_control_manager_v1 *dataControl = nullptr;
        zwp_virtual_keyboard_manager_v1 *virtualKeyboards = nullptr;
        // KWin's, offered only to programs its .desktop files grant it to.
        org_kde_kwin_fake_input *fakeInput = nullptr;
        // The compositor is KWin (it announces globals of its own): a missing fake input is a missing grant.
        bool kwin = false;
        // For surfaces of the program's own drawn outside Qt (the overlay on the compositor's top layer).
        wl_compositor *compositor = nullptr;
        wl_shm *shm = nullptr;
        zwlr_layer_shell_v1 *layerShell = nullptr;
        uint32_t seatCapabilities = 0;
        // Bound by its user, which must listen from the start; zero when not offered.
        wl_registry *registry = nullptr;
        uint32_t toplevelManagerName = 0, toplevelManagerVersion = 0;
    };
    const Globals &globals() const { return m_globals; }
    wl_display *display() const { return m_display; }

    // False once the compositor went away, broke the protocol or never answered.
    bool isAlive() const { return m_alive; }

    // Which globals the compositor offers now, readable on any thread: what the program chooses
    // its clipboard, keystrokes and overlay by without asking the connection's thread.
    struct Offers {
        bool seat = false, dataControl = false, virtualKeyboards = false, fakeInput = false, kwin = false;
        bool layerSurfaces = false, toplevels = false;
    };
    Offers offers() const;

    // Runs `work` on the connection's thread; the answer, or nothing when the connection is gone.
    template<typename Result> QCoro::Task<std::optional<Result>> ask(std::function<Result()> work)
    {
        QFuture<Result> future = BlockingWork::onOwnThread(
            [this](std::function<void()> queued) { return post(std::move(queued)); }, std::move(work));
        QFutureWatcher<Result> watcher;
        watcher.setFuture(future);
        if (!future.isFinished())
            co_await qCoro(&watcher, &QFutureWatcherBase::finished);
        if (!future.isResultReadyAt(0))
            co_return std::nullopt;
        co_return future.resultAt(0);
    }
    // Queues `work` for the connection's thread; false when the connection is gone. Work queued
    // before the connection ends still runs, on a connection that then refuses every request.
    bool post(std::function<void()> work);

private:
    static const wl_registry_listener registryListener;
    static const wl_callback_listener readyListener;
    static const wl_seat_listener seatListener;

    void serve();
    // Dispatches what has arrived until a read may begin; false when the connection broke.
    bool prepareRead();
    void bind(wl_registry *registry, uint32_t name, const char *interface, uint32_t version);
    void forget(uint32_t name);
    void updateOffers();
    void wake();

    wl_display *m_display = nullptr;
    Globals m_globals;
    uint32_t m_seatName = 0, m_dataControlName = 0, m_virtualKeyboardsName = 0, m_fakeInputName = 0;
    uint32_t m_compositorName = 0, m_shmName = 0, m_layerShellName = 0;
    std::promise<void> m_ready;
    wl_callback *m_readyCallback = nullptr;
    int m_wakeFd = -1;
    // Guards the work queue and the offers, which the connection's thread keeps up to date.
    mutable std::mutex m_mutex;
    Offers m_offers;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    bool m_ended = false;
    std::atomic<bool> m_alive { false };
    std::thread m_thread;
};
