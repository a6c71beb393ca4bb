#pragma once

#include "platform/wayland/activewindowsource.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QTemporaryFile>

#include <QCoro/QCoroTask>

#include <mutex>

class QDBusServiceWatcher;

// The window in front on KDE Plasma, told by a small KWin script this object loads over D-Bus:
// KWin calls back on every activation with the window's id, caption, program and process. The
// script goes with this object, and comes back when KWin does. Lives on the main thread; the
// answers may be asked for on any.
class KWinActiveWindow final : public QObject, public ActiveWindowSource {
    Q_OBJECT
public:
    explicit KWinActiveWindow(QDBusConnection bus, QObject *parent = nullptr);
    ~KWinActiveWindow() override;

    // KDE Plasma by the desktop's name, or KWin on the bus.
    static bool isKWinSession(const QDBusConnection &bus);

    // Once the script has told the window in front.
    bool isAvailable() const override;
    std::optional<Window> activeWindow() const override;

    // The script's name in KWin and the path KWin calls back on, one of each for each object.
    QString pluginName() const { return m_pluginName; }
    QString objectPath() const { return m_objectPath; }

    static constexpr QLatin1StringView serviceName { "org.kde.KWin" };
    // "Title <2>" for the second window titled "Title": KWin's addition, not the program's title.
    static QString titleOf(const QString &caption);

private:
    friend class KWinActiveWindowReceiver;
    void noteActivated(const QString &internalId, const QString &caption, const QString &desktopFileName,
        const QString &resourceClass, qint32 processIdentifier);
    void noteNoneActive();
    void forget();
    void startLoading();
    QCoro::Task<> load(quint64 generation);
    QString scriptText() const;
    // The scripts this program has loaded into KWin, each as "bus name<TAB>script name", kept in the
    // session's runtime directory: a run that crashed left its script behind for the next to unload.
    static QStringList loadedRecords();
    static void changeRecord(const QString &record, bool loaded);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher;
    QString m_objectPath;
    QString m_pluginName;
    QTemporaryFile m_script;
    // Main thread only.
    QString m_kwinOwner;
    quint64 m_generation = 0;
    bool m_loaded = false;
    QHash<QString, qint64> m_ids;
    qint64 m_nextId = 1;

    mutable std::mutex m_mutex;
    bool m_reporting = false;
    std::optional<Window> m_active;
};
