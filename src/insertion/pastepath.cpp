#include "insertion/pastepath.h"

#include "core/appsettings.h"
#include "core/logging.h"
#include "insertion/portal/remotedesktopkeystrokesender.h"
#include "insertion/uinput/uinputkeystrokesender.h"
#include "insertion/wayland/fakeinputkeystrokesender.h"
#include "insertion/wayland/waylandkeystrokesender.h"
#include "insertion/x11/qtclipboard.h"
#include "insertion/x11/xtestkeystrokesender.h"
#include "insertion/x11/xwaylandclipboard.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"

#include <QGuiApplication>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace {

// Without data control this program cannot write the clipboard while another window has the focus,
// so a paste keystroke would put in whatever the clipboard held: the text goes straight into an
// editable field over the accessibility bus instead, or is kept for the Copy button.
class NoKeystrokes final : public AbstractKeystrokeSender {
public:
    bool sendPaste(PasteShortcut) override { return false; }
    bool reaches(const TextInsertionTarget &) const override { return false; }
    QString unavailableReason() override
    {
        return u"Этот рабочий стол не даёт Ворсику вставить текст нажатием клавиш, а поле не принимает его напрямую."_s;
    }
};

} // namespace

PastePath makePastePath()
{
    PastePath path;
    if (!QGuiApplication::platformName().startsWith(u"wayland"_s)) {
        path.clipboard = std::make_unique<QtClipboard>();
        path.keystrokes = std::make_unique<XTestKeystrokeSender>();
        return path;
    }
    path.connection = WaylandConnection::shared();
    auto clipboard = std::make_unique<WaylandClipboard>(*path.connection);
    if (clipboard->isAvailable()) {
        auto keystrokes = std::make_unique<WaylandKeystrokeSender>(*path.connection, *clipboard);
        auto fakeInput = std::make_unique<FakeInputKeystrokeSender>(*path.connection, *clipboard);
        if (keystrokes->isAvailable()) {
            path.keystrokes = std::move(keystrokes);
        } else if (fakeInput->isAvailable()) {
            qCInfo(lcInsertion) << "pasting through KWin's fake input";
            path.keystrokes = std::move(fakeInput);
        } else if (fakeInput->grantMissing()) {
            // uinput still serves a user who may open it; for everyone else the kept text says why.
            auto uinput = std::make_unique<UinputKeystrokeSender>();
            if (*uinput->deviceNode())
                path.keystrokes = std::move(uinput);
            else
                path.keystrokes = std::move(fakeInput);
        }
        path.clipboard = std::move(clipboard);
    }
    if (!path.clipboard) {
        // An X11 client sets the clipboard without the focus; the portal then presses the keys.
        if (auto xwayland = XwaylandClipboard::connect()) {
            auto remoteDesktop = std::make_unique<RemoteDesktopKeystrokeSender>();
            path.setRemoteDesktopPaste = [sender = QPointer(remoteDesktop.get())](bool enabled) {
                if (sender)
                    sender->setEnabled(enabled);
            };
            path.setRemoteDesktopPaste(AppSettings::boolValue(AppSettings::Keys::remoteDesktopPaste));
            path.clipboard = std::move(xwayland);
            path.keystrokes = std::move(remoteDesktop);
            return path;
        }
        qCInfo(lcInsertion) << "the compositor has no clipboard data control: no paste keystroke";
        path.clipboard = std::make_unique<QtClipboard>();
        path.keystrokes = std::make_unique<NoKeystrokes>();
    } else if (!path.keystrokes) {
        qCInfo(lcInsertion) << "the compositor has no virtual keyboard: pasting through uinput";
        path.keystrokes = std::make_unique<UinputKeystrokeSender>();
    }
    return path;
}
