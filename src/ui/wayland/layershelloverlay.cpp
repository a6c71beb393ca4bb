#include "ui/wayland/layershelloverlay.h"

#include "core/logging.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"

#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <wayland-client.h>

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

constexpr int topMargin = 28;

// One shared-memory buffer the compositor reads the panel from; busy until it releases it.
struct ShmBuffer {
    wl_buffer *buffer = nullptr;
    uchar *data = nullptr;
    size_t size = 0;
    QSize pixels;
    bool busy = false;

    void destroy()
    {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (data)
            munmap(data, size);
        *this = {};
    }
};

} // namespace

struct LayerShellOverlay::State {
    static const zwlr_layer_surface_v1_listener layerListener;
    static const wl_callback_listener frameListener;
    static const wl_buffer_listener bufferListener;
    static const wl_pointer_listener pointerListener;

    WaylandConnection *connection = nullptr;
    // Cleared by the owner as it goes, under the lock, so that no press is sent to it afterwards.
    std::mutex ownerLock;
    LayerShellOverlay *owner = nullptr;
    // Connection thread only, after construction.
    wl_surface *surface = nullptr;
    zwlr_layer_surface_v1 *layer = nullptr;
    wl_callback *frame = nullptr;
    wl_pointer *pointer = nullptr;
    bool configured = false;
    bool pointerInside = false;
    QPointF pointerAt;
    std::array<ShmBuffer, 2> buffers;
    std::optional<QImage> pending;
    PanelClicks clicks = PanelClicks::passThrough;
    QSize committedSize;

    void present(QImage image, PanelClicks shownClicks)
    {
        const WaylandConnection::Globals &globals = connection->globals();
        // Buffer scales came with version 3 of the compositor; before it the compositor takes one pixel per point.
        if (image.devicePixelRatio() != 1.0 && globals.compositor
            && wl_proxy_get_version(reinterpret_cast<wl_proxy *>(globals.compositor))
                < WL_SURFACE_SET_BUFFER_SCALE_SINCE_VERSION) {
            image = image.scaled(logicalSize(image), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            image.setDevicePixelRatio(1.0);
        }
        const QSize logical = logicalSize(image);
        if (!surface) {
            if (!globals.compositor || !globals.layerShell || !globals.shm)
                return;
            surface = wl_compositor_create_surface(globals.compositor);
            layer = zwlr_layer_shell_v1_get_layer_surface(
                globals.layerShell, surface, nullptr, ZWLR_LAYER_SHELL_V1_LAYER_TOP, "verbulo-overlay");
            zwlr_layer_surface_v1_add_listener(layer, &layerListener, this);
            zwlr_layer_surface_v1_set_anchor(layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP);
            zwlr_layer_surface_v1_set_margin(layer, topMargin, 0, 0, 0);
            zwlr_layer_surface_v1_set_keyboard_interactivity(layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
            zwlr_layer_surface_v1_set_exclusive_zone(layer, 0);
            zwlr_layer_surface_v1_set_size(layer, uint32_t(logical.width()), uint32_t(logical.height()));
            committedSize = logical;
            wl_surface_commit(surface);
        }

        if (!pointer && globals.seat && (globals.seatCapabilities & WL_SEAT_CAPABILITY_POINTER)) {
            pointer = wl_seat_get_pointer(globals.seat);
            wl_pointer_add_listener(pointer, &pointerListener, this);
        }
        pending = std::move(image);
        clicks = shownClicks;
        draw();
    }

    // Hands the newest image to the compositor once it has shown the last one and a buffer is free.
    void draw()
    {
        if (!configured || frame || !pending)
            return;
        ShmBuffer *target = nullptr;
        for (ShmBuffer &candidate : buffers) {
            if (!candidate.busy && (!target || candidate.pixels == pending->size()))
                target = &candidate;
        }
        if (!target)
            return;
        if (target->pixels != pending->size()) {
            target->destroy();
            if (!allocate(*target, pending->size()))
                return;
        }
        const qsizetype bytes = pending->sizeInBytes();
        std::memcpy(target->data, pending->constBits(), size_t(bytes));
        const QSize size = logicalSize(*pending);
        const int scale = int(pending->devicePixelRatio());
        pending.reset();

        if (size != committedSize) {
            zwlr_layer_surface_v1_set_size(layer, uint32_t(size.width()), uint32_t(size.height()));
            committedSize = size;
        }
        const WaylandConnection::Globals &globals = connection->globals();
        if (clicks == PanelClicks::taken || !globals.compositor) {
            wl_surface_set_input_region(surface, nullptr);
        } else {
            // Empty: every click passes to the window underneath.
            wl_region *region = wl_compositor_create_region(globals.compositor);
            wl_surface_set_input_region(surface, region);
            wl_region_destroy(region);
        }
        if (wl_proxy_get_version(reinterpret_cast<wl_proxy *>(surface)) >= WL_SURFACE_SET_BUFFER_SCALE_SINCE_VERSION)
            wl_surface_set_buffer_scale(surface, scale);
        wl_surface_attach(surface, target->buffer, 0, 0);
        wl_surface_damage(surface, 0, 0, size.width(), size.height());
        frame = wl_surface_frame(surface);
        wl_callback_add_listener(frame, &frameListener, this);
        target->busy = true;
        wl_surface_commit(surface);
    }

    static QSize logicalSize(const QImage &image) { return image.size() / int(image.devicePixelRatio()); }

    bool allocate(ShmBuffer &buffer, QSize pixels)
    {
        const WaylandConnection::Globals &globals = connection->globals();
        const int stride = pixels.width() * 4;
        buffer.size = size_t(stride) * size_t(pixels.height());
        const int fd = memfd_create("verbulo-overlay", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(buffer.size)) != 0 || !globals.shm) {
            if (fd >= 0)
                ::close(fd);
            qCWarning(lcUI) << "overlay: no shared memory for the panel";
            buffer = {};
            return false;
        }
        void *data = mmap(nullptr, buffer.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            ::close(fd);
            buffer = {};
            return false;
        }
        buffer.data = static_cast<uchar *>(data);
        wl_shm_pool *pool = wl_shm_create_pool(globals.shm, fd, int32_t(buffer.size));
        // ARGB8888 is premultiplied and little-endian, as QImage::Format_ARGB32_Premultiplied is here.
        buffer.buffer
            = wl_shm_pool_create_buffer(pool, 0, pixels.width(), pixels.height(), stride, WL_SHM_FORMAT_ARGB8888);
        wl_buffer_add_listener(buffer.buffer, &bufferListener, &buffer);
        wl_shm_pool_destroy(pool);
        ::close(fd);
        buffer.pixels = pixels;
        return true;
    }

    void unmap()
    {
        if (frame)
            wl_callback_destroy(frame);
        if (layer)
            zwlr_layer_surface_v1_destroy(layer);
        if (surface)
            wl_surface_destroy(surface);
        frame = nullptr;
        layer = nullptr;
        surface = nullptr;
        configured = false;
        pointerInside = false;
        pending.reset();
        // The compositor may never release what a destroyed surface showed.
        for (ShmBuffer &buffer : buffers)
            buffer.destroy();
    }

    void destroy()
    {
        unmap();
        if (pointer)
            wl_pointer_destroy(pointer);
        pointer = nullptr;
    }
};

const zwlr_layer_surface_v1_listener LayerShellOverlay::State::layerListener = {
    [](void *data, zwlr_layer_surface_v1 *layer, uint32_t serial, uint32_t, uint32_t) {
        auto *state = static_cast<State *>(data);
        zwlr_layer_surface_v1_ack_configure(layer, serial);
        const bool first = !state->configured;
        state->configured = true;
        if (!first && !state->pending)
            wl_surface_commit(state->surface);
        state->draw();
    },
    [](void *data, zwlr_layer_surface_v1 *) {
        // Its output went away: made anew with the next image.
        static_cast<State *>(data)->unmap();
    },
};

const wl_callback_listener LayerShellOverlay::State::frameListener = {
    [](void *data, wl_callback *callback, uint32_t) {
        auto *state = static_cast<State *>(data);
        wl_callback_destroy(callback);
        state->frame = nullptr;
        state->draw();
    },
};

const wl_buffer_listener LayerShellOverlay::State::bufferListener = {
    [](void *data, wl_buffer *) { static_cast<ShmBuffer *>(data)->busy = false; },
};

const wl_pointer_listener LayerShellOverlay::State::pointerListener = {
    [](void *data, wl_pointer *, uint32_t, wl_surface *surface, wl_fixed_t x, wl_fixed_t y) {
        auto *state = static_cast<State *>(data);
        state->pointerInside = surface && surface == state->surface;
        state->pointerAt = QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    [](void *data, wl_pointer *, uint32_t, wl_surface *) { static_cast<State *>(data)->pointerInside = false; },
    [](void *data, wl_pointer *, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        static_cast<State *>(data)->pointerAt = QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    [](void *data, wl_pointer *, uint32_t, uint32_t, uint32_t button, uint32_t buttonState) {
        auto *state = static_cast<State *>(data);
        std::lock_guard lock(state->ownerLock);
        LayerShellOverlay *owner = state->owner;
        if (!state->pointerInside || button != BTN_LEFT || !owner)
            return;
        const QEvent::Type type
            = buttonState == WL_POINTER_BUTTON_STATE_PRESSED ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease;
        const QPointF at = state->pointerAt;
        // Queued: a press still in the queue goes with the owner.
        QMetaObject::invokeMethod(
            owner, [owner, at, type] { owner->press(at, type); }, Qt::QueuedConnection);
    },
    [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {},
    [](void *, wl_pointer *) {},
    [](void *, wl_pointer *, uint32_t) {},
    [](void *, wl_pointer *, uint32_t, uint32_t) {},
    [](void *, wl_pointer *, uint32_t, int32_t) {},
    [](void *, wl_pointer *, uint32_t, int32_t) {},
};

LayerShellOverlay::LayerShellOverlay(QWidget *panel, std::shared_ptr<WaylandConnection> connection)
    : m_panel(panel)
    , m_connection(std::move(connection))
    , m_state(std::make_shared<State>())
    , m_clipboard(std::make_unique<WaylandClipboard>(*m_connection))
{
    m_state->connection = m_connection.get();
    m_state->owner = this;
    m_panel->installEventFilter(this);
}

LayerShellOverlay::~LayerShellOverlay()
{
    m_panel->removeEventFilter(this);
    {
        std::lock_guard lock(m_state->ownerLock);
        m_state->owner = nullptr;
    }
    m_connection->post([state = m_state] { state->destroy(); });
}

void LayerShellOverlay::show(PanelClicks clicks)
{
    m_shown = true;
    m_clicks = clicks;
    scheduleRender();
}

void LayerShellOverlay::hide()
{
    m_shown = false;
    m_pressed.clear();
    m_connection->post([state = m_state] { state->unmap(); });
}

bool LayerShellOverlay::copyText(const QString &text)
{
    if (!m_clipboard->isAvailable())
        return false;
    m_clipboard->setText(text);
    return true;
}

bool LayerShellOverlay::eventFilter(QObject *watched, QEvent *event)
{
    // Every change of a widget on the panel asks its window for an update; so does a new size.
    if (watched == m_panel && (event->type() == QEvent::UpdateRequest || event->type() == QEvent::Resize))
        scheduleRender();
    return false;
}

void LayerShellOverlay::scheduleRender()
{
    if (m_renderQueued)
        return;
    m_renderQueued = true;
    // The mascot asks for every frame of the screen; drawing the whole panel that often costs more than it shows.
    constexpr qint64 frameInterval = 33;
    const qint64 wait = m_sinceRender.isValid() ? std::max<qint64>(0, frameInterval - m_sinceRender.elapsed()) : 0;
    QTimer::singleShot(wait, this, &LayerShellOverlay::render);
}

void LayerShellOverlay::render()
{
    m_renderQueued = false;
    if (!m_shown || m_panel->size().isEmpty())
        return;
    m_sinceRender.start();
    // Drawn for the densest screen: the compositor scales it down elsewhere, but never up into a blur.
    qreal ratio = 1.0;
    for (const QScreen *screen : QGuiApplication::screens())
        ratio = std::max(ratio, screen->devicePixelRatio());
    const int scale = int(std::ceil(ratio));
    QImage image(m_panel->size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    m_panel->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    ++m_framesDrawn;
    m_connection->post([state = m_state, image = std::move(image), clicks = m_clicks]() mutable {
        state->present(std::move(image), clicks);
    });
}

void LayerShellOverlay::press(QPointF position, QEvent::Type type)
{
    if (!m_shown || m_clicks != PanelClicks::taken)
        return;
    const bool pressed = type == QEvent::MouseButtonPress;
    if (pressed)
        m_pressed = m_panel->childAt(position.toPoint());
    QWidget *target = m_pressed;
    if (!target)
        return;
    if (!pressed)
        m_pressed.clear();
    const QPointF local = target->mapFrom(m_panel, position);
    QMouseEvent event(type, local, m_panel->mapToGlobal(position), Qt::LeftButton,
        pressed ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}
