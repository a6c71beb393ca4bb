#include "appsettings.h"
#include "fakeneighbours.h"
#include "loopbackhttpserver.h"
#include "openaitestsupport.h"
#include "realtimetranscriber.h"
#include "textpolisher.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// Whole OpenAI dictations through the controller, the real transcriber and the real
// editor against loopback servers: the edited text is pasted, or the raw transcript
// when the editor fails.
TEST(OpenAIDictationTest, TranscriptIsEditedAndInserted)
{
    const QList<QPair<LoopbackHttpServer::Response, QString>> cases {
        { LoopbackHttpServer::Response::json(
              200, R"({"output":[{"content":[{"type":"output_text","text":"Привет, мир."}]}]})"),
            u"Привет, мир."_s },
        { LoopbackHttpServer::Response::json(401, R"({"error":{"message":"bad key"}})"), u"привет мир"_s },
    };
    for (const auto &[editorAnswer, inserted] : cases) {
        SCOPED_TRACE(inserted.toStdString());
        TestUtil::clearSettings();
        AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
        AppSettings::setString(AppSettings::Keys::aiProvider, u"openAI"_s);
        AppSettings::setString(AppSettings::Keys::smartMode, u"clean"_s);

        LoopbackWebSocketServer socketServer;
        socketServer.onMessage = [](QWebSocket &client, const QJsonObject &message) {
            if (message.value(u"type").toString() == u"input_audio_buffer.commit")
                client.sendTextMessage(
                    uR"({"type":"conversation.item.input_audio_transcription.completed","transcript":"привет мир"})"_s);
        };
        LoopbackHttpServer editor;
        ASSERT_TRUE(editor.listen());
        editor.enqueue(editorAnswer);

        OpenAITextPolisher polisher(OpenAIConfiguration(editor.baseUrl().toString()));
        FakeNeighbourhood fakes;
        fakes.keychain.items.insert(u"openai-api-key"_s, u"sk-test"_s);
        DictationSessionController::Neighbours neighbours = fakes.neighbours();
        neighbours.makeTranscriber = [url = socketServer.baseURL()](RealtimeTranscriberCallbacks callbacks) {
            return std::make_unique<RealtimeTranscriber>(std::move(callbacks), OpenAIConfiguration(url));
        };
        neighbours.textPolisher = &polisher;
        DictationSessionController controller(std::move(neighbours));

        controller.toggleDictation();
        ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::recording; }, 10s));
        fakes.recorder.feed(QByteArray(4800, 'a'));
        ASSERT_TRUE(TestUtil::runUntil([&] { return socketServer.messages.size() >= 2; }, 5s));
        controller.toggleDictation();

        ASSERT_TRUE(TestUtil::runUntil([&] { return !fakes.inserter.insertedTexts.isEmpty(); }, 10s))
            << fakes.log->join(u'\n').toStdString();
        EXPECT_EQ(fakes.inserter.insertedTexts, QStringList { inserted });
        EXPECT_EQ(editor.requestCount(), 1);
        EXPECT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 10s));
    }
}
