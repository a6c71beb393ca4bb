#include "insertion/uinput/uinputkeystrokesender.h"

#include "core/logging.h"

#include <libevdev/libevdev-uinput.h>

#include <cstring>
#include <libevdev/libevdev.h>

#include <vector>

UinputKeystrokeSender::UinputKeystrokeSender()
{
    // Made once, early: the compositor needs a moment to notice a new keyboard,
    // and a paste must not wait for it.
    m_device = libevdev_new();
    libevdev_set_name(m_device, "Vorsik paste keyboard");
    libevdev_enable_event_type(m_device, EV_KEY);
    for (unsigned int key : { KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V, KEY_INSERT })
        libevdev_enable_event_code(m_device, EV_KEY, key, nullptr);
    if (const int error = libevdev_uinput_create_from_device(m_device, LIBEVDEV_UINPUT_OPEN_MANAGED, &m_uinput);
        error != 0) {
        qCWarning(lcInsertion) << "no uinput paste keyboard:" << strerror(-error);
        m_uinput = nullptr;
    }
}

UinputKeystrokeSender::~UinputKeystrokeSender()
{
    if (m_uinput)
        libevdev_uinput_destroy(m_uinput);
    libevdev_free(m_device);
}

const char *UinputKeystrokeSender::deviceNode() const
{
    const char *node = m_uinput ? libevdev_uinput_get_devnode(m_uinput) : nullptr;
    return node ? node : "";
}

bool UinputKeystrokeSender::sendPaste(PasteShortcut shortcut)
{
    if (!m_uinput)
        return false;
    const std::vector<uint32_t> codes = pasteKeyCodes(shortcut);
    // Any event that went out may paste: then the confirmation decides, and nothing goes in straight after.
    bool sent = false;
    auto key = [&](unsigned int code, int value) {
        sent = libevdev_uinput_write_event(m_uinput, EV_KEY, code, value) == 0 || sent;
        sent = libevdev_uinput_write_event(m_uinput, EV_SYN, SYN_REPORT, 0) == 0 || sent;
    };
    for (const uint32_t code : codes)
        key(code, 1);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it)
        key(*it, 0);
    return sent;
}
