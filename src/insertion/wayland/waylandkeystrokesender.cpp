#include "insertion/wayland/waylandkeystrokesender.h"

#include "core/logging.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

// The keys go out as Linux input event codes (pasteKeyCodes); the keymap's key codes are these plus 8.
// The real modifiers' masks, fixed by XKB.
constexpr uint32_t shiftMask = 1u << 0, controlMask = 1u << 2;

constexpr char keymap[] = R"(xkb_keymap {
xkb_keycodes "verbulo" {
  minimum = 8;
  maximum = 255;
  <LCTL> = 37;
  <LFSH> = 50;
  <AB04> = 55;
  <INS> = 118;
};
xkb_types "verbulo" { include "complete" };
xkb_compatibility "verbulo" { include "complete" };
xkb_symbols "verbulo" {
  key <LCTL> { [ Control_L ] };
  key <LFSH> { [ Shift_L ] };
  key <AB04> { [ v, V ] };
  key <INS> { [ Insert ] };
  modifier_map Control { <LCTL> };
  modifier_map Shift { <LFSH> };
};
};
)";

uint32_t milliseconds()
{
    using namespace std::chrono;
    return uint32_t(duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

struct WaylandKeystrokeSender::State {
    zwp_virtual_keyboard_v1 *keyboard = nullptr;
    std::atomic<bool> available { false };
};

WaylandKeystrokeSender::WaylandKeystrokeSender(WaylandConnection &connection, const WaylandClipboard &clipboard)
    : m_connection(connection)
    , m_clipboard(clipboard)
    , m_state(std::make_shared<State>())
{
    const WaylandConnection::Offers offers = m_connection.offers();
    if (!offers.virtualKeyboards || !offers.seat) {
        qCWarning(lcInsertion) << "the compositor offers no virtual keyboard";
        return;
    }
    m_state->available = true;
    // Made on the connection's thread before any paste queued after it.
    m_connection.post([state = m_state, &connection] {
        const WaylandConnection::Globals &globals = connection.globals();
        const int fd = memfd_create("verbulo-keymap", MFD_CLOEXEC);
        if (!globals.virtualKeyboards || !globals.seat || fd < 0
            || ::write(fd, keymap, sizeof keymap) != ssize_t(sizeof keymap)) {
            if (fd >= 0)
                ::close(fd);
            qCWarning(lcInsertion) << "no virtual keyboard could be made";
            state->available = false;
            return;
        }
        state->keyboard
            = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals.virtualKeyboards, globals.seat);
        zwp_virtual_keyboard_v1_keymap(state->keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, sizeof keymap);
        ::close(fd);
    });
}

WaylandKeystrokeSender::~WaylandKeystrokeSender()
{
    m_connection.post([state = m_state] {
        if (state->keyboard)
            zwp_virtual_keyboard_v1_destroy(state->keyboard);
        state->keyboard = nullptr;
    });
}

bool WaylandKeystrokeSender::isAvailable() const { return m_state->available && m_connection.isAlive(); }

bool WaylandKeystrokeSender::reaches(const TextInsertionTarget &target) const
{
    Q_UNUSED(target)
    // The compositor delivers the keys to whatever has the focus, native or through Xwayland.
    return isAvailable() && m_clipboard.isAvailable();
}

bool WaylandKeystrokeSender::sendPaste(PasteShortcut shortcut)
{
    if (!isAvailable())
        return false;
    std::vector<uint32_t> codes = pasteKeyCodes(shortcut);
    const uint32_t key = codes.back();
    codes.pop_back();
    std::vector<std::pair<uint32_t, uint32_t>> modifiers; // key, the modifier state it adds
    for (const uint32_t code : codes)
        modifiers.emplace_back(code, code == KEY_LEFTCTRL ? controlMask : shiftMask);
    // Queued behind the clipboard's new contents and not waited for: the caller is the main thread,
    // which a compositor that answers slowly must not hold up. Whether the text came is for the
    // confirmation to see.
    return m_connection.post([state = m_state, &connection = m_connection, modifiers, key] {
        zwp_virtual_keyboard_v1 *keyboard = state->keyboard;
        // The clipboard was written just before on this thread; without data control it was not,
        // and the keys would paste whatever the clipboard held.
        if (!keyboard || !connection.globals().virtualKeyboards || !connection.globals().dataControl)
            return;
        uint32_t mask = 0;
        for (const auto &[modifier, bit] : modifiers) {
            zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), modifier, WL_KEYBOARD_KEY_STATE_PRESSED);
            zwp_virtual_keyboard_v1_modifiers(keyboard, mask |= bit, 0, 0, 0);
        }
        zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), key, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), key, WL_KEYBOARD_KEY_STATE_RELEASED);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
            zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), it->first, WL_KEYBOARD_KEY_STATE_RELEASED);
            zwp_virtual_keyboard_v1_modifiers(keyboard, mask &= ~it->second, 0, 0, 0);
        }
        wl_display_flush(connection.display());
    });
}
