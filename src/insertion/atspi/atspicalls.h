#pragma once

#include "insertion/atspi/atspielement.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>

#include <chrono>
#include <optional>
#include <vector>

// Every call made to another application goes through here: none after the capture's deadline,
// none to this program itself, none to an application that let one run out a moment ago; each is
// timed.
class AtspiCalls {
public:
    // Each call's time-out; an application that lets three quarters of it run out is left alone for the pause.
    static constexpr std::chrono::milliseconds callTimeout { 400 };
    static constexpr std::chrono::milliseconds hungApplicationPause { 3000 };

    // Whether calls to the application behind this element may be made: never to
    // this program itself (it would answer only after the time-out) nor to one that seems hung.
    bool mayCall(const AtspiElement &element);

    std::optional<qint32> processOf(const AtspiElement &element);

    // Runs one call to the element's application, timing it and noting a hang.
    template<typename Call>
    auto call(const AtspiElement &element, Call &&run) -> decltype(run(static_cast<GError **>(nullptr)))
    {
        using Result = decltype(run(static_cast<GError **>(nullptr)));
        if (!mayCall(element))
            return Result {};
        GError *error = nullptr;
        QElapsedTimer elapsed;
        elapsed.start();
        Result result = run(&error);
        const auto took = std::chrono::nanoseconds(elapsed.nsecsElapsed());
        timeInCalls += took;
        if (took >= callTimeout * 3 / 4)
            hungUntil.insert(element.busName(), QDeadlineTimer(hungApplicationPause));
        if (error) {
            g_error_free(error);
            return Result {};
        }
        return result;
    }

    // Asked of the application itself. libatspi's copy changes only with the events some client
    // listens to, which arrive late under load: a window made active or a tab switched a moment ago
    // could read as before. Its cache is left alone: libatspi's own event handling relies on it.
    bool hasState(const AtspiElement &element, AtspiStateType state);

    std::vector<ElementPtr> children(const AtspiElement &element);

    QDeadlineTimer deadline { QDeadlineTimer::Forever };
    std::chrono::nanoseconds timeInCalls { 0 };

private:
    QHash<QString, qint32> processByBusName;
    QHash<QString, QDeadlineTimer> hungUntil;
};
