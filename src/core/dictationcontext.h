#pragma once

#include "core/boundedchunkstream.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>

#include <functional>

// One dictation as a flow or an editor sees it. The controller makes one for each dictation; its
// calls do nothing once that dictation is over, so late answers of an earlier one are
// harmless. Everything here is called on the main thread.
struct DictationContext {
    quint64 session = 0; // for the log
    QElapsedTimer clock; // since the press, for the log
    // The controller, which owns the flows: once it is gone, so is the flow.
    QPointer<QObject> owner;
    // The dictation is still the controller's current one, and so the controller and
    // its flows still exist: a flow checks it after every co_await before touching itself.
    std::function<bool()> isCurrent;
    std::function<void(const QString &textSoFar)> onPartial;
    // Part of the speech is lost; the text of the rest still comes.
    std::function<void(const QString &message)> onNotice;
    // The recognised text; it goes to editing and the paste.
    std::function<void(const QString &text)> onFinal;
    std::function<void(const QString &message)> onError;
    // A language model starts editing the text.
    std::function<void()> onEditing;
    // Audio that waited too long for the main thread was dropped from the recording.
    std::function<void(const AudioLoss &loss)> onAudioLost;
};
