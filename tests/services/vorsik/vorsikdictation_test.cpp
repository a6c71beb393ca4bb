#include "appsettings.h"
#include "fakeneighbours.h"
#include "loopbackhttpserver.h"
#include "vorsikapiclient.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// A whole dictation with the own backend: the controller, the real client and a real
// HTTP exchange; only the recorder, the inserter and the windows are fakes.
TEST(VorsikDictationTest, RecordedPCMReachesTheBackendAndItsTextIsInserted)
{
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    AppSettings::setString(AppSettings::Keys::aiProvider, u"vorsik"_s);
    AppSettings::setString(AppSettings::Keys::smartMode, u"structured"_s);

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
    QByteArray recorded;
    for (char sample = 1; sample <= 5; ++sample) {
        const QByteArray chunk(4096, sample);
        fakes.recorder.feed(chunk);
        recorded += chunk;
    }
    // The installation registers while the user speaks.
    ASSERT_TRUE(TestUtil::runUntil([&] { return server.requestCount() == 1; }, 30s));
    controller.toggleDictation();

    ASSERT_TRUE(TestUtil::runUntil([&] { return !fakes.inserter.insertedTexts.isEmpty(); }, 30s))
        << fakes.log->join(u'\n').toStdString();
    EXPECT_EQ(fakes.inserter.insertedTexts, QStringList { u"Привет из Ворсика."_s });
    EXPECT_EQ(AppSettings::lastText(), u"Привет из Ворсика."_s);
    EXPECT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 30s));

    ASSERT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.connectionCount(), 1);
    const QByteArray body = server.requests().at(1).body;
    const qsizetype wav = body.indexOf("RIFF");
    ASSERT_GE(wav, 0);
    EXPECT_EQ(body.mid(wav + 44, recorded.size()), recorded);
    EXPECT_EQ(body.mid(wav + 44 + recorded.size(), 2), "\r\n");
    EXPECT_TRUE(body.contains("name=\"mode\"\r\n\r\nstructured\r\n"));
}
