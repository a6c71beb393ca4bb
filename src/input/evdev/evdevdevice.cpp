#include "input/evdev/evdevdevice.h"

#include "core/logging.h"

#include <linux/input.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

EvdevDevice::EvdevDevice(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_notifier(fd, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &EvdevDevice::readAvailable);
}

EvdevDevice::~EvdevDevice()
{
    m_notifier.setEnabled(false);
    ::close(m_fd);
}

void EvdevDevice::readAvailable()
{
    std::array<char, 64 * sizeof(input_event)> buffer;
    for (;;) {
        const ssize_t count = ::read(m_fd, buffer.data(), buffer.size());
        if (count > 0) {
            m_pending.append(buffer.data(), count);
            handleRecords();
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        // End of file, or ENODEV once the device is unplugged.
        if (count < 0 && errno != ENODEV)
            qCWarning(lcInput) << "evdev: reading a keyboard failed:" << std::strerror(errno);
        else
            qCDebug(lcInput) << "evdev: a keyboard went away";
        m_notifier.setEnabled(false);
        Q_EMIT gone();
        return;
    }
}

void EvdevDevice::handleRecords()
{
    const qsizetype whole = m_pending.size() - m_pending.size() % qsizetype(sizeof(input_event));
    for (qsizetype offset = 0; offset < whole; offset += sizeof(input_event)) {
        input_event event;
        std::memcpy(&event, m_pending.constData() + offset, sizeof event);

        if (event.type == EV_SYN && event.code == SYN_DROPPED) {
            // The kernel lost events: ignore the rest of this report and ask for the real key state.
            qCDebug(lcInput) << "evdev: the kernel dropped events";
            m_droppingUntilReport = true;
            continue;
        }
        if (m_droppingUntilReport) {
            if (event.type == EV_SYN && event.code == SYN_REPORT) {
                m_droppingUntilReport = false;
                resynchronise();
            }
            continue;
        }
        // Value 2 is auto-repeat: Fn is still held, not pressed again.
        if (event.type == EV_KEY && event.code == KEY_FN && event.value != 2)
            setFnDown(event.value == 1);
    }
    m_pending.remove(0, whole);
}

void EvdevDevice::setFnDown(bool down)
{
    if (down == m_fnIsDown)
        return;
    m_fnIsDown = down;
    Q_EMIT fnStateChanged(down);
}

void EvdevDevice::resynchronise()
{
    std::array<unsigned char, KEY_MAX / 8 + 1> keys {};
    if (::ioctl(m_fd, EVIOCGKEY(keys.size()), keys.data()) < 0) {
        // Keep what we had; the next Fn event corrects it.
        qCWarning(lcInput) << "evdev: the key state after dropped events is unknown:" << std::strerror(errno);
        return;
    }
    setFnDown(keys[KEY_FN / 8] & (1u << (KEY_FN % 8)));
}
