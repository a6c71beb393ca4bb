#include "pastepath.h"

#include "logging.h"
#include "qtclipboard.h"
#include "uinputkeystrokesender.h"
#include "wayland/waylandclipboard.h"
#include "wayland/waylandconnection.h"
#include "wayland/waylandkeystrokesender.h"
#include "xtestkeystrokesender.h"

#include <QGuiApplication>

using namespace Qt::StringLiterals;

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
        if (keystrokes->isAvailable())
            path.keystrokes = std::move(keystrokes);
        path.clipboard = std::move(clipboard);
    }
    if (!path.clipboard) {
        qCInfo(lcInsertion) << "the compositor has no clipboard data control: pasting through Qt's clipboard";
        path.clipboard = std::make_unique<QtClipboard>();
    }
    if (!path.keystrokes) {
        qCInfo(lcInsertion) << "the compositor has no virtual keyboard: pasting through uinput";
        path.keystrokes = std::make_unique<UinputKeystrokeSender>();
    }
    return path;
}
