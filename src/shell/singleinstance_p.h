#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>

// The object a later start calls. Answers first, so the caller never waits on a window
// opening or a dictation step, then acts at once: a press is not put behind whatever the
// main thread queued while it was on its way.
class SingleInstanceAdaptor : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.plumrest.Vorsik.Instance")

public:
    using QObject::QObject;

public Q_SLOTS:
    Q_SCRIPTABLE void Reopen() { answerThen(&SingleInstanceAdaptor::reopenRequested); }
    Q_SCRIPTABLE void Toggle() { answerThen(&SingleInstanceAdaptor::toggleRequested); }

Q_SIGNALS:
    void reopenRequested();
    void toggleRequested();

private:
    void answerThen(void (SingleInstanceAdaptor::*request)())
    {
        if (calledFromDBus()) {
            setDelayedReply(true);
            connection().send(message().createReply());
        }
        Q_EMIT(this->*request)();
    }
};
