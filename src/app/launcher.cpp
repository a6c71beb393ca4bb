#include "app/instancemessages.h"

#include <dbus/dbus.h>
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

// The `verbulo` command. Everything the program does lives in a library in its private folder
// (main.cpp), loaded here; the one exception is a bare `--toggle`, what a desktop shortcut runs
// on every press: it goes straight to the running instance over the session bus, before any of
// the libraries behind the interface are loaded, so a press costs a few milliseconds.

namespace {

struct Bus {
    DBusConnection *connection = nullptr;
    DBusMessage *call = nullptr;
    DBusMessage *reply = nullptr;
    DBusError error;
    Bus() { dbus_error_init(&error); }
    ~Bus()
    {
        if (reply)
            dbus_message_unref(reply);
        if (call)
            dbus_message_unref(call);
        if (connection) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
        dbus_error_free(&error);
    }
};

// The exit status once the running instance took the press; none when there is no bus or no
// instance, and the program itself is to start (and report or become the instance).
std::optional<int> forwardToggle()
{
    Bus bus;
    bus.connection = dbus_bus_get_private(DBUS_BUS_SESSION, &bus.error);
    if (!bus.connection)
        return std::nullopt;
    dbus_connection_set_exit_on_disconnect(bus.connection, false);
    bus.call = dbus_message_new_method_call(
        "com.plumrest.Vorsik", "/com/plumrest/Vorsik", "com.plumrest.Vorsik.Instance", "Toggle");
    if (!bus.call)
        return std::nullopt;
    dbus_message_set_auto_start(bus.call, false);
    bus.reply = dbus_connection_send_with_reply_and_block(bus.connection, bus.call, 10'000, &bus.error);
    if (bus.reply)
        return EXIT_SUCCESS;
    if (dbus_error_has_name(&bus.error, DBUS_ERROR_SERVICE_UNKNOWN)
        || dbus_error_has_name(&bus.error, DBUS_ERROR_NAME_HAS_NO_OWNER))
        return std::nullopt;
    // Not tried again: a late instance may still act on this press, and a second would undo it.
    std::fputs(instanceDidNotAnswer, stderr);
    return EXIT_FAILURE;
}

// The program's library, found from where this command is; empty when that cannot be told.
bool programLibrary(char (&path)[PATH_MAX])
{
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    char *folder = std::strrchr(path, '/');
    const std::size_t free = std::size_t(PATH_MAX - (folder + 1 - path));
    return std::snprintf(folder + 1, free, "%s", VERBULO_PRIVATE_FROM_BINDIR "/libverbulo-program.so") < int(free);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--toggle") == 0) {
        if (const std::optional<int> status = forwardToggle())
            return *status;
    }
    char library[PATH_MAX];
    void *program = programLibrary(library) ? dlopen(library, RTLD_LAZY | RTLD_GLOBAL) : nullptr;
    const auto run = program ? reinterpret_cast<int (*)(int, char **)>(dlsym(program, "verbulo_main")) : nullptr;
    if (!run) {
        const char *why = dlerror();
        std::fprintf(stderr, "verbulo: the program's files are incomplete (%s); reinstall Vorsik.\n",
            why ? why : "no program library beside the command");
        return EXIT_FAILURE;
    }
    return run(argc, argv);
}
