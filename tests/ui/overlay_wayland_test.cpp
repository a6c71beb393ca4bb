// The overlay in a real compositor (scripts/wayland-session): whether the window the user dictates
// into keeps the keyboard focus, and whether its buttons answer the pointer where they should show.
#include "insertion/wayland/waylandkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "stallmeter.h"
#include "testutil.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/wayland/waylandoverlay.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QScopeGuard>

#include <csignal>
#include <cstring>
#include <semaphore>

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The windows sway manages, and the process whose window has the keyboard focus.
struct Windows {
    int count = 0;
    qint64 focusedPid = 0;
};

void collect(const QJsonObject &node, Windows &windows)
{
    if (node.value(u"pid"_s).toInteger() > 0) {
        ++windows.count;
        if (node.value(u"focused"_s).toBool())
            windows.focusedPid = node.value(u"pid"_s).toInteger();
    }
    for (const char *children : { "nodes", "floating_nodes" }) {
        for (const QJsonValue &child : node.value(QLatin1String(children)).toArray())
            collect(child.toObject(), windows);
    }
}

Windows windows()
{
    QProcess swaymsg;
    swaymsg.start(u"swaymsg"_s, { u"-t"_s, u"get_tree"_s, u"-r"_s });
    swaymsg.waitForFinished(5000);
    Windows found;
    collect(QJsonDocument::fromJson(swaymsg.readAllStandardOutput()).object(), found);
    return found;
}

// The wlroots virtual-pointer requests this test sends, declared by hand: Debian ships no XML of the
// protocol, and the headless compositor has no pointer of its own to click with.
const wl_interface *noTypes[5] = {};
const wl_message pointerRequests[] = { { "motion", "uff", noTypes }, { "motion_absolute", "uuuuu", noTypes },
    { "button", "uuu", noTypes }, { "axis", "uuf", noTypes }, { "frame", "", noTypes } };
const wl_interface pointerInterface = { "zwlr_virtual_pointer_v1", 1, 5, pointerRequests, 0, nullptr };
const wl_interface *createTypes[] = { &wl_seat_interface, &pointerInterface };
const wl_message managerRequests[] = { { "create_virtual_pointer", "?on", createTypes } };
const wl_interface managerInterface = { "zwlr_virtual_pointer_manager_v1", 1, 1, managerRequests, 0, nullptr };
enum PointerRequest : uint32_t { motionAbsolute = 1, button = 2, frame = 4 };

// A pointer device on a connection of its own, moved to absolute places of the one output.
class VirtualPointer {
public:
    VirtualPointer()
    {
        static const wl_registry_listener listener = {
            [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
                auto *self = static_cast<VirtualPointer *>(data);
                if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->m_seat)
                    self->m_seat = static_cast<wl_proxy *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
                if (std::strcmp(interface, managerInterface.name) == 0)
                    self->m_manager = static_cast<wl_proxy *>(wl_registry_bind(registry, name, &managerInterface, 1));
            },
            [](void *, wl_registry *, uint32_t) {},
        };
        if (!(m_display = wl_display_connect(nullptr)))
            return;
        wl_registry_add_listener(wl_display_get_registry(m_display), &listener, this);
        wl_display_roundtrip(m_display);
        if (m_manager && m_seat)
            m_pointer = wl_proxy_marshal_flags(m_manager, 0, &pointerInterface, 1, 0, m_seat, nullptr);
        wl_display_roundtrip(m_display);
    }
    ~VirtualPointer()
    {
        if (m_display)
            wl_display_disconnect(m_display);
    }
    bool isAvailable() const { return m_pointer; }
    void click(QPoint at)
    {
        send(motionAbsolute, 0u, uint32_t(at.x()), uint32_t(at.y()), 1280u, 800u);
        send(frame);
        for (const uint32_t state : { WL_POINTER_BUTTON_STATE_PRESSED, WL_POINTER_BUTTON_STATE_RELEASED }) {
            send(button, 0u, uint32_t(BTN_LEFT), state);
            send(frame);
        }
        wl_display_roundtrip(m_display);
    }

private:
    template<typename... Arguments> void send(PointerRequest request, Arguments... arguments)
    {
        wl_proxy_marshal_flags(m_pointer, request, nullptr, 1, 0, arguments...);
    }

    wl_display *m_display = nullptr;
    wl_proxy *m_seat = nullptr;
    wl_proxy *m_manager = nullptr;
    wl_proxy *m_pointer = nullptr;
};

class OverlayWaylandTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("VERBULO_WAYLAND_SESSION"))
            GTEST_SKIP() << "needs scripts/wayland-session";
        ASSERT_EQ(target.ask({}, "ready"), "ready");
        ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
        ASSERT_TRUE(TestUtil::runUntil([&] { return windows().focusedPid == target.pid(); }, 10s));
        before = windows();
    }
    void TearDown() override { qunsetenv("VERBULO_NO_LAYER_SHELL"); }

    // The target holds the focus again within a moment, and no other window came or went.
    bool targetKeepsFocus(int extraWindows)
    {
        return TestUtil::runUntil([&] {
            const Windows now = windows();
            return now.focusedPid == target.pid() && now.count == before.count + extraWindows;
        });
    }

    TargetApplication target { QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } } };
    Windows before;
};

} // namespace

// Without a layer shell the panel is a window of its own, which sway focuses: the focus must come back.
TEST_P(OverlayWaylandTest, ShowsAtTheTopCentreWhileTheTargetKeepsTheFocus)
{
    const bool layerShell = GetParam();
    if (!layerShell)
        qputenv("VERBULO_NO_LAYER_SHELL", "1");
    VirtualPointer pointer;
    ASSERT_TRUE(pointer.isAvailable());
    OverlayPanelController overlay;
    overlay.setSurface(makeWaylandOverlaySurface(overlay.panel()));
    // As after start-up: the compositor has listed its windows before the first dictation.
    TestUtil::runFor(300ms);
    const int extraWindows = layerShell ? 0 : 1;

    overlay.showListening();
    EXPECT_TRUE(targetKeepsFocus(extraWindows));

    const QString text = u"Текст для кнопки"_s;
    overlay.presentResult(u"Не удалось вставить"_s, u"Скопируйте текст"_s, text);
    EXPECT_TRUE(targetKeepsFocus(extraWindows));
    if (!layerShell)
        return;

    // Clicks through the compositor where "Скопировать" shows once the grown panel is placed at the top centre.
    auto *copy = overlay.panel()->findChild<QPushButton *>(u"copyButton"_s);
    const QPoint at = copy->mapTo(overlay.panel(), copy->rect().center()) + QPoint(640 - 340, 28);
    WaylandConnection observerConnection;
    WaylandClipboard observer(observerConnection);
    EXPECT_TRUE(TestUtil::runUntil([&] {
        const std::optional<ClipboardSnapshot> now = observer.snapshot();
        if (now && now->items.value(0).value(u"text/plain;charset=utf-8"_s) == text.toUtf8())
            return true;
        pointer.click(at);
        return false;
    }));
    EXPECT_TRUE(targetKeepsFocus(0));
}

INSTANTIATE_TEST_SUITE_P(Surfaces, OverlayWaylandTest, ::testing::Values(true, false),
    [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "LayerShell" : "Window"; });

// Neither a compositor that stops answering nor the connection's own thread held up meanwhile holds
// up the main thread: the overlay shows, the text goes to the clipboard with its paste keystroke,
// and the overlay goes.
TEST(StoppedCompositor, HoldsUpNeitherTheOverlayNorThePaste)
{
    if (!qEnvironmentVariableIsSet("VERBULO_WAYLAND_SESSION"))
        GTEST_SKIP() << "needs scripts/wayland-session";
    const std::shared_ptr<WaylandConnection> connection = WaylandConnection::shared();
    OverlayPanelController overlay; // made at start, with the program
    ucred peer {};
    socklen_t size = sizeof peer;
    ASSERT_EQ(getsockopt(wl_display_get_fd(connection->display()), SOL_SOCKET, SO_PEERCRED, &peer, &size), 0);
    ASSERT_EQ(::kill(peer.pid, SIGSTOP), 0);
    auto held = std::make_shared<std::binary_semaphore>(0), release = std::make_shared<std::binary_semaphore>(0);
    connection->post([held, release] { held->release(), release->try_acquire_for(5s); });
    const auto resume = qScopeGuard([&] { release->release(), ::kill(peer.pid, SIGCONT); });
    ASSERT_TRUE(held->try_acquire_for(5s));
    const StallMeter meter;
    {
        overlay.setSurface(makeWaylandOverlaySurface(overlay.panel()));
        WaylandClipboard clipboard(*connection);
        WaylandKeystrokeSender keys(*connection, clipboard);
        overlay.showListening();
        TestUtil::runFor(300ms);
        clipboard.setText(u"Текст"_s);
        EXPECT_TRUE(keys.sendPaste(PasteShortcut::controlV));
        overlay.hide();
        TestUtil::runFor(300ms);
        overlay.setSurface(nullptr);
    }
    TestUtil::runFor(100ms);
    EXPECT_LT(meter.longestMilliseconds(), StallMeter::limitMilliseconds);
}
