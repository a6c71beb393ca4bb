#pragma once

#include <QKeyCombination>
#include <QString>

#include <optional>

// A key combination the desktop itself watches and answers by running `verbulo --toggle`: the way to
// start dictation where the program may not read the keyboard and the desktop has no shortcut portal.
class ToggleShortcut {
public:
    struct Result {
        // For the user, in Russian; empty when the shortcut was written.
        QString error;
        bool ok() const { return error.isEmpty(); }
    };

    virtual ~ToggleShortcut() = default;

    // This desktop runs such shortcuts.
    virtual bool isAvailable() const = 0;
    // The combination assigned earlier, if any.
    virtual std::optional<QKeyCombination> current() const = 0;
    // A combination the desktop does not use yet.
    virtual QKeyCombination suggestion() const = 0;
    // Creates the shortcut or moves it to `keys`; refused when something else has them.
    virtual Result assign(QKeyCombination keys) = 0;
};
