#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// Everything the clipboard held: one map of format to bytes per item, in order.
struct ClipboardSnapshot {
    QList<QMap<QString, QByteArray>> items;

    friend bool operator==(const ClipboardSnapshot &, const ClipboardSnapshot &) = default;
};

// The system clipboard as the paste needs it.
class AbstractClipboard {
public:
    virtual ~AbstractClipboard() = default;
    // Nothing when the contents could not be read.
    virtual std::optional<ClipboardSnapshot> snapshot() = 0;
    // The same, read without holding up the calling thread where the platform allows.
    virtual QCoro::Task<std::optional<ClipboardSnapshot>> readSnapshot() { co_return snapshot(); }
    // Replaces the contents with the snapshot; an empty snapshot leaves the clipboard empty.
    virtual void restore(const ClipboardSnapshot &snapshot) = 0;
    // Replaces the contents with plain text.
    virtual void setText(const QString &text) = 0;
    // Returns once the desktop has taken up the contents last set, so that a paste finds them, or
    // has had its time; at once where the write itself is what the desktop reads.
    virtual QCoro::Task<void> offered() { co_return; }
    // Replaces the primary selection, where the platform has one, with plain text.
    virtual void setSelectionText(const QString &text) { Q_UNUSED(text) }
    // Grows with every change of the clipboard's contents or owner, including this program's own writes.
    virtual quint64 changeCount() const = 0;
};
