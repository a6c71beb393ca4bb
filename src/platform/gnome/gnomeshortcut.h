#pragma once

#include "platform/gnome/toggleshortcut.h"

#include <QFuture>
#include <QKeyCombination>
#include <QString>

#include <optional>

// A GNOME custom keyboard shortcut that runs `<this program> --toggle`, written where GNOME Settings
// keeps its own (the settings daemon's media-keys plugin), under a path of ours so that assigning again
// changes it in place and the user's other shortcuts stay as they are.
class GnomeShortcut final : public ToggleShortcut {
public:
    static inline const QString entryPath
        = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/verbulo-toggle/");

    // `program`: the full path of the binary the shortcut starts.
    explicit GnomeShortcut(QString program);

    bool isAvailable() const override;
    std::optional<QKeyCombination> current() const override;
    QKeyCombination suggestion() const override;
    // Checks the keys and whether GNOME's settings may be written here at once; writes them on a worker.
    Result assign(QKeyCombination keys) override;
    // The last write: true once stored.
    QFuture<bool> written() const { return m_written; }

    // GNOME's accelerator syntax ("<Control><Alt>space"); empty with `error` set when GNOME has no
    // name for the key or the combination would take a key from typing.
    struct Accelerator {
        QString name;
        QString error;
    };
    static Accelerator accelerator(QKeyCombination keys);
    // Back from GNOME's syntax; nothing for keys this program cannot show.
    static std::optional<QKeyCombination> keys(const QString &accelerator);

private:
    QString m_command;
    // What the write under way stores, answered meanwhile by current().
    std::optional<QKeyCombination> m_pending;
    QFuture<bool> m_written = QtFuture::makeReadyFuture(true);
};
