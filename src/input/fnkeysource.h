#pragma once

#include <QObject>
#include <QString>

// Somewhere Fn presses can be observed. A source reports the Fn state as a whole
// (held on any of its keyboards), never individual keys.
class FnKeySource : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Begins observing; may report `unavailable` before it returns.
    virtual void start() = 0;

Q_SIGNALS:
    void fnStateChanged(bool fnIsDown);
    // Fn cannot be observed here; the description tells the user, in Russian, what to do.
    // Reported at most once per source.
    void unavailable(const QString &description);
};
