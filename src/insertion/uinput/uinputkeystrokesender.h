#pragma once

#include "insertion/keystrokesender.h"

struct libevdev;
struct libevdev_uinput;

// A virtual keyboard made through uinput, for Wayland sessions where no other
// client may inject keys. Needs write access to /dev/uinput.
class UinputKeystrokeSender final : public AbstractKeystrokeSender {
public:
    UinputKeystrokeSender();
    ~UinputKeystrokeSender() override;
    UinputKeystrokeSender(const UinputKeystrokeSender &) = delete;
    UinputKeystrokeSender &operator=(const UinputKeystrokeSender &) = delete;

    bool sendPaste(PasteShortcut shortcut) override;
    // The device node of the virtual keyboard, empty when it could not be made.
    const char *deviceNode() const;

private:
    libevdev *m_device = nullptr;
    libevdev_uinput *m_uinput = nullptr;
};
