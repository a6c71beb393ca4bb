#pragma once

#include "platform/clipboard.h"

#include <QDeadlineTimer>
#include <QStringList>

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

class WaylandConnection;

// The clipboard through the compositor's data-control protocol, which reads and writes it
// without the keyboard focus that an ordinary Wayland client needs. Its change counter counts
// every new selection except the echoes of this object's own writes.
class WaylandClipboard final : public AbstractClipboard {
public:
    // Every format of the owner is read at once; those not delivered within this long are left out.
    static constexpr std::chrono::milliseconds readTimeout { 500 };
    // What one snapshot may hold in all, so an owner cannot fill this program's memory: 64 MiB
    // takes a screenshot in several image formats. A format that would go past it is left out.
    static constexpr qsizetype readLimit = 64 * 1024 * 1024;

    // What the owner's pipes gave: the formats read to their end, and those left out.
    struct PipeRead {
        QMap<QString, QByteArray> delivered;
        QStringList tooSlow, tooLarge, failed;
    };
    // Reads every pipe (format, read end) to its end at once, as an owner may write them in any
    // order, within the deadline and the limit; closes them all.
    static PipeRead readPipes(
        std::vector<std::pair<QString, int>> pipes, QDeadlineTimer deadline, qsizetype limit = readLimit);

    explicit WaylandClipboard(WaylandConnection &connection);
    ~WaylandClipboard() override;
    WaylandClipboard(const WaylandClipboard &) = delete;
    WaylandClipboard &operator=(const WaylandClipboard &) = delete;

    // Whether the compositor offers data-control and has not withdrawn it.
    bool isAvailable() const;

    // Waits in an event loop of its own for readSnapshot(): for tests, never the main thread.
    std::optional<ClipboardSnapshot> snapshot() override;
    QCoro::Task<std::optional<ClipboardSnapshot>> readSnapshot() override;
    void restore(const ClipboardSnapshot &snapshot) override;
    void setText(const QString &text) override;
    void setSelectionText(const QString &text) override;
    quint64 changeCount() const override;

    struct State;

private:
    WaylandConnection &m_connection;
    std::shared_ptr<State> m_state;
};
