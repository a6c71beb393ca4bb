#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

// One open input device, read on the main thread as its events arrive, without
// grabbing it: every key still reaches the application it was meant for. Only
// the Fn key's state is kept; auto-repeat and all other keys pass unnoticed.
class EvdevDevice : public QObject {
    Q_OBJECT

public:
    // Takes over `fd`, which must be non-blocking, and closes it when destroyed.
    explicit EvdevDevice(int fd, QObject *parent = nullptr);
    ~EvdevDevice() override;

    EvdevDevice(const EvdevDevice &) = delete;
    EvdevDevice &operator=(const EvdevDevice &) = delete;

    bool fnIsDown() const { return m_fnIsDown; }

Q_SIGNALS:
    void fnStateChanged(bool fnIsDown);
    // The device was unplugged or can no longer be read; it stays silent from now on.
    void gone();

private:
    void readAvailable();
    void handleRecords();
    void setFnDown(bool down);
    void resynchronise();

    int m_fd;
    QSocketNotifier m_notifier;
    QByteArray m_pending; // a record cut in two by a short read waits here for its rest
    bool m_fnIsDown = false;
    bool m_droppingUntilReport = false;
};
