#pragma once

#include <QByteArray>
#include <QString>

// What one message of the realtime transcription socket means to a dictation.
// Anything unreadable or of another type is `ignored`, never a failure.
struct RealtimeEvent {
    enum class Kind { ignored, partial, final, error };

    Kind kind = Kind::ignored;
    // The delta, the whole transcript (empty when the server sent none) or the server's message.
    QString text;

    static RealtimeEvent read(const QByteArray &message);
};
