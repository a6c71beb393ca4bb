#include "pastepath.h"

#include "logging.h"
#include "qtclipboard.h"
#include "uinputkeystrokesender.h"
#include "wayland/fakeinputkeystrokesender.h"
#include "wayland/waylandclipboard.h"
#include "wayland/waylandconnection.h"
#include "wayland/waylandkeystrokesender.h"
#include "xtestkeystrokesender.h"

#include <QGuiApplication>

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
        qCInfo(lcInsertion) << "the compositor has no clipboard data control: no paste keystroke";
        path.clipboard = std::make_unique<QtClipboard>();
        path.keystrokes = std::make_unique<NoKeystrokes>();
    } else if (!path.keystrokes) {
        qCInfo(lcInsertion) << "the compositor has no virtual keyboard: pasting through uinput";
        path.keystrokes = std::make_unique<UinputKeystrokeSender>();
    }
    return path;
}
