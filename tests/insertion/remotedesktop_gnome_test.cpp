// Pasting by keystrokes on GNOME (scripts/gnome-session, this process a Wayland client of mutter):
// the text on the Xwayland clipboard, Ctrl+V through a stand-in RemoteDesktop portal
// (remotedesktopstandin.py) that hands the keys to mutter's own remote-desktop session.
#include "../app/privatebus.h"
#include "core/appsettings.h"
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/pastepath.h"
#include "insertion/portal/remotedesktopkeystrokesender.h"
#include "insertion/textinserter.h"
#include "insertion/x11/xwaylandclipboard.h"
#include "insertiontargetapplication.h"
#include "testutil.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using State = RemoteDesktopKeystrokeSender::State;

namespace {

class StandInPortal {
public:
    explicit StandInPortal(const QString &mode, const QString &busAddress = {})
    {
        if (!busAddress.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
            m_process.setProcessEnvironment(environment);
        }
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(u"/usr/bin/python3"_s, { QStringLiteral(REMOTE_DESKTOP_STAND_IN), mode });
        m_ready = TestUtil::runUntil([&] { return readLines(), m_lines.contains("ready"); }, 10s);
    }
    ~StandInPortal()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_ready; }
    // How often the user was asked so far.
    qsizetype consents()
    {
        readLines();
        return m_lines.count("consent");
    }
    void close() { m_process.write("close\n"); }

private:
    void readLines()
    {
        while (m_process.canReadLine())
            m_lines.append(m_process.readLine().trimmed());
    }
    QProcess m_process;
    QByteArrayList m_lines;
    bool m_ready = false;
};

bool inGnomeSession() { return qEnvironmentVariableIsSet("VERBULO_GNOME_SESSION"); }

} // namespace

// Every way the path stays closed leaves an honest reason for the kept text, and a token that
// led nowhere is forgotten.
TEST(RemoteDesktopTest, WithoutConsentNoKeystrokeGoesOutAndTheReasonSaysWhy)
{
    if (QProcess::execute(u"/usr/bin/python3"_s, { u"-c"_s, u"import dbus, gi"_s }) != 0)
        GTEST_SKIP() << "needs python3-dbus and python3-gi";
    struct Row {
        const char *name;
        QString portalMode; // empty: no portal on the bus
        QString storedToken;
        State state;
        QString reason;
    };
    const Row rows[] = {
        { "no portal", {}, {}, State::noPortal, u"нет портала"_s },
        { "the user refuses", u"refuse"_s, {}, State::refused, u"не разрешил"_s },
        { "a token the portal rejects", u"grant"_s, u"stale"_s, State::failed, u"не открыл"_s },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PrivateBus bus;
        std::optional<StandInPortal> portal;
        if (!row.portalMode.isEmpty()) {
            portal.emplace(row.portalMode, bus.address());
            ASSERT_TRUE(portal->ready());
        }
        AppSettings::setString(AppSettings::Keys::remoteDesktopRestoreToken, row.storedToken);
        RemoteDesktopKeystrokeSender sender(QDBusConnection::connectToBus(bus.address(), QString::fromUtf8(row.name)));
        EXPECT_EQ(sender.state(), State::off);
        sender.setEnabled(true);
        ASSERT_TRUE(TestUtil::runUntil([&] { return sender.state() != State::starting; }, 10s));
        EXPECT_EQ(sender.state(), row.state);
        EXPECT_FALSE(sender.sendPaste(PasteShortcut::controlV));
        EXPECT_FALSE(sender.reaches({}));
        EXPECT_TRUE(sender.unavailableReason().contains(row.reason)) << sender.unavailableReason().toStdString();
        EXPECT_EQ(AppSettings::string(AppSettings::Keys::remoteDesktopRestoreToken).value_or(QString()), QString());
    }
}

// With consent Cyrillic arrives exactly in a native Wayland Qt field and a GTK entry, and the
// user's clipboard is back afterwards. A restart asks no second time; the desktop closing the
// session closes the path with its reason.
TEST(RemoteDesktopTest, WithConsentTheTextIsPastedAndTheClipboardRestored)
{
    if (!inGnomeSession() || QGuiApplication::platformName() != u"wayland"_s)
        GTEST_SKIP() << "needs scripts/gnome-session and QT_QPA_PLATFORM=wayland";
    StandInPortal portal(u"grant"_s);
    ASSERT_TRUE(portal.ready());
    AppSettings::remove(AppSettings::Keys::remoteDesktopRestoreToken);
    PastePath path = makePastePath();
    ASSERT_TRUE(path.setRemoteDesktopPaste) << "GNOME should offer the remote-desktop path";
    auto *sender = dynamic_cast<RemoteDesktopKeystrokeSender *>(path.keystrokes.get());
    ASSERT_TRUE(sender);
    EXPECT_EQ(sender->state(), State::off);
    path.setRemoteDesktopPaste(true);
    ASSERT_TRUE(TestUtil::runUntil([&] { return sender->state() == State::active; }, 10s));
    EXPECT_EQ(portal.consents(), 1);
    EXPECT_FALSE(AppSettings::string(AppSettings::Keys::remoteDesktopRestoreToken).value_or(QString()).isEmpty());

    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend(permission);
    TextInserter inserter(backend, *path.clipboard, *path.keystrokes);
    permission.enableBus();
    ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));

    const std::tuple<QString, QHash<QString, QString>> targets[]
        = { { QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } } },
              { QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s } } } };
    for (const auto &[program, environment] : targets) {
        SCOPED_TRACE(program.toStdString());
        TargetApplication target(program, environment);
        ASSERT_EQ(target.ask({}, "ready"), "ready");
        ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
        std::optional<TextInsertionTarget> captured;
        ASSERT_TRUE(TestUtil::runUntil(
            [&] {
                captured = QCoro::waitFor(inserter.captureTarget());
                return captured && captured->applicationPID == target.pid() && captured->focusedElement;
            },
            20s));
        // What the user copied last, in another program.
        const auto otherProgram = XwaylandClipboard::connect();
        ASSERT_TRUE(otherProgram);
        otherProgram->restore({ { { { u"text/plain"_s, "the user's own" }, { u"text/html"_s, "<b>own</b>" } } } });
        const bool qtTarget = program == QStringLiteral(INSERTION_TARGET_WINDOW);
        EXPECT_TRUE(path.keystrokes->reaches(*captured));
        const QString text = u"Съешь ещё этих мягких французских булок 🙂"_s;
        EXPECT_EQ(QCoro::waitFor(inserter.insert(text, captured)), TextInsertionOutcome::inserted());
        EXPECT_EQ(target.text("one"), text);
        if (qtTarget) {
            TestUtil::runFor(ClipboardPaste::restoreDelay + 300ms);
            const auto clipboard = target.clipboard();
            EXPECT_EQ(clipboard.first, "the user's own");
            EXPECT_EQ(clipboard.second, "<b>own</b>");
        }
    }

    PastePath restarted = makePastePath();
    auto *again = dynamic_cast<RemoteDesktopKeystrokeSender *>(restarted.keystrokes.get());
    restarted.setRemoteDesktopPaste(true);
    ASSERT_TRUE(TestUtil::runUntil([&] { return again->state() == State::active; }, 10s));
    EXPECT_EQ(portal.consents(), 1);

    portal.close();
    ASSERT_TRUE(TestUtil::runUntil([&] { return again->state() == State::closed; }, 10s));
    EXPECT_FALSE(again->reaches({}));
    EXPECT_TRUE(again->unavailableReason().contains(u"прекратил"_s));
}
