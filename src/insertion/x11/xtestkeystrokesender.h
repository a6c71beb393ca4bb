#pragma once

#include "insertion/keystrokesender.h"

struct _XDisplay;

// Synthetic key presses through the X server's XTest extension.
class XTestKeystrokeSender final : public AbstractKeystrokeSender {
public:
    XTestKeystrokeSender();
    ~XTestKeystrokeSender() override;
    XTestKeystrokeSender(const XTestKeystrokeSender &) = delete;
    XTestKeystrokeSender &operator=(const XTestKeystrokeSender &) = delete;

    bool sendPaste(PasteShortcut shortcut) override;
    // Only X11 windows take XTest keystrokes; a window the X server does not know has no number.
    bool reaches(const TextInsertionTarget &target) const override
    {
        return target.windowFingerprint.windowId.has_value();
    }

private:
    _XDisplay *m_display = nullptr;
    bool m_hasXTest = false;
};
