#include "ui/desktopsettings.h"

#include "core/logging.h"

#include <algorithm>

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace DesktopSettings {

bool openAccessibilitySettings()
{
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts);
    const auto runs = [&desktops](QStringView name) {
        return std::any_of(desktops.cbegin(), desktops.cend(),
            [name](const QString &desktop) { return desktop.compare(name, Qt::CaseInsensitive) == 0; });
    };

    QString program;
    QStringList arguments;
    if (runs(u"GNOME") || runs(u"Unity")) {
        program = u"gnome-control-center"_s;
        arguments = { u"universal-access"_s };
    } else if (runs(u"KDE")) {
        program = u"systemsettings"_s;
        arguments = { u"kcm_access"_s };
    }
    if (program.isEmpty() || QStandardPaths::findExecutable(program).isEmpty()) {
        qCWarning(lcUI) << "no accessibility settings known for this desktop:" << desktops;
        return false;
    }
    if (!QProcess::startDetached(program, arguments)) {
        qCWarning(lcUI) << "could not start" << program;
        return false;
    }
    return true;
}

} // namespace DesktopSettings
