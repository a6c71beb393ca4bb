// KWinActiveWindow against a stand-in KWin on a private bus: what happens when KWin goes and comes
// back, and that nobody else is listened to. The real KWin is met in insertion_kde_test.
#include "../app/privatebus.h"
#include "platform/wayland/kwinactivewindow.h"
#include "testutil.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class StandInKWin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Scripting")
public:
    QStringList loaded;
    QStringList unloaded;
    int started = 0;
    QString scriptPath;

public Q_SLOTS:
    Q_SCRIPTABLE int loadScript(const QString &path, const QString &name)
    {
        scriptPath = path;
        loaded.append(name);
        return int(loaded.size());
    }
    Q_SCRIPTABLE void start() { ++started; }
    Q_SCRIPTABLE bool unloadScript(const QString &name)
    {
        unloaded.append(name);
        return true;
    }
};

// What the script would call, from `connection`, to `kwin` on `ours`.
QDBusMessage tell(
    QDBusConnection connection, const QDBusConnection &ours, const KWinActiveWindow &kwin, const QVariantList &window)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        ours.baseService(), kwin.objectPath(), u"com.plumrest.Vorsik.KWinActiveWindow"_s, u"Activated"_s);
    call.setArguments(window);
    QDBusPendingCall pending = connection.asyncCall(call);
    TestUtil::runUntil([&] { return pending.isFinished(); }, 5s);
    return pending.reply();
}

} // namespace

TEST(KWinActiveWindow, LoadsItsScriptIntoEachKWinThatComesAndHearsOnlyKWin)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    StandInKWin standIn;
    const auto startKWin = [&](const QString &name) {
        QDBusConnection kwinBus = QDBusConnection::connectToBus(bus.address(), name);
        kwinBus.registerObject(u"/Scripting"_s, &standIn, QDBusConnection::ExportScriptableSlots);
        return kwinBus.registerService(u"org.kde.KWin"_s);
    };
    ASSERT_TRUE(startKWin(u"kwin"_s));
    // A run that crashed left its script loaded; its bus name is gone.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QFile records(runtime.filePath(u"vorsik-kwin-scripts"_s));
    ASSERT_TRUE(records.open(QIODevice::WriteOnly) && records.write(":1.9999\tvorsik-activewindow_1_9999-1\n") > 0);
    records.close();

    const QDBusConnection ours = QDBusConnection::connectToBus(bus.address(), u"ours"_s);
    auto kwin = std::make_unique<KWinActiveWindow>(ours);
    ASSERT_TRUE(TestUtil::runUntil([&] { return standIn.started == 1; }, 5s));
    EXPECT_EQ(standIn.loaded, QStringList { kwin->pluginName() });
    EXPECT_EQ(standIn.unloaded, QStringList { u"vorsik-activewindow_1_9999-1"_s });
    // Noted in its place, for the next start should this run end without unloading it.
    ASSERT_TRUE(records.open(QIODevice::ReadOnly));
    EXPECT_EQ(records.readAll(), (ours.baseService() + u'\t' + kwin->pluginName() + u'\n').toUtf8());
    records.close();
    // Whoever could write the script could run code inside KWin.
    const QFileDevice::Permissions forEveryone = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(standIn.scriptPath) & forEveryone, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile script(standIn.scriptPath);
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    const QByteArray text = script.readAll();
    EXPECT_TRUE(text.contains(ours.baseService().toUtf8()) && text.contains(kwin->objectPath().toUtf8()));
    EXPECT_FALSE(kwin->isAvailable());

    const QVariantList konsole { u"{a}"_s, u"~ : bash"_s, u"org.kde.konsole"_s, u"konsole"_s, 4242 };
    const QVariantList other { u"{b}"_s, u"Other"_s, QString(), u"other"_s, 4343 };
    EXPECT_EQ(tell(QDBusConnection(u"kwin"_s), ours, *kwin, konsole).type(), QDBusMessage::ReplyMessage);
    const auto front = kwin->activeWindow();
    ASSERT_TRUE(kwin->isAvailable() && front);
    EXPECT_EQ(front->title, u"~ : bash"_s);
    EXPECT_EQ(front->appId, u"org.kde.konsole\nkonsole"_s);
    EXPECT_EQ(front->processIdentifier, 4242);

    const QDBusConnection stranger = QDBusConnection::connectToBus(bus.address(), u"stranger"_s);
    EXPECT_EQ(tell(stranger, ours, *kwin, other).type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(kwin->activeWindow()->id, front->id);

    QDBusConnection::disconnectFromBus(u"kwin"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return !kwin->isAvailable(); }, 5s));
    EXPECT_FALSE(kwin->activeWindow());

    ASSERT_TRUE(startKWin(u"kwin again"_s));
    ASSERT_TRUE(TestUtil::runUntil([&] { return standIn.started == 2; }, 5s));
    EXPECT_EQ(standIn.loaded, QStringList(2, kwin->pluginName()));
    EXPECT_EQ(tell(QDBusConnection(u"kwin again"_s), ours, *kwin, other).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(kwin->activeWindow());
    EXPECT_EQ(kwin->activeWindow()->title, u"Other"_s);

    const QString plugin = kwin->pluginName();
    kwin.reset();
    EXPECT_TRUE(TestUtil::runUntil([&] { return standIn.unloaded.size() == 2; }, 5s));
    EXPECT_EQ(standIn.unloaded.last(), plugin);
}

#include "kwinactivewindow_test.moc"
