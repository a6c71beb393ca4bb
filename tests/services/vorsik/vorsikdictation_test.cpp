#include "appsettings.h"
#include "fakeneighbours.h"
#include "loopbackhttpserver.h"
#include "vorsikapiclient.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// The controller with the real client over real HTTP: the installation registers while the user
// speaks, and the recorded PCM comes back as inserted text on the same connection.
TEST(VorsikDictationTest, RecordedPCMReachesTheBackendAndItsTextIsInserted)
{
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    AppSettings::setString(AppSettings::Keys::aiProvider, u"vorsik"_s);
    LoopbackHttpServer server;
    ASSERT_TRUE(server.listen());
    server.enqueue(LoopbackHttpServer::Response::json(200, R"({"installation_token":"tok"})"));
    server.enqueue(LoopbackHttpServer::Response::json(200, R"({"text":"Привет из Ворсика.\n"})"));
    VorsikAPIConfiguration configuration({ server.baseUrl().toString(), u"1.0"_s, u"7"_s });
    VorsikAPIClient client(configuration);
    FakeNeighbourhood fakes;
    DictationSessionController::Neighbours neighbours = fakes.neighbours();
    neighbours.backendConfiguration = &configuration;
    neighbours.vorsikAPIClient = &client;
    DictationSessionController controller(std::move(neighbours));

    controller.toggleDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::recording; }, 30s));
    fakes.recorder.feed(QByteArray(20000, '\x05'));
    ASSERT_TRUE(TestUtil::runUntil([&] { return server.requestCount() == 1; }, 30s));
    controller.toggleDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return !fakes.inserter.insertedTexts.isEmpty(); }, 30s));
    EXPECT_EQ(fakes.inserter.insertedTexts, QStringList { u"Привет из Ворсика."_s });
    ASSERT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_TRUE(server.requests()[1].body.contains(QByteArray(20000, '\x05') + "\r\n"));
}
