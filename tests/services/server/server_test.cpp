#include "core/appsettings.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "services/server/serverrecognitionservice.h"
#include "services/server/servertranscriber.h"
#include "servicetestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtEndian>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = LoopbackHttpServer::Response;

namespace {

Response text(const char *words, std::chrono::milliseconds delay = 0ms)
{
    Response answer = Response::json(200, R"({"text": ")" + QByteArray(words) + R"("})");
    answer.delay = delay;
    return answer;
}

// A strict OpenAI-compatible server: every field of each request is checked, the models listed,
// and the transcriptions answered from a script in the order they come, `link` later each way.
struct StandIn {
    LoopbackHttpServer http;
    std::deque<Response> script;
    Response models = Response::json(200, R"({"object": "list", "data": [{"id": "m"}, {"id": "other"}]})");
    std::chrono::milliseconds link { 0 };
    QStringList violations;
    QStringList prompts;
    std::vector<std::pair<qint64, qint64>> busy; // when each transcription was under way
    QElapsedTimer clock;

    StandIn(bool tls = false)
    {
        clock.start();
        const TestCertificates &certificates = TestCertificates::shared();
        EXPECT_TRUE(tls ? http.listenTls(certificates.server, certificates.serverKey) : http.listen());
        http.setHandler([this](const LoopbackHttpServer::Request &request) {
            Response answer = answerTo(request);
            answer.delay += 2 * link;
            return answer;
        });
    }

    Response answerTo(const LoopbackHttpServer::Request &request)
    {
        if (request.header("Authorization") != "Bearer k")
            return Response::json(401, R"({"error": "key"})");
        if (request.method == "GET" && request.target == "/v1/models")
            return models;
        const QMap<QByteArray, QByteArray> fields = formFields(request);
        const QByteArray wav = fields.value("file");
        // Byte by byte: GCC takes the pointer arithmetic on an empty array for an overflow.
        const auto u16 = [&](int at) { return quint16(quint8(wav.at(at)) | quint8(wav.at(at + 1)) << 8); };
        const auto u32 = [&](int at) { return quint32(u16(at)) | quint32(u16(at + 2)) << 16; };
        const bool wavOk = wav.size() > 44 && wav.startsWith("RIFF") && wav.mid(8, 8) == "WAVEfmt "
            && u32(4) == quint32(wav.size() - 8) && u16(20) == 1 && u16(22) == 1 && u32(24) == 16000 && u32(28) == 32000
            && u16(34) == 16 && wav.mid(36, 4) == "data" && u32(40) == quint32(wav.size() - 44);
        QStringList names;
        for (const QByteArray &name : fields.keys())
            names.append(QString::fromUtf8(name));
        if (request.method != "POST" || request.target != "/v1/audio/transcriptions" || !wavOk
            || fields.value("model") != "m" || fields.value("language") != "ru"
            || fields.value("response_format") != "json"
            || (names.join(u',') != u"file,language,model,response_format"_s
                && names.join(u',') != u"file,language,model,prompt,response_format"_s))
            violations.append(QString::fromUtf8(request.target) + u' ' + names.join(u','));
        prompts.append(QString::fromUtf8(fields.value("prompt")));
        Response answer = script.empty() ? Response::json(500, "no script") : script.front();
        if (!script.empty())
            script.pop_front();
        busy.emplace_back(clock.elapsed(), clock.elapsed() + (answer.delay + 2 * link).count());
        return answer;
    }

    // The parts of a multipart/form-data body by name; the file's part must say it is a WAV file.
    QMap<QByteArray, QByteArray> formFields(const LoopbackHttpServer::Request &request)
    {
        const QByteArray type = request.header("Content-Type").value_or("");
        const QByteArray boundary = "--" + type.mid(type.indexOf("boundary=") + 9).replace('"', "");
        QMap<QByteArray, QByteArray> fields;
        for (qsizetype at = request.body.indexOf(boundary); at >= 0;) {
            const qsizetype next = request.body.indexOf(boundary, at + boundary.size());
            const QByteArray part = request.body.mid(at + boundary.size() + 2, next - at - boundary.size() - 4);
            at = next;
            const qsizetype split = part.indexOf("\r\n\r\n");
            if (next < 0 || split < 0)
                continue;
            const QByteArray head = part.left(split);
            const qsizetype name = head.indexOf("name=\"") + 6;
            const QByteArray key = head.mid(name, head.indexOf('"', name) - name);
            if (key != "file" || (head.contains("filename=\"speech.wav\"") && head.contains("Content-Type: audio/wav")))
                fields.insert(key, part.mid(split + 4));
        }
        return fields;
    }

    int mostAtOnce() const
    {
        int most = 0;
        for (const auto &[start, end] : busy) {
            int overlapping = 0;
            for (const auto &[otherStart, otherEnd] : busy)
                overlapping += otherStart <= start && start < otherEnd;
            most = std::max(most, overlapping);
        }
        return most;
    }
};

struct Heard {
    QStringList partials, finals, errors, notices;
    RealtimeTranscriberCallbacks callbacks()
    {
        return { [this](const QString &t) { partials.append(t); }, [this](const QString &t) { finals.append(t); },
            [this](const QString &t) { errors.append(t); }, [this](const QString &t) { notices.append(t); } };
    }
    QString outcome() const
    {
        return finals.isEmpty() ? u"error:"_s + errors.join(u'|') : finals.join(u'|') + u' ' + notices.join(u'|');
    }
};

ServerTranscriber::Settings settingsFor(const StandIn &server, int inFlight = 1)
{
    ServerTranscriber::Settings settings;
    settings.server.url = server.http.baseUrl();
    settings.server.model = u"m"_s;
    settings.server.deadlineBase = 700ms;
    settings.server.deadlinePerAudioSecond = 0;
    settings.server.retryDelay = 20ms;
    settings.inFlight = inFlight;
    settings.localOffer = u"Можно на этом компьютере."_s;
    return settings;
}

// Three stretches of speech, committed at once; what the dictation ended with.
QString dictate(ServerTranscriber &transcriber, Heard &heard, QByteArray audio = speechLike(3))
{
    const QString connected = outcomeOf(transcriber.connect({}, u"О погоде"_s, { u"Ворсик"_s }));
    if (!connected.isEmpty())
        return connected;
    outcomeOf(transcriber.appendAudio(audio));
    outcomeOf(transcriber.commit());
    TestUtil::runUntil([&] { return !heard.finals.isEmpty() || !heard.errors.isEmpty(); }, 10s);
    return heard.outcome();
}

} // namespace

// One dictation of three stretches per row, each answered in turn as the script says.
TEST(ServerTest, EachFailureHasItsWordsAndKeepsTheTextSoFar)
{
    const Response closed = Response::closing();
    const Response notJson = Response::json(200, "<html>Welcome</html>");
    struct Row {
        const char *name;
        std::vector<Response> script;
        QString outcome;
        int transcriptions;
        int resentByQt;
    } rows[] = {
        { "all answered", { text("Раз."), text("Два.") }, u"Раз. Два. "_s, 2, 0 },
        { "a wrong key", { Response::json(401, "{}") },
            u"error:Сервер распознавания не принял ключ (ответ 401). "
            "Проверьте ключ в связке ключей (account recognition-server-key)."_s,
            1, 0 },
        { "a wrong model after a stretch", { text("Раз."), Response::json(404, "{}") },
            u"Раз. Часть речи не распознана (4–7 с): На сервере распознавания нет модели «m». "
            "Проверьте имя модели в настройках."_s,
            2, 0 },
        { "too large: halves", { Response::json(413, "{}"), text("Раз"), text("с половиной."), text("Два.") },
            u"Раз с половиной. Два. "_s, 4, 0 },
        { "busy, then answered", { Response::json(429, "{}"), text("Раз."), text("Два.") }, u"Раз. Два. "_s, 3, 0 },
        { "failing twice loses the stretch", { Response::json(503, "{}"), Response::json(502, "{}"), text("Два.") },
            u"Два. Часть речи не распознана (0–5 с): Сервер распознавания ответил ошибкой 502."_s, 3, 0 },
        { "not the API's answer", { notJson, text("Два.") },
            u"Два. Часть речи не распознана (0–5 с): Сервер "
            "распознавания ответил не так, как отвечает API распознавания OpenAI."_s,
            2, 0 },
        { "too slow", { text("Раз.", 1500ms), text("Два.") },
            u"Два. Часть речи не распознана (0–5 с): Сервер "
            "распознавания не успел распознать отрывок записи за 1 с."_s,
            2, 0 },
        // Qt sends a request again itself when a connection it kept closes before answering.
        { "the network lost", { text("Раз."), closed, closed, closed, closed },
            u"Раз. Часть речи не распознана "
            "(4–7 с): Связь с сервером распознавания прервалась."_s,
            4, 1 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StandIn server;
        server.script.assign(row.script.begin(), row.script.end());
        FakeKeychain keychain;
        keychain.items.insert(QString::fromLatin1(ServerTranscriber::keyAccount), u"k"_s);
        Heard heard;
        ServerTranscriber transcriber(heard.callbacks(), &keychain, settingsFor(server));
        EXPECT_EQ(dictate(transcriber, heard), row.outcome);
        EXPECT_GE(server.http.requestCount() - 1, row.transcriptions);
        EXPECT_LE(server.http.requestCount() - 1, row.transcriptions + row.resentByQt);
        EXPECT_TRUE(server.violations.isEmpty()) << server.violations.join(u'\n').toStdString();
        EXPECT_LE(server.mostAtOnce(), 1);
        // The prompt carries the vocabulary, the context and the text so far.
        EXPECT_EQ(server.prompts.value(0), u"Ворсик. О погоде"_s);
        TestUtil::runFor(50ms);
        EXPECT_EQ(heard.finals.size() + heard.errors.size(), 1) << "one end, nothing after it";
    }
}

// Stretches go while the user speaks, two at once (a third waits), and answers that come out of
// order over slow links are joined in the recording's order.
TEST(ServerTest, TwoStretchesAtOnceAnsweredOutOfOrderJoinInOrder)
{
    StandIn server;
    server.link = 50ms;
    server.script = { text("Раз.", 600ms), text("Два.", 300ms), text("Три.") };
    FakeKeychain keychain;
    keychain.items.insert(QString::fromLatin1(ServerTranscriber::keyAccount), u"k"_s);
    Heard heard;
    ServerTranscriber::Settings settings = settingsFor(server, 2);
    settings.server.deadlineBase = 5s;
    ServerTranscriber transcriber(heard.callbacks(), &keychain, settings);
    ASSERT_EQ(outcomeOf(transcriber.connect({}, {}, {})), QString());
    for (int stretch = 1; stretch <= 2; ++stretch) {
        outcomeOf(transcriber.appendAudio(speechLike(stretch == 1 ? 2 : 1)));
        ASSERT_TRUE(TestUtil::runUntil([&] { return server.http.requestCount() == 1 + stretch; })) << stretch;
    }
    outcomeOf(transcriber.appendAudio(speechLike(1)));
    outcomeOf(transcriber.commit());
    ASSERT_TRUE(TestUtil::runUntil([&] { return !heard.finals.isEmpty(); }));
    EXPECT_EQ(heard.outcome(), u"Раз. Два. Три. "_s);
    EXPECT_EQ(server.http.requestCount(), 4);
    EXPECT_EQ(server.mostAtOnce(), 2);
    // The later answers came first and waited for the first stretch's.
    EXPECT_EQ(heard.partials, QStringList { u"Раз. Два. Три."_s });
    EXPECT_TRUE(server.violations.isEmpty()) << server.violations.join(u'\n').toStdString();
}

// A failure the next stretches would share ends the dictation while the user still speaks, with
// what was recognised; the audio after it is not sent.
TEST(ServerTest, AKeyRefusedMidDictationEndsItWithTheTextSoFar)
{
    StandIn server;
    server.script = { text("Раз."), Response::json(403, "{}") };
    FakeKeychain keychain;
    keychain.items.insert(QString::fromLatin1(ServerTranscriber::keyAccount), u"k"_s);
    Heard heard;
    ServerTranscriber transcriber(heard.callbacks(), &keychain, settingsFor(server));
    ASSERT_EQ(outcomeOf(transcriber.connect({}, {}, {})), QString());
    for (int request = 2; request <= 3; ++request) {
        outcomeOf(transcriber.appendAudio(speechLike(request == 2 ? 2 : 1)));
        ASSERT_TRUE(TestUtil::runUntil([&] { return server.http.requestCount() == request; }));
    }
    ASSERT_TRUE(TestUtil::runUntil([&] { return !heard.finals.isEmpty(); }));
    EXPECT_EQ(heard.outcome(),
        u"Раз. Распознавание остановлено на 4 с записи: Сервер распознавания не принял ключ "
        "(ответ 403). Проверьте ключ в связке ключей (account recognition-server-key)."_s);
    outcomeOf(transcriber.appendAudio(speechLike(2)));
    outcomeOf(transcriber.commit());
    TestUtil::runFor(100ms);
    EXPECT_EQ(server.http.requestCount(), 3);
    EXPECT_EQ(heard.finals.size() + heard.errors.size(), 1);
}

// What is wrong before the user speaks is said at once, with this computer offered where it can
// recognise; addresses and certificates are checked.
TEST(ServerTest, AServerThatCannotServeIsNamedAtTheStart)
{
    const QTemporaryDir folder;
    const TestCertificates &certificates = TestCertificates::shared();
    QFile authorities(folder.filePath(u"ca.pem"_s));
    ASSERT_TRUE(authorities.open(QIODevice::WriteOnly));
    for (const QByteArray &der : { certificates.rootBase64, certificates.subBase64 })
        authorities.write(QSslCertificate(QByteArray::fromBase64(der), QSsl::Der).toPem());
    authorities.close();
    StandIn plain, tls(true);
    auto closed = std::make_unique<LoopbackHttpServer>();
    ASSERT_TRUE(closed->listen());
    const QUrl nobody = closed->baseUrl();
    closed.reset(); // nobody listens there any more
    struct Row {
        QUrl url;
        QString caFile, key;
        bool allowUnencrypted;
        QString outcome;
    } rows[] = {
        { nobody, {}, u"k"_s, false,
            u"error:Сервер распознавания 127.0.0.1:%1 не отвечает. Можно на этом компьютере."_s.arg(nobody.port()) },
        { plain.http.baseUrl(), {}, u"wrong"_s, false,
            u"error:Сервер распознавания не принял ключ (ответ 401). "
            "Проверьте ключ в связке ключей (account recognition-server-key)."_s },
        { tls.http.baseUrl(), {}, u"k"_s, false,
            u"error:Сервер распознавания 127.0.0.1:%1 не подтвердил, что он тот, за кого себя выдаёт: его сертификат не проверен. Если сертификат выдан центром сертификации компании, укажите файл этого центра в настройках. Можно на этом компьютере."_s
                .arg(tls.http.baseUrl().port()) },
        { tls.http.baseUrl(), folder.filePath(u"none.pem"_s), u"k"_s, false,
            u"error:Не удалось прочитать сертификаты из файла %1."_s.arg(folder.filePath(u"none.pem"_s)) },
        { tls.http.baseUrl(), authorities.fileName(), u"k"_s, false, u"Раз. "_s },
        { QUrl(u"http://192.0.2.7:8000"_s), {}, u"k"_s, false,
            u"error:Сервер распознавания http://192.0.2.7:8000 указан без шифрования (http://): запись пошла бы по сети открыто. Укажите адрес https:// или отметьте в настройках «Разрешить без шифрования»."_s },
        { QUrl(u"ftp://gpu/"_s), {}, u"k"_s, true,
            u"error:Адрес сервера распознавания «ftp://gpu/» не подходит: нужен адрес вида https://сервер:порт."_s },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url.toString().toStdString());
        tls.script = { text("Раз.") };
        FakeKeychain keychain;
        keychain.items.insert(QString::fromLatin1(ServerTranscriber::keyAccount), row.key);
        ServerTranscriber::Settings settings = settingsFor(plain);
        settings.server.url = row.url;
        settings.server.caFile = row.caFile;
        settings.server.allowUnencrypted = row.allowUnencrypted;
        Heard heard;
        ServerTranscriber transcriber(heard.callbacks(), &keychain, settings);
        EXPECT_EQ(dictate(transcriber, heard, speechLike(1)), row.outcome);
    }
    EXPECT_EQ(RecognitionServerClient::checkAddress(QUrl(u"http://192.0.2.7"_s), true), std::nullopt);
    EXPECT_EQ(RecognitionServerClient::checkAddress(QUrl(u"http://localhost:8000"_s), false), std::nullopt);
}

// The controller, handed the server in place of this computer, dictates to the end: the model is
// the server's first where the settings name none, and the clean-up applies.
TEST(ServerTest, ADictationThroughTheControllerInsertsTheServersText)
{
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    StandIn server;
    server.models = Response::json(200, R"({"data": [{"id": "m"}]})");
    server.script = { text("Ну, раз, два.") };
    AppSettings::setString(AppSettings::Keys::recognitionServerURL, server.http.baseUrl().toString());
    FakeNeighbourhood f;
    f.backend.configured = false;
    f.keychain.items.insert(QString::fromLatin1(ServerTranscriber::keyAccount), u"k"_s);
    ServerRecognitionService service(&f.keychain, {});
    RecognitionPlace place(&f.local, &service);
    DictationSessionController::Neighbours neighbours = f.neighbours();
    neighbours.localRecognition = &place;
    DictationSessionController controller(neighbours);
    controller.toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::recording; }));
    f.recorder.feed(speechLike(2));
    controller.toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 10s));
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"Раз, два."_s });
    EXPECT_TRUE(server.violations.isEmpty()) << server.violations.join(u'\n').toStdString();
}
