#include "insertion/insertionroute.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace InsertionRoute {

Decision choose(const Facts &facts)
{
    // A keystroke into something that takes no text is lost.
    if (facts.focusTakesText == false)
        return {};
    // Editable, no terminal, its text readable.
    const bool direct = facts.focusTakesText == true && !facts.terminal && facts.editor && facts.editor->value;
    const bool directFirst = direct
        && (facts.keystrokesOnlyWithoutDirectInsertion
            || insertsDirectlyFirst(facts.toolkit, facts.role, *facts.editor));
    // Tried straight already, or not at all, where it goes first or cannot go so.
    const bool directWhenUnsent = direct && !directFirst;
    // Where no keystroke gets there, an editable field can still take the text straight, and show it.
    if (!facts.keystrokeReaches || directFirst)
        return { direct ? Start::direct : Start::noKeystroke, directWhenUnsent };
    return { Start::paste, directWhenUnsent };
}

bool insertsDirectlyFirst(
    const std::optional<QString> &toolkit, const std::optional<QString> &role, const EditorSnapshot &editor)
{
    const bool selection = editor.selectedRange && editor.selectedRange->length > 0;
    return !selection && role != u"password text"_s && toolkit && toolkit->compare(u"gtk", Qt::CaseInsensitive) == 0;
}

std::optional<PasteShortcut> terminalShortcutByName(const std::optional<QString> &names)
{
    // Matched against the application's name and window class in lower case, without a path.
    static const QStringList knownTerminals { u"gnome-terminal"_s, u"gnome-terminal-server"_s, u"konsole"_s,
        u"xfce4-terminal"_s, u"qterminal"_s, u"tilix"_s, u"terminator"_s, u"kitty"_s, u"alacritty"_s, u"wezterm"_s,
        u"wezterm-gui"_s, u"foot"_s, u"lxterminal"_s, u"terminal"_s };
    // These bind no key to the clipboard: Ctrl+Shift+V types ^V; Shift+Insert pastes the primary selection.
    static const QStringList selectionTerminals { u"xterm"_s, u"uxterm"_s, u"urxvt"_s, u"rxvt"_s };
    for (const QString &part : names.value_or(QString()).split(u'\n')) {
        // A path's last part, or a Wayland app id's ("org.kde.konsole").
        QString name = part.trimmed().section(u'/', -1).toLower();
        if (!knownTerminals.contains(name) && !selectionTerminals.contains(name))
            name = name.section(u'.', -1);
        if (selectionTerminals.contains(name))
            return PasteShortcut::shiftInsert;
        if (knownTerminals.contains(name))
            return PasteShortcut::controlShiftV;
    }
    return std::nullopt;
}

} // namespace InsertionRoute
