#pragma once

#include "abstracttextinserter.h"
#include "accessibilitybackend.h"
#include "clipboard.h"
#include "keystrokesender.h"
#include "targetcapture.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <array>
#include <chrono>
#include <functional>
#include <optional>

// The state of a focused text element before or after the paste.
struct EditorSnapshot {
    std::optional<QString> value;
    std::optional<TextRange> selectedRange;

    friend bool operator==(const EditorSnapshot &, const EditorSnapshot &) = default;
};

// Pastes a dictated text into the place remembered when the dictation began,
// only while that place is unchanged, and confirms that the text arrived.
//
// Every read of other applications runs on a thread of its own, so an
// application that answers slowly or never cannot hold up this program: the
// caller gets "nothing" once a read has taken its deadline.
class TextInserter final : public QObject, public AbstractTextInserter {
    Q_OBJECT
public:
    static constexpr std::array<std::chrono::milliseconds, 3> confirmationDelays { std::chrono::milliseconds(180),
        std::chrono::milliseconds(260), std::chrono::milliseconds(360) };
    // Within each of those waits a field that can be read is looked at this often, so the
    // first sign of the text ends the wait instead of the full delay.
    static constexpr std::chrono::milliseconds earlyLookInterval { 20 };
    // The clipboard gets its earlier contents back this long after the keystroke.
    static constexpr std::chrono::milliseconds restoreDelay { 1500 };
    // A capture gives up after this long; so the press that starts a dictation never waits for more.
    static constexpr std::chrono::milliseconds readDeadline { 300 };
    // One look at the target before or after the paste, which reads more, gives up after this long.
    static constexpr std::chrono::milliseconds lookDeadline { 2000 };

    TextInserter(AccessibilityBackend &backend, AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes,
        QObject *parent = nullptr);
    ~TextInserter() override;

    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override;
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) override;

    // Whether the focused field shows signs of the pasted text; lengths in UTF-16 code units.
    static bool insertionWasConfirmed(
        const QString &text, const std::optional<EditorSnapshot> &before, const std::optional<EditorSnapshot> &after);
    // Whether `after` is `before` with exactly `text` inserted at one place.
    static bool insertedExactly(const QString &before, const QString &after, const QString &text);
    // White space runs collapsed to one space, trimmed; case untouched.
    static QString normalizeForConfirmation(const QString &text);
    // Whether the text goes in over the accessibility bus before any paste is tried: where the
    // toolkit's own insert lands at the caret as one undo step (GTK, and LibreOffice on GTK) and
    // no selection waits to be replaced by it. Qt's bypasses validators and undo, Gecko's does
    // not arrive: there the paste comes first, and the direct insert only where no keystroke went.
    // A password field reads back as bullets, so nothing could confirm the text there.
    static bool insertsDirectlyFirst(
        const std::optional<QString> &toolkit, const std::optional<QString> &role, const EditorSnapshot &editor);

    // Why a field that the text went into straight shows something else than that text.
    static const QString fieldAlteredReason;
    // Why nothing went in where the focus moved to another field of the same window meanwhile.
    static const QString otherFieldReason;

private:
    struct PendingRestore {
        // Nothing when the contents could not be read: then nothing is put back.
        std::optional<ClipboardSnapshot> snapshot;
        quint64 changeCount = 0;
        quint64 generation = 0;
    };

    struct Look {
        bool busEnabled = false;
        std::optional<TextInsertionTarget> target;
        std::optional<QString> changeReason;
        bool sameWindow = false;
        std::optional<EditorSnapshot> editor;
        std::optional<bool> focusTakesText;
        // The shortcut a terminal pastes with; nothing for anything else.
        std::optional<PasteShortcut> terminal;
        std::optional<QString> toolkit;
        std::optional<QString> role;
    };

    // Whether the field can take the text straight: editable, no terminal, its text readable.
    static bool takesTextDirectly(const Look &look);
    // The text goes into the focused field over the accessibility bus, only while the focus is
    // still in the field of `decided` and in the captured target; runs on the accessibility thread.
    // Nothing when the field was left as it was, so that a paste may still be tried.
    std::optional<TextInsertionOutcome> insertDirectly(
        const std::optional<TextInsertionTarget> &stored, const Look &decided, const QString &text);
    QCoro::Task<std::optional<TextInsertionOutcome>> insertDirectlyOnThread(
        std::optional<TextInsertionTarget> stored, Look decided, QString text);

    // Runs the work on the accessibility thread; nothing when it has not finished by the deadline.
    template<typename Result>
    QCoro::Task<std::optional<Result>> onAccessibilityThread(
        const std::function<Result()> &work, std::chrono::milliseconds timeout);
    // The permission and, with a stored target, a fresh capture compared with it and
    // the focused field's state; runs on the accessibility thread. Whether the focus is a
    // terminal and takes text is read only with `decide`: a confirmation look needs neither.
    Look look(const std::optional<TextInsertionTarget> &stored, bool decide);
    std::optional<EditorSnapshot> editorSnapshot(const TextInsertionTarget &capture);
    // A terminal by the focus's role, an ancestor's role, the application's name or the window's
    // class, with the shortcut it pastes by; nothing for anything else.
    std::optional<PasteShortcut> terminalShortcut(const TextInsertionTarget &capture);
    // Whether the focused element takes text: editable or in a terminal; nothing when unknown.
    std::optional<bool> takesText(const TextInsertionTarget &capture);
    // Writes the clipboard, sends the keystroke and schedules the restore; false when no keystroke went out.
    QCoro::Task<bool> paste(QString text, PasteShortcut shortcut);
    void restoreIfUntouched(quint64 generation);

    AccessibilityBackend &m_backend;
    AbstractClipboard &m_clipboard;
    AbstractKeystrokeSender &m_keystrokes;
    TargetCapture m_capture;
    QThread m_accessibilityThread;
    QObject *m_accessibilityContext;
    std::optional<PendingRestore> m_pendingRestore;
    quint64 m_restoreGeneration = 0;
};
