#include "privatebus.h"
#include "singleinstance.h"
#include "testutil.h"

#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QDBusConnection connect(const QString &address, const QString &name)
{
    return QDBusConnection::connectToBus(address, name);
}

class SingleInstanceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (bus.address().isEmpty())
            GTEST_SKIP() << "dbus-daemon is not available";
    }
    void TearDown() override
    {
        for (const QString &name : {u"first"_s, u"second"_s, u"third"_s})
            QDBusConnection::disconnectFromBus(name);
    }

    PrivateBus bus;
};

TEST_F(SingleInstanceTest, LaterStartsHandTheirRequestToTheFirst)
{
    SingleInstance first(connect(bus.address(), u"first"_s));
    int reopens = 0, toggles = 0;
    QObject::connect(&first, &SingleInstance::reopenRequested, &first, [&reopens] { ++reopens; });
    QObject::connect(&first, &SingleInstance::toggleRequested, &first, [&toggles] { ++toggles; });
    EXPECT_EQ(QCoro::waitFor(first.claim(SingleInstance::Request::reopen)), SingleInstance::Role::primary);

    SingleInstance second(connect(bus.address(), u"second"_s));
    EXPECT_EQ(QCoro::waitFor(second.claim(SingleInstance::Request::reopen)), SingleInstance::Role::forwarded);
    EXPECT_TRUE(TestUtil::runUntil([&] { return reopens == 1; }));
    EXPECT_EQ(QCoro::waitFor(second.claim(SingleInstance::Request::toggle)), SingleInstance::Role::forwarded);
    EXPECT_TRUE(TestUtil::runUntil([&] { return toggles == 1; }));
    EXPECT_EQ(reopens, 1);
}

TEST_F(SingleInstanceTest, NameIsFreeAgainWhenTheFirstEnds)
{
    {
        SingleInstance first(connect(bus.address(), u"first"_s));
        ASSERT_EQ(QCoro::waitFor(first.claim(SingleInstance::Request::reopen)), SingleInstance::Role::primary);
    }
    SingleInstance next(connect(bus.address(), u"second"_s));
    EXPECT_EQ(QCoro::waitFor(next.claim(SingleInstance::Request::reopen)), SingleInstance::Role::primary);
}

TEST_F(SingleInstanceTest, NameHeldBySomethingThatDoesNotAnswerIsAFailure)
{
    QDBusConnection squatter = connect(bus.address(), u"third"_s);
    ASSERT_TRUE(squatter.registerService(SingleInstance::serviceName.toString()));
    SingleInstance late(connect(bus.address(), u"second"_s));
    EXPECT_EQ(QCoro::waitFor(late.claim(SingleInstance::Request::reopen)), SingleInstance::Role::forwardFailed);
}

TEST(SingleInstance, NoBusIsReported)
{
    SingleInstance alone(QDBusConnection::connectToBus(u"unix:path=/nonexistent/verbulo-bus"_s, u"nowhere"_s));
    EXPECT_EQ(QCoro::waitFor(alone.claim(SingleInstance::Request::reopen)), SingleInstance::Role::noBus);
    QDBusConnection::disconnectFromBus(u"nowhere"_s);
}

} // namespace
