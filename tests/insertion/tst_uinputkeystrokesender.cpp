#include "uinputkeystrokesender.h"

#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

// The virtual keyboard is read back through its own device node.
TEST(UinputKeystrokeSenderTest, TypesControlShiftV)
{
    if (::access("/dev/uinput", W_OK) != 0)
        GTEST_SKIP() << "/dev/uinput is not writable here";
    UinputKeystrokeSender sender;
    ASSERT_STRNE(sender.deviceNode(), "");
    const int fd = ::open(sender.deviceNode(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    libevdev *device = nullptr;
    ASSERT_EQ(libevdev_new_from_fd(fd, &device), 0);

    ASSERT_TRUE(sender.sendPaste(PasteShortcut::controlShiftV));
    using Keys = std::vector<std::pair<unsigned int, int>>;
    Keys keys;
    pollfd readable { fd, POLLIN, 0 };
    while (keys.size() < 6 && ::poll(&readable, 1, 2000) > 0) {
        input_event event;
        while (libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL, &event) == LIBEVDEV_READ_STATUS_SUCCESS) {
            if (event.type == EV_KEY)
                keys.emplace_back(event.code, event.value);
        }
    }
    EXPECT_EQ(keys,
        (Keys { { KEY_LEFTCTRL, 1 }, { KEY_LEFTSHIFT, 1 }, { KEY_V, 1 }, { KEY_V, 0 }, { KEY_LEFTSHIFT, 0 },
            { KEY_LEFTCTRL, 0 } }));
    libevdev_free(device);
    ::close(fd);
}
