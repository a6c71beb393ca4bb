#pragma once

#include <QObject>
#include <QSocketNotifier>

// Turns SIGTERM, SIGINT and SIGHUP (session logout, kill, Ctrl+C) into an orderly
// quit of the event loop, so the termination steps run. The handler only writes
// a byte to a socket; the quit happens on the main thread.
class QuitOnSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

private:
    void receive();

    QSocketNotifier *m_notifier = nullptr;
};
