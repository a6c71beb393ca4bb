#include "insertion/atspi/atspiconnection.h"

#include <dlfcn.h>

// libatspi attaches the private connection it opens to each application to the process's default
// context, which Qt iterates on the main thread: the main thread then reads replies meant for the
// accessibility thread, whose blocking calls run out their time-out, and the application is taken
// for hung (an editor's field unseen, a paste unconfirmed). atspi_set_main_context() moves only the
// connections that exist when it is called, and libatspi (2.46 in Debian 12) offers no other way
// to name the context for those made later. Defined here, this function takes the place of
// libatspi's own for libatspi's calls as well; it is process-wide, so it changes nothing but the
// default context, and only once a back end has connected: any other caller gets libatspi's own
// behaviour.
//
// This file is linked as an object of its own into everything that links the back end, never
// from its archive: nothing names this function, so an archive member would be left out, and the
// program's shared library hides whatever its archives define (--exclude-libs).
extern "C" __attribute__((visibility("default"))) void atspi_dbus_connection_setup_with_g_main(
    DBusConnection *connection, GMainContext *context)
{
    using Setup = void (*)(DBusConnection *, GMainContext *);
    static const auto setUp = reinterpret_cast<Setup>(dlsym(RTLD_NEXT, "atspi_dbus_connection_setup_with_g_main"));
    GMainContext *const ours = atspiMainContext();
    if (ours && (!context || context == g_main_context_default()))
        context = ours;
    if (setUp)
        setUp(connection, context);
}
