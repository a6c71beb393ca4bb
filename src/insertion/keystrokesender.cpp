#include "keystrokesender.h"

#include "uinputkeystrokesender.h"
#include "xtestkeystrokesender.h"

#include <QGuiApplication>

using namespace Qt::StringLiterals;

std::unique_ptr<AbstractKeystrokeSender> makeKeystrokeSender()
{
    if (QGuiApplication::platformName().startsWith(u"wayland"_s))
        return std::make_unique<UinputKeystrokeSender>();
    return std::make_unique<XTestKeystrokeSender>();
}
