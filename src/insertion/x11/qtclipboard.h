#pragma once

#include "platform/clipboard.h"

#include <QMimeData>
#include <QObject>
#include <QPointer>

#include <chrono>

class QClipboard;

// The desktop clipboard through QClipboard. Its change counter counts every
// dataChanged signal except the late echoes of this object's own writes.
class QtClipboard final : public QObject, public AbstractClipboard {
    Q_OBJECT
public:
    explicit QtClipboard(QObject *parent = nullptr);

    // Another program's clipboard may answer slowly or never: each of its formats gets this long.
    static constexpr std::chrono::milliseconds readTimeout { 500 };

    std::optional<ClipboardSnapshot> snapshot() override;
    QCoro::Task<std::optional<ClipboardSnapshot>> readSnapshot() override;
    void restore(const ClipboardSnapshot &snapshot) override;
    void setText(const QString &text) override;
    void setSelectionText(const QString &text) override;
    quint64 changeCount() const override;

private:
    void write(QMimeData *data);
    void noteChange();

    QClipboard *m_clipboard;
    QPointer<QMimeData> m_ownData;
    quint64 m_changeCount = 0;
};
