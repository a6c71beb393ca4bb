#include "input/evdev/evdevfnkeysource.h"

#include "core/logging.h"
#include "input/evdev/evdevdevice.h"

#include <QDir>
#include <QFile>

#include <libevdev/libevdev.h>
#include <linux/input.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

EvdevFnKeySource::Access EvdevFnKeySource::systemAccess()
{
    Access access;
    access.directory = u"/dev/input"_s;
    access.open = [](const QString &path) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    };
    access.reportsFnKey = [](int fd) {
        libevdev *device = nullptr;
        if (const int error = libevdev_new_from_fd(fd, &device); error < 0) {
            qCWarning(lcInput) << "evdev: a device could not be examined:" << std::strerror(-error);
            return false;
        }
        const bool hasFn = libevdev_has_event_code(device, EV_KEY, KEY_FN);
        libevdev_free(device);
        return hasFn;
    };
    return access;
}

EvdevFnKeySource::EvdevFnKeySource(Access access, QObject *parent)
    : FnKeySource(parent)
    , m_access(std::move(access))
{
    // udev sets a new device node's group a moment after the node appears, so a
    // keyboard that could not be opened at once is tried again shortly after.
    m_rescan.setSingleShot(true);
    m_rescan.setInterval(1500ms);
    connect(&m_rescan, &QTimer::timeout, this, [this] { scan(); });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        const bool hadNone = m_devices.isEmpty();
        scan();
        // A keyboard plugged in after all: it serves from now on.
        if (hadNone && !m_devices.isEmpty())
            Q_EMIT observing();
        m_rescan.start();
    });
}

EvdevFnKeySource::~EvdevFnKeySource() = default;

QString EvdevFnKeySource::permissionDeniedDescription()
{
    return u"Ворсику не хватает прав, чтобы слышать клавишу Fn. Добавьте себя в группу input "
           u"(sudo usermod -aG input $USER) и войдите в систему заново — или назначьте команде "
           u"«verbulo --toggle» сочетание клавиш в настройках рабочего стола."_s;
}

QString EvdevFnKeySource::noFnKeyDescription()
{
    return u"Клавиатура не сообщает системе о нажатиях Fn. Назначьте команде «verbulo --toggle» "
           u"сочетание клавиш в настройках рабочего стола и диктуйте по нему."_s;
}

void EvdevFnKeySource::start()
{
    if (QDir(m_access.directory).exists())
        m_watcher.addPath(m_access.directory);
    if (!QDir(m_access.directory).exists())
        qCWarning(lcInput) << "evdev:" << m_access.directory << "does not exist";
    const ScanResult result = scan();
    if (!m_devices.isEmpty())
        Q_EMIT observing();
    else
        Q_EMIT unavailable(result.permissionDenied ? permissionDeniedDescription() : noFnKeyDescription());
}

EvdevFnKeySource::ScanResult EvdevFnKeySource::scan()
{
    ScanResult result;
    const QDir directory(m_access.directory);
    const QStringList names
        = directory.entryList({ u"event*"_s }, QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = directory.filePath(name);
        if (m_devices.contains(path))
            continue;
        const int fd = m_access.open(path);
        if (fd < 0) {
            if (fd == -EACCES || fd == -EPERM)
                result.permissionDenied = true;
            qCWarning(lcInput) << "evdev: cannot open" << path << std::strerror(-fd);
            continue;
        }
        if (!m_access.reportsFnKey(fd)) {
            ::close(fd);
            continue;
        }
        qCDebug(lcInput) << "evdev: listening to" << path;
        auto *device = new EvdevDevice(fd, this);
        m_devices.insert(path, device);
        connect(device, &EvdevDevice::fnStateChanged, this, &EvdevFnKeySource::updateFnState);
        connect(device, &EvdevDevice::gone, this, [this, path] { drop(path); });
    }
    return result;
}

void EvdevFnKeySource::drop(const QString &path)
{
    EvdevDevice *device = m_devices.take(path);
    if (!device)
        return;
    // Called from the device's own read handler: let that return first.
    device->deleteLater();
    updateFnState();
}

void EvdevFnKeySource::updateFnState()
{
    bool down = false;
    for (const EvdevDevice *device : std::as_const(m_devices))
        down = down || device->fnIsDown();
    if (down == m_fnIsDown)
        return;
    m_fnIsDown = down;
    Q_EMIT fnStateChanged(down);
}
