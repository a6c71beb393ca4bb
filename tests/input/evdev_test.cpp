#include "input/evdev/evdevdevice.h"
#include "input/evdev/evdevfnkeysource.h"
#include "input/fnkeymonitor.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <linux/input.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray record(quint16 type, quint16 code, qint32 value)
{
    const input_event event { .time = {}, .type = type, .code = code, .value = value };
    return QByteArray(reinterpret_cast<const char *>(&event), sizeof event);
}

QByteArray key(quint16 code, qint32 value) { return record(EV_KEY, code, value) + record(EV_SYN, SYN_REPORT, 0); }

void writeAll(int fd, const QByteArray &bytes)
{
    ASSERT_EQ(::write(fd, bytes.constData(), bytes.size()), bytes.size());
}

const QByteArray press = key(KEY_FN, 1), repeat = key(KEY_FN, 2), release = key(KEY_FN, 0);

// One device read through a pipe; each write goes separately, the event loop running in between.
TEST(EvdevDeviceReading, ReportsFnChangesOnly)
{
    const std::tuple<const char *, std::vector<QByteArray>, std::vector<bool>> cases[] = {
        { "held with repeats", { press, repeat }, { true } },
        { "other keys ignored",
            { key(KEY_LEFTSHIFT, 1), press, key(KEY_A, 1), key(KEY_A, 0), key(KEY_LEFTSHIFT, 0), release,
                key(KEY_F1, 1) },
            { true, false } },
        { "many records in one read", { press + repeat + release + press + release }, { true, false, true, false } },
        { "short read waits for the rest", { press.left(10), press.mid(10, 20), press.mid(30) + release },
            { true, false } },
        { "repeat alone is no press", { repeat, repeat }, {} },
        // After the kernel drops events, everything up to the next report is stale.
        { "dropped events ignored until the report",
            { record(EV_SYN, SYN_DROPPED, 0) + record(EV_KEY, KEY_FN, 1) + record(EV_SYN, SYN_REPORT, 0), press },
            { true } },
    };
    for (const auto &[name, writes, expected] : cases) {
        SCOPED_TRACE(name);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        EvdevDevice device(fds[0]);
        std::vector<bool> changes;
        QObject::connect(&device, &EvdevDevice::fnStateChanged, &device, [&](bool down) { changes.push_back(down); });
        for (const QByteArray &bytes : writes) {
            writeAll(fds[1], bytes);
            TestUtil::runFor(50ms);
        }
        TestUtil::runUntil([&] { return changes.size() >= expected.size(); }, 5s);
        TestUtil::runFor(50ms);
        EXPECT_EQ(changes, expected);
        ::close(fds[1]);
    }
}

// A directory standing in for /dev/input: each FIFO is a device; those whose inode is in
// `keyboards` report KEY_FN; `denied` ones cannot be opened. A writer is held open, so the reader
// sees no end of file until the test unplugs the device.
struct FakeInputDirectory {
    QTemporaryDir dir;
    QSet<ino_t> keyboards;
    QSet<QString> denied;
    QHash<QString, int> writers;
    QStringList told;

    ~FakeInputDirectory()
    {
        for (const int fd : std::as_const(writers))
            ::close(fd);
    }

    void add(const QString &name, bool reportsFn)
    {
        const QByteArray file = QFile::encodeName(dir.filePath(name));
        struct stat status;
        ASSERT_TRUE(::mkfifo(file.constData(), 0600) == 0
            && (writers[name] = ::open(file.constData(), O_RDWR | O_CLOEXEC)) >= 0
            && ::stat(file.constData(), &status) == 0);
        if (reportsFn)
            keyboards.insert(status.st_ino);
    }

    void unplug(const QString &name)
    {
        ::close(writers.take(name));
        QFile::remove(dir.filePath(name));
    }

    // A source over this directory, added to `monitor`, whose messages to the user land in `told`.
    EvdevFnKeySource *watchBy(FnKeyMonitor &monitor)
    {
        QObject::connect(
            &monitor, &FnKeyMonitor::keyboardUnavailable, &monitor, [this](const QString &text) { told.append(text); });
        EvdevFnKeySource::Access access;
        access.directory = dir.path();
        access.open = [this](const QString &path) {
            if (denied.contains(QFileInfo(path).fileName()))
                return -EACCES;
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0 ? fd : -errno;
        };
        access.reportsFnKey = [this](int fd) {
            struct stat status;
            return ::fstat(fd, &status) == 0 && keyboards.contains(status.st_ino);
        };
        auto source = std::make_unique<EvdevFnKeySource>(access);
        EvdevFnKeySource *watching = source.get();
        monitor.addSource(std::move(source));
        return watching;
    }
};

TEST(EvdevFnKeySource, ReadsFnKeyboardsAsTheyComeAndGo)
{
    FakeInputDirectory input;
    input.add(u"event0"_s, true);
    input.add(u"event1"_s, false);
    input.add(u"mouse0"_s, true); // not an event device
    input.add(u"event3"_s, true);
    input.denied.insert(u"event3"_s); // no message while another keyboard serves
    int actions = 0;
    FnKeyMonitor monitor([&actions] { ++actions; });
    EvdevFnKeySource *source = input.watchBy(monitor);
    EXPECT_EQ(source->deviceCount(), 1);

    // A keyboard plugged in later is read too; unplugged while holding Fn, it no longer holds it.
    input.add(u"event2"_s, true);
    ASSERT_TRUE(TestUtil::runUntil([&] { return source->deviceCount() == 2; }));
    writeAll(input.writers.value(u"event2"_s), press);
    ASSERT_TRUE(TestUtil::runUntil([&] { return actions == 1 && monitor.fnIsDown(); }));
    input.unplug(u"event2"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return source->deviceCount() == 1; }));
    EXPECT_FALSE(monitor.fnIsDown());
    EXPECT_TRUE(input.told.isEmpty());
}

TEST(EvdevFnKeySource, TellsTheUserOnceWhatToDoWithoutAReadableFnKeyboard)
{
    using Devices = std::vector<std::pair<const char *, bool>>; // name, reports KEY_FN
    const std::tuple<const char *, Devices, const char *, QString> cases[] = {
        { "no devices", {}, "", EvdevFnKeySource::noFnKeyDescription() },
        { "none reports Fn", { { "event0", false }, { "event1", false } }, "", EvdevFnKeySource::noFnKeyDescription() },
        { "permission denied", { { "event0", false }, { "event1", true } }, "event1",
            EvdevFnKeySource::permissionDeniedDescription() },
    };
    for (const auto &[name, devices, denied, told] : cases) {
        SCOPED_TRACE(name);
        FakeInputDirectory input;
        for (const auto &[device, reportsFn] : devices)
            input.add(QString::fromLatin1(device), reportsFn);
        input.denied.insert(QString::fromLatin1(denied));
        FnKeyMonitor monitor({});
        input.watchBy(monitor);
        // A later change under the directory does not repeat the message.
        input.add(u"event7"_s, false);
        TestUtil::runFor(300ms);
        EXPECT_EQ(input.told, QStringList { told });
    }
}

} // namespace
