#pragma once

#include "core/enums.h"

#include <array>
#include <optional>
#include <string_view>

// Where the one dictation stands. The public DictationState is coarser: the overlay, the
// tray and the shell see idle, connecting, recording or processing.
enum class DictationPhase {
    idle,
    readingKey, // the keyring answers (its unlock prompt may be up); shown as idle
    connecting,
    connectingToStop, // pressed again while connecting: stops as soon as it records
    recording,
    finishing, // the recorder stopped; the text is awaited
    completing, // the text is edited and pasted: a second result or a late error changes nothing
};

// What happens to it.
enum class DictationEvent {
    keyNeeded, // the press was accepted; the provider's key is read first
    connect, // the press was accepted (and the key is known)
    press, // Fn again, while it is not recording
    recordingStarted,
    stop, // Fn, the menu, or the microphone went away
    text, // the recognised text came
    error, // the provider failed
    end, // the dictation is over: done, given up, or the program quits
};

struct DictationTransition {
    DictationPhase from;
    DictationEvent event;
    DictationPhase to;
};

// Every transition there is; any other event leaves the phase as it is, ignored.
// docs/architecture.md shows this table, and a test keeps the two equal.
inline constexpr std::array dictationTransitions {
    DictationTransition { DictationPhase::idle, DictationEvent::keyNeeded, DictationPhase::readingKey },
    DictationTransition { DictationPhase::idle, DictationEvent::connect, DictationPhase::connecting },
    DictationTransition { DictationPhase::readingKey, DictationEvent::connect, DictationPhase::connecting },
    DictationTransition { DictationPhase::readingKey, DictationEvent::press, DictationPhase::idle },
    DictationTransition { DictationPhase::readingKey, DictationEvent::end, DictationPhase::idle },
    DictationTransition { DictationPhase::connecting, DictationEvent::press, DictationPhase::connectingToStop },
    DictationTransition { DictationPhase::connecting, DictationEvent::recordingStarted, DictationPhase::recording },
    DictationTransition { DictationPhase::connecting, DictationEvent::error, DictationPhase::idle },
    DictationTransition { DictationPhase::connecting, DictationEvent::end, DictationPhase::idle },
    DictationTransition {
        DictationPhase::connectingToStop, DictationEvent::recordingStarted, DictationPhase::recording },
    DictationTransition { DictationPhase::connectingToStop, DictationEvent::error, DictationPhase::idle },
    DictationTransition { DictationPhase::connectingToStop, DictationEvent::end, DictationPhase::idle },
    DictationTransition { DictationPhase::recording, DictationEvent::stop, DictationPhase::finishing },
    DictationTransition { DictationPhase::recording, DictationEvent::text, DictationPhase::completing },
    DictationTransition { DictationPhase::recording, DictationEvent::error, DictationPhase::idle },
    DictationTransition { DictationPhase::recording, DictationEvent::end, DictationPhase::idle },
    DictationTransition { DictationPhase::finishing, DictationEvent::text, DictationPhase::completing },
    DictationTransition { DictationPhase::finishing, DictationEvent::error, DictationPhase::idle },
    DictationTransition { DictationPhase::finishing, DictationEvent::end, DictationPhase::idle },
    DictationTransition { DictationPhase::completing, DictationEvent::end, DictationPhase::idle },
};

constexpr std::optional<DictationPhase> nextPhase(DictationPhase from, DictationEvent event)
{
    for (const DictationTransition &transition : dictationTransitions)
        if (transition.from == from && transition.event == event)
            return transition.to;
    return std::nullopt;
}

constexpr DictationState publicState(DictationPhase phase)
{
    switch (phase) {
    case DictationPhase::idle:
    case DictationPhase::readingKey:
        return DictationState::idle;
    case DictationPhase::connecting:
    case DictationPhase::connectingToStop:
        return DictationState::connecting;
    case DictationPhase::recording:
        return DictationState::recording;
    case DictationPhase::finishing:
    case DictationPhase::completing:
        break;
    }
    return DictationState::processing;
}

constexpr std::string_view name(DictationPhase phase)
{
    constexpr std::array names { "idle", "readingKey", "connecting", "connectingToStop", "recording", "finishing",
        "completing" };
    return names.at(std::size_t(phase));
}

constexpr std::string_view name(DictationEvent event)
{
    constexpr std::array names { "keyNeeded", "connect", "press", "recordingStarted", "stop", "text", "error", "end" };
    return names.at(std::size_t(event));
}
