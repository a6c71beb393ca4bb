#include "evdevdevice.h"
#include "evdevfnkeysource.h"
#include "fnkeymonitor.h"
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

// One device read through a pipe.
struct ReadCase {
    const char *name;
    std::vector<QByteArray> writes; // each written separately, the event loop running in between
    std::vector<bool> changes;
};

void PrintTo(const ReadCase &c, std::ostream *out) { *out << c.name; }

class EvdevDeviceReading : public ::testing::TestWithParam<ReadCase> { };

TEST_P(EvdevDeviceReading, ReportsFnChangesOnly)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    EvdevDevice device(fds[0]);
    std::vector<bool> changes;
    QObject::connect(
        &device, &EvdevDevice::fnStateChanged, &device, [&changes](bool down) { changes.push_back(down); });

    for (const QByteArray &bytes : GetParam().writes) {
        writeAll(fds[1], bytes);
        TestUtil::runFor(50ms);
    }
    TestUtil::runUntil([&] { return changes.size() >= GetParam().changes.size(); }, 5s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(changes, GetParam().changes);
    ::close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(Records, EvdevDeviceReading,
    ::testing::Values(ReadCase { "PressRepeatRelease", { press, repeat, repeat, release }, { true, false } },
        ReadCase { "OtherKeysIgnored",
            { key(KEY_LEFTSHIFT, 1), press, key(KEY_A, 1), key(KEY_A, 0), key(KEY_LEFTSHIFT, 0), release,
                key(KEY_F1, 1) },
            { true, false } },
        ReadCase {
            "ManyRecordsInOneRead", { press + repeat + release + press + release }, { true, false, true, false } },
        ReadCase { "ShortReadWaitsForTheRest", { press.left(10), press.mid(10, 20), press.mid(30) + release },
            { true, false } },
        ReadCase { "RepeatAloneIsNoPress", { repeat, repeat }, {} },
        // After the kernel drops events, everything up to the next report is stale.
        ReadCase { "DroppedEventsIgnoredUntilReport",
            { record(EV_SYN, SYN_DROPPED, 0) + record(EV_KEY, KEY_FN, 1) + record(EV_SYN, SYN_REPORT, 0), press },
            { true } }),
    [](const auto &info) { return std::string(info.param.name); });

// A directory standing in for /dev/input: each FIFO is a device; those whose
// inode is in `keyboards` report KEY_FN; `denied` ones cannot be opened.
struct FakeInputDirectory {
    QTemporaryDir dir;
    QSet<ino_t> keyboards;
    QSet<QString> denied;
    QHash<QString, int> writers;

    ~FakeInputDirectory()
    {
        for (const int fd : std::as_const(writers))
            ::close(fd);
    }

    void add(const QString &name, bool reportsFn)
    {
        const QByteArray file = QFile::encodeName(dir.filePath(name));
        struct stat status;
        // A writer is held open, so the reader sees no end of file until the test unplugs the device.
        ASSERT_TRUE(::mkfifo(file.constData(), 0600) == 0
            && (writers[name] = ::open(file.constData(), O_RDWR | O_CLOEXEC)) >= 0
            && ::stat(file.constData(), &status) == 0);
        if (reportsFn)
            keyboards.insert(status.st_ino);
    }

    // What the monitor tells the user, through `monitor`, which passes on what its sources report.
    QStringList *toldBy(FnKeyMonitor &monitor)
    {
        QObject::connect(
            &monitor, &FnKeyMonitor::keyboardUnavailable, &monitor, [this](const QString &text) { told.append(text); });
        return &told;
    }
    QStringList told;

    void send(const QString &name, const QByteArray &bytes) { writeAll(writers.value(name), bytes); }

    void unplug(const QString &name)
    {
        ::close(writers.take(name));
        QFile::remove(dir.filePath(name));
    }

    EvdevFnKeySource::Access access()
    {
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
        return access;
    }
};

TEST(EvdevFnKeySource, FollowsKeyboardsAsTheyComeAndGo)
{
    FakeInputDirectory input;
    input.add(u"event0"_s, true);
    input.add(u"event1"_s, false);
    input.add(u"mouse0"_s, true); // not an event device

    int actions = 0;
    FnKeyMonitor monitor([&actions] { ++actions; });
    auto owned = std::make_unique<EvdevFnKeySource>(input.access());
    EvdevFnKeySource *source = owned.get();
    const QStringList *told = input.toldBy(monitor);
    monitor.addSource(std::move(owned));
    EXPECT_EQ(source->deviceCount(), 1);
    EXPECT_TRUE(told->isEmpty());

    input.send(u"event0"_s, press + repeat + release);
    ASSERT_TRUE(TestUtil::runUntil([&] { return actions == 1 && !monitor.fnIsDown(); }));

    // A keyboard plugged in later is read too; Fn held on both keyboards is one press.
    input.add(u"event2"_s, true);
    ASSERT_TRUE(TestUtil::runUntil([&] { return source->deviceCount() == 2; }));
    input.send(u"event0"_s, press);
    ASSERT_TRUE(TestUtil::runUntil([&] { return actions == 2; }));
    input.send(u"event2"_s, press);
    TestUtil::runFor(100ms);
    input.send(u"event0"_s, release);
    TestUtil::runFor(100ms);
    EXPECT_TRUE(monitor.fnIsDown());

    // Unplugged while holding Fn: that keyboard no longer holds it.
    input.unplug(u"event2"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return source->deviceCount() == 1; }));
    EXPECT_FALSE(monitor.fnIsDown());
    EXPECT_EQ(actions, 2);
}

struct UnavailableCase {
    const char *name;
    std::vector<std::pair<const char *, bool>> devices; // name, reports KEY_FN
    std::vector<const char *> denied;
    std::optional<QString> told;
};

void PrintTo(const UnavailableCase &c, std::ostream *out) { *out << c.name; }

class EvdevUnavailable : public ::testing::TestWithParam<UnavailableCase> { };

TEST_P(EvdevUnavailable, TellsTheUserOnceWhatToDo)
{
    FakeInputDirectory input;
    for (const auto &[name, reportsFn] : GetParam().devices)
        input.add(QString::fromLatin1(name), reportsFn);
    for (const char *name : GetParam().denied)
        input.denied.insert(QString::fromLatin1(name));

    FnKeyMonitor monitor({});
    const QStringList *told = input.toldBy(monitor);
    monitor.addSource(std::make_unique<EvdevFnKeySource>(input.access()));
    // A later change under the directory does not repeat the message.
    input.add(u"event7"_s, false);
    TestUtil::runFor(300ms);
    EXPECT_EQ(*told, GetParam().told ? QStringList { *GetParam().told } : QStringList());
}

INSTANTIATE_TEST_SUITE_P(Keyboards, EvdevUnavailable,
    ::testing::Values(UnavailableCase { "NoDevices", {}, {}, EvdevFnKeySource::noFnKeyDescription() },
        UnavailableCase {
            "NoneReportsFn", { { "event0", false }, { "event1", false } }, {}, EvdevFnKeySource::noFnKeyDescription() },
        UnavailableCase { "PermissionDenied", { { "event0", false }, { "event1", true } }, { "event1" },
            EvdevFnKeySource::permissionDeniedDescription() },
        UnavailableCase {
            "OneKeyboardReadable", { { "event0", true }, { "event1", true } }, { "event1" }, std::nullopt }),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
