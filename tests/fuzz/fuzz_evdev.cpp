#include "evdevdevice.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Records as a keyboard device delivers them, cut anywhere, ending with the unplug.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_evdev";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);

    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return 0;
    // A pipe holds 64 KiB; more would block the writer.
    const ssize_t written = ::write(fds[1], data, std::min<size_t>(size, 60000));
    ::close(fds[1]);
    bool gone = false;
    EvdevDevice device(fds[0]);
    QObject::connect(&device, &EvdevDevice::gone, &device, [&gone] { gone = true; });
    for (int round = 0; round < 100 && !gone; ++round)
        QCoreApplication::processEvents();
    if (written >= 0 && !gone)
        __builtin_trap();
    return 0;
}
