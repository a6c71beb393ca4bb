#include "platform/wayland/waylandconnection.h"

#include "core/logging.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

const wl_registry_listener WaylandConnection::registryListener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        static_cast<WaylandConnection *>(data)->bind(registry, name, interface, version);
    },
    [](void *data, wl_registry *, uint32_t name) { static_cast<WaylandConnection *>(data)->forget(name); },
};

const wl_callback_listener WaylandConnection::readyListener = {
    [](void *data, wl_callback *callback, uint32_t) {
        auto *connection = static_cast<WaylandConnection *>(data);
        wl_callback_destroy(callback);
        connection->m_readyCallback = nullptr;
        connection->m_ready.set_value();
    },
};

const wl_seat_listener WaylandConnection::seatListener = {
    [](void *data, wl_seat *, uint32_t capabilities) {
        static_cast<WaylandConnection *>(data)->m_globals.seatCapabilities = capabilities;
    },
    [](void *, wl_seat *, const char *) {},
};

WaylandConnection::WaylandConnection(std::chrono::milliseconds setupTimeout)
{
    m_display = wl_display_connect(nullptr);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!m_display || m_wakeFd < 0) {
        qCWarning(lcInsertion) << "no Wayland display to connect to";
        return;
    }
    std::future<void> ready = m_ready.get_future();
    m_alive = true;
    m_thread = std::thread([this] { serve(); });
    if (ready.wait_for(setupTimeout) != std::future_status::ready) {
        qCWarning(lcInsertion) << "the Wayland compositor did not answer";
        m_alive = false;
    }
}

WaylandConnection::~WaylandConnection()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_display)
        wl_display_disconnect(m_display);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

std::shared_ptr<WaylandConnection> WaylandConnection::shared()
{
    static std::mutex mutex;
    static std::weak_ptr<WaylandConnection> existing;
    std::lock_guard lock(mutex);
    std::shared_ptr<WaylandConnection> connection = existing.lock();
    if (!connection)
        existing = connection = std::make_shared<WaylandConnection>();
    return connection;
}

bool WaylandConnection::post(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_ended || !m_thread.joinable() || !m_alive)
            return false;
        m_work.push_back(std::move(work));
    }
    wake();
    return true;
}

void WaylandConnection::wake()
{
    if (m_wakeFd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

void WaylandConnection::bind(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    const auto is = [interface](const wl_interface &known) { return std::strcmp(interface, known.name) == 0; };
    if (std::strncmp(interface, "org_kde_kwin_", 13) == 0)
        m_globals.kwin = true;
    // The first seat is the user's; a virtual keyboard and the clipboard both belong to one.
    if (is(wl_seat_interface) && !m_globals.seat) {
        m_globals.seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        m_seatName = name;
        wl_seat_add_listener(m_globals.seat, &seatListener, this);
    } else if (is(zwlr_data_control_manager_v1_interface)) {
        m_globals.dataControl = static_cast<zwlr_data_control_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, std::min(version, 2u)));
        m_dataControlName = name;
    } else if (is(zwp_virtual_keyboard_manager_v1_interface)) {
        m_globals.virtualKeyboards = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        m_virtualKeyboardsName = name;
    } else if (is(org_kde_kwin_fake_input_interface) && version >= 4) {
        // Keys came with version 4.
        m_globals.fakeInput = static_cast<org_kde_kwin_fake_input *>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
        m_fakeInputName = name;
    } else if (is(wl_compositor_interface)) {
        m_globals.compositor = static_cast<wl_compositor *>(
            wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
        m_compositorName = name;
    } else if (is(wl_shm_interface)) {
        m_globals.shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        m_shmName = name;
    } else if (is(zwlr_layer_shell_v1_interface)) {
        m_globals.layerShell = static_cast<zwlr_layer_shell_v1 *>(
            wl_registry_bind(registry, name, &zwlr_layer_shell_v1_interface, std::min(version, 4u)));
        m_layerShellName = name;
    } else if (std::strcmp(interface, "zwlr_foreign_toplevel_manager_v1") == 0) {
        m_globals.registry = registry;
        m_globals.toplevelManagerName = name;
        m_globals.toplevelManagerVersion = version;
    }
    updateOffers();
}

void WaylandConnection::forget(uint32_t name)
{
    // The proxies stay valid until destroyed; what was made from them learns of the loss by its own events.
    if (name == m_seatName) {
        m_globals.seat = nullptr;
        m_globals.seatCapabilities = 0;
    } else if (name == m_dataControlName)
        m_globals.dataControl = nullptr;
    else if (name == m_virtualKeyboardsName)
        m_globals.virtualKeyboards = nullptr;
    else if (name == m_fakeInputName)
        m_globals.fakeInput = nullptr;
    else if (name == m_compositorName)
        m_globals.compositor = nullptr;
    else if (name == m_shmName)
        m_globals.shm = nullptr;
    else if (name == m_layerShellName)
        m_globals.layerShell = nullptr;
    else if (name == m_globals.toplevelManagerName)
        m_globals.toplevelManagerName = 0;
    updateOffers();
}

void WaylandConnection::updateOffers()
{
    Offers offers;
    offers.seat = m_globals.seat;
    offers.dataControl = m_globals.dataControl;
    offers.virtualKeyboards = m_globals.virtualKeyboards;
    offers.fakeInput = m_globals.fakeInput;
    offers.kwin = m_globals.kwin;
    offers.layerSurfaces = m_globals.compositor && m_globals.shm && m_globals.layerShell;
    offers.toplevels = m_globals.toplevelManagerName != 0;
    std::lock_guard lock(m_mutex);
    m_offers = offers;
}

WaylandConnection::Offers WaylandConnection::offers() const
{
    std::lock_guard lock(m_mutex);
    return m_alive ? m_offers : Offers();
}

bool WaylandConnection::prepareRead()
{
    while (wl_display_prepare_read(m_display) != 0) {
        if (wl_display_dispatch_pending(m_display) < 0)
            return false;
    }
    return true;
}

void WaylandConnection::serve()
{
    wl_registry *registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(registry, &registryListener, this);
    // The compositor answers the sync after it has announced every global.
    m_readyCallback = wl_display_sync(m_display);
    wl_callback_add_listener(m_readyCallback, &readyListener, this);

    const int fd = wl_display_get_fd(m_display);
    bool stop = false;
    while (!stop) {
        if (!prepareRead())
            break;
        const bool flushed = wl_display_flush(m_display) >= 0;
        if (!flushed && errno != EAGAIN) {
            wl_display_cancel_read(m_display);
            break;
        }
        pollfd fds[2] = { { fd, short(POLLIN | (flushed ? 0 : POLLOUT)), 0 }, { m_wakeFd, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            wl_display_cancel_read(m_display);
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (wl_display_read_events(m_display) < 0)
                break;
        } else {
            wl_display_cancel_read(m_display);
        }
        if (wl_display_dispatch_pending(m_display) < 0)
            break;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_wakeFd, &count, sizeof count);
        }
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(m_mutex);
            work.swap(m_work);
            stop = m_stopping;
        }
        for (auto &item : work)
            item();
    }
    if (const int error = wl_display_get_error(m_display); error != 0 && !stop)
        qCWarning(lcInsertion) << "the Wayland connection ended:" << std::strerror(error);
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_alive = false;
        work.swap(m_work);
    }
    for (auto &item : work)
        item();
    for (void *global : { static_cast<void *>(m_globals.seat), static_cast<void *>(m_globals.dataControl),
             static_cast<void *>(m_globals.virtualKeyboards), static_cast<void *>(m_globals.fakeInput),
             static_cast<void *>(m_globals.compositor), static_cast<void *>(m_globals.shm),
             static_cast<void *>(m_globals.layerShell) }) {
        if (global)
            wl_proxy_destroy(static_cast<wl_proxy *>(global));
    }
    m_globals = {};
    updateOffers();
    if (m_readyCallback)
        wl_callback_destroy(m_readyCallback);
    wl_registry_destroy(registry);
}
