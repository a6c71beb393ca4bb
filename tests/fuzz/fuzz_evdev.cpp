#include "fuzzing.h"
#include "input/evdev/evdevdevice.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

// Records as a keyboard delivers them, cut anywhere, ending with the unplug,
// which the device must notice whatever came before.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_evdev";
    static char *argv[] = { name, nullptr };
    static QCoreApplication application(argc, argv);
    // A pipe answers no key-state query; the warning it earns would flood the run.
    QLoggingCategory::setFilterRules(QStringLiteral("verbulo.*=false"));

    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return 0;
    const ssize_t written = ::write(fds[1], data, std::min<size_t>(size, 60000)); // a pipe holds 64 KiB
    ::close(fds[1]);
    bool gone = false;
    EvdevDevice device(fds[0]);
    QObject::connect(&device, &EvdevDevice::gone, &device, [&gone] { gone = true; });
    for (int round = 0; round < 100 && !gone; ++round)
        QCoreApplication::processEvents();
    FUZZ_EXPECT(written < 0 || gone);
    return 0;
}
