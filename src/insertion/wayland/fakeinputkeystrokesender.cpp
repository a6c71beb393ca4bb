#include "insertion/wayland/fakeinputkeystrokesender.h"

#include "core/logging.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"

#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <atomic>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

const QString FakeInputKeystrokeSender::grantMissingReason
    = u"KDE не разрешил Ворсику нажимать клавиши, поэтому текст не вставлен."_s;
const QString FakeInputKeystrokeSender::grantHint
    = u" Разрешение даёт файл com.plumrest.Vorsik.desktop со строкой "
      u"X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input: его ставит пакет или scripts/run."_s;

struct FakeInputKeystrokeSender::State {
    std::atomic<bool> available { false };
};

FakeInputKeystrokeSender::FakeInputKeystrokeSender(WaylandConnection &connection, const WaylandClipboard &clipboard)
    : m_connection(connection)
    , m_clipboard(clipboard)
    , m_state(std::make_shared<State>())
{
    const WaylandConnection::Offers offers = m_connection.offers();
    m_state->available = offers.fakeInput;
    m_grantMissing = offers.kwin && !offers.fakeInput;
    if (m_grantMissing)
        qCWarning(lcInsertion).noquote() << "KWin did not grant its fake input:" << grantHint.trimmed();
    if (!offers.fakeInput)
        return;
    m_connection.post([&connection] {
        // Told once; KWin shows it where it asks the user.
        if (org_kde_kwin_fake_input *input = connection.globals().fakeInput)
            org_kde_kwin_fake_input_authenticate(input, "Ворсик", "Вставляет продиктованный текст нажатием Ctrl+V");
    });
}

FakeInputKeystrokeSender::~FakeInputKeystrokeSender() = default;

bool FakeInputKeystrokeSender::isAvailable() const { return m_state->available && m_connection.isAlive(); }

bool FakeInputKeystrokeSender::reaches(const TextInsertionTarget &target) const
{
    Q_UNUSED(target)
    // KWin delivers the keys to whatever has the focus, native or through Xwayland.
    return isAvailable() && m_clipboard.isAvailable();
}

QString FakeInputKeystrokeSender::unavailableReason()
{
    if (!m_grantMissing)
        return {};
    return grantMissingReason + (std::exchange(m_hinted, true) ? QString() : grantHint);
}

bool FakeInputKeystrokeSender::sendPaste(PasteShortcut shortcut)
{
    if (!isAvailable())
        return false;
    // KWin maps the codes through the user's layout like a real keyboard's.
    const std::vector<uint32_t> keys = pasteKeyCodes(shortcut);
    // Queued behind the clipboard's new contents and not waited for, as with the virtual keyboard.
    return m_connection.post([&connection = m_connection, keys] {
        org_kde_kwin_fake_input *input = connection.globals().fakeInput;
        // Without data control the clipboard was not written, and the keys would paste whatever it held.
        if (!input || !connection.globals().dataControl)
            return;
        for (const uint32_t key : keys)
            org_kde_kwin_fake_input_keyboard_key(input, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            org_kde_kwin_fake_input_keyboard_key(input, *it, WL_KEYBOARD_KEY_STATE_RELEASED);
        wl_display_flush(connection.display());
    });
}
