#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <utility>
#include <vector>

struct AudioLoss;

// What one dictation lost of the user's speech, in words for the user.
class DictationLosses {
public:
    void clear();
    // A recogniser or the microphone lost part of the speech.
    void note(const QString &message);
    // Audio the main thread did not take in time was dropped.
    void add(const AudioLoss &loss);
    // Empty when nothing was lost.
    QString text() const;

private:
    QStringList m_notes;
    // Stretches of the recording dropped before the main thread took them, in order.
    std::vector<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> m_lostAudio;
};
