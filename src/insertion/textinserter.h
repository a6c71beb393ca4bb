#pragma once

#include "core/abstracttextinserter.h"
#include "insertion/accessibilitybackend.h"
#include "insertion/accessibilitythread.h"
#include "insertion/clipboardpaste.h"
#include "insertion/fieldaccess.h"
#include "insertion/keystrokesender.h"
#include "insertion/targetcapture.h"
#include "platform/clipboard.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <optional>

// Pastes a dictated text into the place remembered when the dictation began,
// only while that place is unchanged, and confirms that the text arrived.
//
// Every read of other applications runs on the accessibility thread, so an
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
    // A capture gives up after this long; so the press that starts a dictation never waits for more.
    static constexpr std::chrono::milliseconds readDeadline { 300 };
    // One look at the target before or after the paste, which reads more, gives up after this long.
    static constexpr std::chrono::milliseconds lookDeadline { 2000 };

    TextInserter(AccessibilityBackend &backend, AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes,
        QObject *parent = nullptr);
    ~TextInserter() override;

    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override;
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) override;

private:
    // After the paste's keystroke: whether the text showed in the field, else what the last look says of the target.
    QCoro::Task<TextInsertionOutcome> confirmPaste(
        QString text, std::optional<TextInsertionTarget> target, TargetLook prePaste, TextInsertionOutcome unconfirmed);
    // The direct insert on the accessibility thread; see FieldAccess::insertDirectly.
    QCoro::Task<std::optional<TextInsertionOutcome>> insertDirectlyOnThread(
        std::optional<TextInsertionTarget> stored, TargetLook decided, QString text);

    AccessibilityBackend &m_backend;
    AbstractKeystrokeSender &m_keystrokes;
    TargetCapture m_capture;
    FieldAccess m_field { m_backend, m_capture };
    // Stopped before the objects its work uses go, after the clipboard is put back.
    AccessibilityThread m_thread;
    ClipboardPaste m_paste;
};
