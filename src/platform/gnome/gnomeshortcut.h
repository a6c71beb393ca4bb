#pragma once

#include "toggleshortcut.h"

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
    Result assign(QKeyCombination keys) override;

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
};
