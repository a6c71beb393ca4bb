#pragma once

#include <QDBusConnection>
#include <QObject>

#include <QCoro/QCoroTask>

class SingleInstanceAdaptor;

// One running program per session: the first process owns a name on the session
// bus; a later start hands its request to that process and leaves.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    static constexpr QStringView serviceName = u"com.plumrest.Vorsik";
    static constexpr QStringView objectPath = u"/com/plumrest/Vorsik";
    static constexpr QStringView interfaceName = u"com.plumrest.Vorsik.Instance";

    enum class Request { reopen, toggle };
    enum class Role {
        primary, // this process is the running instance
        forwarded, // the running instance took the request
        noBus, // no session bus to meet on
        forwardFailed, // another process owns the name but did not take the request
    };

    explicit SingleInstance(QDBusConnection bus, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Becomes the running instance, or hands `request` to the one already running.
    QCoro::Task<Role> claim(Request request);

Q_SIGNALS:
    void reopenRequested();
    void toggleRequested();

private:
    QDBusConnection m_bus;
    SingleInstanceAdaptor *m_adaptor;
    bool m_registered = false;
};
