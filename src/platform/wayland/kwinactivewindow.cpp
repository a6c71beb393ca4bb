#include "platform/wayland/kwinactivewindow.h"

#include "core/detachedtask.h"

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <QCoro/QCoroDBusPendingReply>
#include <QCoro/QCoroTimer>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

Q_LOGGING_CATEGORY(lcKWin, "verbulo.insertion.kwin")

constexpr int callTimeoutMs = 5000;
// At exit only, so that KWin does not keep calling a program that has gone.
constexpr int unloadTimeoutMs = 1000;

constexpr int loadAttempts = 10;
constexpr std::chrono::milliseconds loadRetryDelay { 500 };

std::atomic<int> instances { 0 };

// callDBus passes numbers of int properties as D-Bus int32 and strings as strings; the interface
// of the calls below must match the slots of KWinActiveWindowReceiver.
constexpr auto scriptBody = R"((function () {
    let current = null;
    function report() {
        if (!current) {
            callDBus(target[0], target[1], target[2], "NoneActive");
            return;
        }
        callDBus(target[0], target[1], target[2], "Activated", String(current.internalId),
            String(current.caption), String(current.desktopFileName || ""), String(current.resourceClass || ""),
            current.pid);
    }
    function activated(window) {
        if (current) {
            try {
                current.captionChanged.disconnect(report);
            } catch (error) {
            }
        }
        current = window;
        if (current)
            current.captionChanged.connect(report);
        report();
    }
    // KWin 6 speaks of windows, KWin 5 of clients.
    if (workspace.windowActivated !== undefined) {
        workspace.windowActivated.connect(activated);
        activated(workspace.activeWindow);
    } else {
        workspace.clientActivated.connect(activated);
        activated(workspace.activeClient);
    }
})();
)";

} // namespace

// What KWin calls; only KWin is listened to, since any program on the bus could call.
class KWinActiveWindowReceiver : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.plumrest.Vorsik.KWinActiveWindow")
public:
    explicit KWinActiveWindowReceiver(KWinActiveWindow *owner)
        : QObject(owner)
        , m_owner(owner)
    {
    }

public Q_SLOTS:
    Q_SCRIPTABLE void Activated(const QString &internalId, const QString &caption, const QString &desktopFileName,
        const QString &resourceClass, qint32 processIdentifier)
    {
        if (fromKWin())
            m_owner->noteActivated(internalId, caption, desktopFileName, resourceClass, processIdentifier);
    }
    Q_SCRIPTABLE void NoneActive()
    {
        if (fromKWin())
            m_owner->noteNoneActive();
    }

private:
    bool fromKWin()
    {
        if (!m_owner->m_kwinOwner.isEmpty() && message().service() == m_owner->m_kwinOwner)
            return true;
        sendErrorReply(QDBusError::AccessDenied, u"Only KWin tells the window in front"_s);
        return false;
    }

    KWinActiveWindow *m_owner;
};

KWinActiveWindow::KWinActiveWindow(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_watcher(new QDBusServiceWatcher(serviceName, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this))
{
    const int instance = ++instances;
    m_objectPath = u"/com/plumrest/Vorsik/KWinActiveWindow/%1"_s.arg(instance);
    QString unique = m_bus.baseService();
    unique.replace(QRegularExpression(u"[^0-9A-Za-z]+"_s), u"_"_s);
    m_pluginName = u"vorsik-activewindow%1-%2"_s.arg(unique).arg(instance);
    if (!m_bus.isConnected())
        return;
    m_bus.registerObject(m_objectPath, new KWinActiveWindowReceiver(this), QDBusConnection::ExportScriptableSlots);

    // Readable by us alone: whoever could change it could run code inside KWin.
    m_script.setFileTemplate(QDir::tempPath() + u"/vorsik-kwin-XXXXXX.js"_s);
    if (!m_script.open() || m_script.write(scriptText().toUtf8()) < 0 || !m_script.flush()) {
        qCWarning(lcKWin) << "cannot write the KWin script:" << m_script.errorString();
        return;
    }

    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString &, const QString &oldOwner, const QString &newOwner) {
            if (!oldOwner.isEmpty())
                forget();
            if (!newOwner.isEmpty())
                startLoading();
        });
    startLoading();
}

KWinActiveWindow::~KWinActiveWindow()
{
    ++m_generation;
    if (m_loaded && m_bus.isConnected()) {
        // Waited for, briefly: a message only queued is lost when the program exits next.
        QDBusMessage unload = QDBusMessage::createMethodCall(
            serviceName, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"unloadScript"_s);
        unload.setArguments({ m_pluginName });
        if (m_bus.call(unload, QDBus::Block, unloadTimeoutMs).type() == QDBusMessage::ReplyMessage)
            changeRecord(m_bus.baseService() + u'\t' + m_pluginName, false);
    }
    m_bus.unregisterObject(m_objectPath);
}

bool KWinActiveWindow::isKWinSession(const QDBusConnection &bus)
{
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':');
    if (desktops.contains(u"KDE"_s, Qt::CaseInsensitive))
        return true;
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(serviceName).value();
}

bool KWinActiveWindow::isAvailable() const
{
    std::lock_guard lock(m_mutex);
    return m_reporting;
}

std::optional<ActiveWindowSource::Window> KWinActiveWindow::activeWindow() const
{
    std::lock_guard lock(m_mutex);
    return m_active;
}

QString KWinActiveWindow::titleOf(const QString &caption)
{
    static const QRegularExpression suffix(u"\\s+<\\d+>$"_s);
    return QString(caption).remove(suffix);
}

QString KWinActiveWindow::scriptText() const
{
    const QJsonArray target { m_bus.baseService(), m_objectPath, u"com.plumrest.Vorsik.KWinActiveWindow"_s };
    return u"const target = "_s + QString::fromUtf8(QJsonDocument(target).toJson(QJsonDocument::Compact)) + u";\n"_s
        + QString::fromUtf8(scriptBody);
}

void KWinActiveWindow::noteActivated(const QString &internalId, const QString &caption, const QString &desktopFileName,
    const QString &resourceClass, qint32 processIdentifier)
{
    auto known = m_ids.constFind(internalId);
    if (known == m_ids.cend())
        known = m_ids.insert(internalId, m_nextId++);
    Window window;
    window.id = *known;
    window.title = titleOf(caption);
    QStringList names;
    for (const QString &name : { desktopFileName, resourceClass }) {
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    window.appId = names.join(u'\n');
    if (processIdentifier > 0)
        window.processIdentifier = processIdentifier;
    {
        std::lock_guard lock(m_mutex);
        m_reporting = true;
        m_active = std::move(window);
    }
}

void KWinActiveWindow::noteNoneActive()
{
    {
        std::lock_guard lock(m_mutex);
        m_reporting = true;
        m_active.reset();
    }
}

void KWinActiveWindow::forget()
{
    ++m_generation;
    m_loaded = false;
    m_kwinOwner.clear();
    // A new KWin gives its windows new ids.
    m_ids.clear();
    {
        std::lock_guard lock(m_mutex);
        m_reporting = false;
        m_active.reset();
    }
}

namespace {

QString recordPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + u"/vorsik-kwin-scripts"_s;
}

} // namespace

QStringList KWinActiveWindow::loadedRecords()
{
    QFile file(recordPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void KWinActiveWindow::changeRecord(const QString &record, bool loaded)
{
    QStringList records = loadedRecords();
    records.removeAll(record);
    if (loaded)
        records.append(record);
    QSaveFile file(recordPath());
    if (!file.open(QIODevice::WriteOnly) || file.write((records.join(u'\n') + u'\n').toUtf8()) < 0 || !file.commit())
        qCWarning(lcKWin) << "cannot note the loaded KWin script:" << file.errorString();
}

void KWinActiveWindow::startLoading()
{
    startDetached(load(++m_generation),
        [](const QString &description) { qCWarning(lcKWin) << "loading the KWin script:" << description; });
}

QCoro::Task<> KWinActiveWindow::load(quint64 generation)
{
    QPointer<KWinActiveWindow> self(this);
    const auto current = [&] { return self && self->m_generation == generation; };
    const auto call = [this](const QString &service, const QString &path, const QString &interface,
                          const QString &method, const QVariantList &arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return m_bus.asyncCall(message, callTimeoutMs);
    };

    QDBusPendingReply<QString> owner = call(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
        u"org.freedesktop.DBus"_s, u"GetNameOwner"_s, { QString(serviceName) });
    co_await owner;
    if (!current() || owner.isError())
        co_return;
    m_kwinOwner = owner.value();

    // What a run that crashed left loaded, its bus name gone: it would stay until KWin restarts.
    for (const QString &record : loadedRecords()) {
        const QStringList fields = record.split(u'\t');
        if (fields.size() != 2 || fields[0] == m_bus.baseService())
            continue;
        QDBusPendingReply<bool> running = call(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
            u"org.freedesktop.DBus"_s, u"NameHasOwner"_s, { fields[0] });
        co_await running;
        if (!current())
            co_return;
        if (running.isError() || running.value())
            continue;
        QDBusPendingReply<bool> unloaded
            = call(serviceName, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"unloadScript"_s, { fields[1] });
        co_await unloaded;
        if (!current())
            co_return;
        qCInfo(lcKWin) << "unloaded the script of a run that ended without unloading it:" << fields[1];
        changeRecord(record, false);
    }

    // A KWin that has just taken its name may not have its scripting in place yet.
    QDBusPendingReply<int> loaded;
    for (int attempt = 0; attempt < loadAttempts; ++attempt) {
        if (attempt > 0)
            co_await QCoro::sleepFor(loadRetryDelay);
        if (!current())
            co_return;
        loaded = call(serviceName, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"loadScript"_s,
            { m_script.fileName(), m_pluginName });
        co_await loaded;
        if (!current())
            co_return;
        if (!loaded.isError() || loaded.error().type() != QDBusError::UnknownObject)
            break;
    }
    if (loaded.isError() || loaded.value() < 0) {
        qCWarning(lcKWin) << "KWin did not load the script:"
                          << (loaded.isError() ? loaded.error().message() : u"one of its name is loaded"_s);
        co_return;
    }
    m_loaded = true;
    changeRecord(m_bus.baseService() + u'\t' + m_pluginName, true);

    // Not the script's own object's run: KWin 5 numbers scripts by how many are loaded, so after
    // an unload the number (and the object path made of it) can be another script's. `start` runs
    // every loaded script that is not running yet, ours among them.
    QDBusPendingReply<> started = call(serviceName, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"start"_s, {});
    co_await started;
    if (current() && started.isError())
        qCWarning(lcKWin) << "KWin did not run the script:" << started.error().message();
}

#include "kwinactivewindow.moc"
