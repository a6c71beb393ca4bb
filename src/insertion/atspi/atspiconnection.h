#pragma once

#include "insertion/atspi/atspielement.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QStringList>

#include <vector>

class AtspiCalls;

// The main context of the thread that connected to AT-SPI last, null before; every use of
// libatspi happens on that thread. Safe to read from any thread.
GMainContext *atspiMainContext();

// The connection to the accessibility bus and the events it brings, all on the thread that
// connects: the focus and window activations applications announce are recorded here, and an
// application whose window comes to the front is asked, from outside event dispatch, to build
// its tree.
class AtspiConnection {
public:
    explicit AtspiConnection(AtspiCalls &calls);
    ~AtspiConnection();
    AtspiConnection(const AtspiConnection &) = delete;
    AtspiConnection &operator=(const AtspiConnection &) = delete;

    // Connects to the bus and listens for events in this thread's main context; false while
    // the bus is not there.
    bool connect();
    // libatspi aborts the process when asked anything without an accessibility
    // bus, so nothing below the connection check calls it until this is true.
    bool isConnected() const { return connected; }

    void greet(const AtspiElement &element);

    // Per application bus name: the element focus events last named, and the element whose
    // caret moved last (a second candidate: some applications tell of their field only so).
    QHash<QString, ElementPtr> focusedByApplication;
    QHash<QString, ElementPtr> caretByApplication;
    ElementPtr lastActivatedWindow;

private:
    static const QStringList eventTypes;

    static void onEvent(AtspiEvent *event, void *self);
    // Events can arrive in the middle of our own calls; this only records.
    void noteEvent(const AtspiEvent *event);
    // Outside event dispatch: a call made from there could nest inside one of our own.
    void scheduleGreeting(ElementPtr window);
    static gboolean greetPending(gpointer self);
    bool mayGreet(const QString &bus) const;

    AtspiCalls &calls;
    AtspiEventListener *listener = nullptr;
    bool connected = false;
    // Chromium and Electron build the tree of their pages only once an assistive client
    // asks one of their objects for its attributes. An application is asked as its window
    // comes to the front, so its focused field is known by the time of a capture, and again
    // (not more than once a second) while a capture finds no focus in it: asked before its
    // page was loaded, it may not have taken the hint.
    QHash<QString, QDeadlineTimer> greeted;
    std::vector<ElementPtr> toGreet;
    GSource *greeting = nullptr;
};
