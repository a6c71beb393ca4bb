#pragma once

#include "clipboard.h"

#include <chrono>
#include <memory>

class WaylandConnection;

// The clipboard through the compositor's data-control protocol, which reads and writes it
// without the keyboard focus that an ordinary Wayland client needs. Its change counter counts
// every new selection except the echoes of this object's own writes.
class WaylandClipboard final : public AbstractClipboard {
public:
    // Every format of the owner is read at once; those not delivered within this long are left out.
    static constexpr std::chrono::milliseconds readTimeout { 500 };

    explicit WaylandClipboard(WaylandConnection &connection);
    ~WaylandClipboard() override;
    WaylandClipboard(const WaylandClipboard &) = delete;
    WaylandClipboard &operator=(const WaylandClipboard &) = delete;

    // Whether the compositor offers data-control and has not withdrawn it.
    bool isAvailable() const;

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
