#pragma once

#include <QObject>
#include <QString>

// Somewhere Fn presses can be observed. A source reports the Fn state as a whole
// (held on any of its keyboards), never individual keys.
class FnKeySource : public QObject {
    Q_OBJECT

public:
    // What the user presses: the Fn key itself, or a shortcut bound in the desktop's settings.
    enum class Kind { fnKey, desktopShortcut };

    using QObject::QObject;

    virtual Kind kind() const = 0;

    // Begins observing; may report `unavailable` before it returns.
    virtual void start() = 0;

Q_SIGNALS:
    void fnStateChanged(bool fnIsDown);
    // Presses can be observed here from now on.
    void observing();
    // Fn cannot be observed here; the description tells the user, in Russian, what to do, or is
    // empty when there is nothing to tell. Reported at most once per source.
    void unavailable(const QString &description);
};
