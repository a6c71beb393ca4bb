#pragma once

#include "input/fnkeysource.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QString>
#include <QTimer>

#include <functional>

class EvdevDevice;

// Fn from every keyboard under /dev/input that reports KEY_FN. Keyboards plugged in
// later are picked up, unplugged ones dropped. Fn counts as held while any keyboard
// holds it.
class EvdevFnKeySource final : public FnKeySource {
    Q_OBJECT

public:
    // How devices are found and opened; tests replace it with FIFOs.
    struct Access {
        QString directory;
        // A non-blocking descriptor, or -errno.
        std::function<int(const QString &path)> open;
        std::function<bool(int fd)> reportsFnKey;
    };

    static Access systemAccess();

    explicit EvdevFnKeySource(Access access = systemAccess(), QObject *parent = nullptr);
    ~EvdevFnKeySource() override;

    void start() override;
    Kind kind() const override { return Kind::fnKey; }

    qsizetype deviceCount() const { return m_devices.size(); }

    static QString permissionDeniedDescription();
    static QString noFnKeyDescription();

private:
    struct ScanResult {
        bool permissionDenied = false;
    };

    ScanResult scan();
    void drop(const QString &path);
    void updateFnState();

    Access m_access;
    QFileSystemWatcher m_watcher;
    QTimer m_rescan;
    QHash<QString, EvdevDevice *> m_devices;
    bool m_fnIsDown = false;
};
