#pragma once

#include <QObject>

// The object a later start calls. Replies at once and lets the instance act
// afterwards, so the caller never waits on a window opening.
class SingleInstanceAdaptor : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.plumrest.Vorsik.Instance")

public:
    using QObject::QObject;

public Q_SLOTS:
    Q_SCRIPTABLE void Reopen()
    {
        QMetaObject::invokeMethod(this, &SingleInstanceAdaptor::reopenRequested, Qt::QueuedConnection);
    }
    Q_SCRIPTABLE void Toggle()
    {
        QMetaObject::invokeMethod(this, &SingleInstanceAdaptor::toggleRequested, Qt::QueuedConnection);
    }

Q_SIGNALS:
    void reopenRequested();
    void toggleRequested();
};
