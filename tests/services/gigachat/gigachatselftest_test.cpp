#include "gigachattestsupport.h"
#include "wavencoder.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray key = "c2VsZi10ZXN0LWtleS0xMjM0NTY3ODkw";
const CurlAnswer token { .body = R"({"access_token":"T0k3n"})" };
const CurlAnswer uploaded { .body = R"({"id":"file-1"})" };
const QByteArray transcript = R"({"choices":[{"message":{"content":" Привет, мир 👍🏽\n"}}])";
const QString keyringAccount = u"service com.plumrest.Vorsik account gigachat-authorization-key"_s;

using GigaChatSelfTestProcess = GigaChatTest;

// The self-test run as its own process, as a user or a script runs it: its lines on standard
// error and its exit code, never the key or the transcript.
TEST_F(GigaChatSelfTestProcess, ReportsOneLinePerStepAndAnExitCode)
{
    const QString wav = temporaryPath() + u"/speech.wav"_s, missing = temporaryPath() + u"/absent/speech.wav"_s;
    QFile file(wav);
    ASSERT_TRUE(
        file.open(QIODevice::WriteOnly) && file.write(WAVEncoder::encodePCM16Mono24kHz(QByteArray(4800, '\x11'))));
    file.close();
    const QStringList withKey { u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s };
    const QStringList transcribe = withKey
        + QStringList { u"--self-test-audio"_s, wav, u"--self-test-model"_s, u"GigaChat-2-Max"_s,
              u"--self-test-model"_s, u"Other"_s };
    const QString loaded = u"started\nkey_loaded\nVERBULO_SELF_TEST_"_s;
    const struct {
        QStringList arguments;
        QByteArray input; // null: the key comes from the keyring, where it is spaces
        std::vector<CurlAnswer> answers; // the self-test does not wait for the deletion
        QString expected; // the lines; when it ends with "…" the last one only begins so
    } rows[] = {
        { withKey, "", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s },
        { withKey, " \n\t \n", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s },
        { withKey, "\xff\xfe key", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s },
        { withKey + QStringList { u"--self-test-audio"_s, missing }, key + "\n", {},
            loaded + u"FAILED: Не удалось прочитать файл «%1»: …"_s.arg(missing) },
        // The model is ignored and an audio option without a value selects nothing.
        { { u"--self-test-model"_s, u"Ignored"_s, u"--self-test-key-stdin"_s, u"--self-test-gigachat"_s,
              u"--self-test-audio"_s },
            "  " + key + " \n", { token, { .body = R"({"data":[{"id":"GigaChat"},{"id":"GigaChat-Pro"}]})" } },
            loaded + u"OK: models=GigaChat,GigaChat-Pro"_s },
        { withKey, key,
            { { .output = "401", .body = R"({"message":"key )" + key + R"( is bad\nVERBULO_SELF_TEST_OK: x"})" } },
            loaded + u"FAILED: GigaChat: key …"_s },
        { transcribe, key,
            { token, uploaded,
                { .body = transcript
                        + R"(,"usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17,"precached_prompt_tokens":3}})" } },
            loaded
                + u"OK: model=GigaChat-2-Max usage=prompt=12 completion=5 total=17 precached=3 transcript_chars=13"_s },
        { transcribe, key, { token, uploaded, { .body = transcript + "}" } },
            loaded + u"OK: model=GigaChat-2-Max usage=unavailable transcript_chars=13"_s },
        { { u"--self-test-gigachat"_s }, {}, {}, loaded + u"FAILED: Добавьте Authorization Key GigaChat."_s },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        if (row.input.isNull() && qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            continue; // needs the headless session's keyring
        // A key of spaces, in the session's in-memory collection.
        const QString store = u"printf '   ' | secret-tool store --collection=session --label=k "_s + keyringAccount;
        ASSERT_TRUE(!row.input.isNull() || QProcess::execute(u"sh"_s, { u"-c"_s, store }) == 0);
        const int before = curl.callCount();
        for (const CurlAnswer &answer : row.answers)
            curl.enqueue(answer);
        curl.setDefault({ .body = "{}" });
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VERBULO_TEST_CURL"_s, FakeCurl::path());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(SELF_TEST_DRIVER), row.arguments);
        process.write(row.input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(120'000));
        if (row.input.isNull())
            QProcess::execute(u"secret-tool"_s, (u"clear "_s + keyringAccount).split(u' '));
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << "the self-test reports on standard error only";
        const QByteArray errors = process.readAllStandardError();
        EXPECT_TRUE(errors.endsWith('\n') && !errors.contains(key) && !errors.contains("Привет"))
            << errors.toStdString();
        const QStringList lines = QString::fromUtf8(errors).split(u'\n', Qt::SkipEmptyParts);
        const QStringList expected = row.expected.split(u'\n');
        const bool prefix = row.expected.endsWith(u'…');
        EXPECT_EQ(lines.mid(0, expected.size() - prefix), expected.mid(0, expected.size() - prefix));
        EXPECT_EQ(lines.size(), expected.size());
        EXPECT_TRUE(!prefix || lines.last().startsWith(expected.last().chopped(1)));
        EXPECT_EQ(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            row.expected.contains(u"OK: "_s) ? 0 : 1);
        // What curl was given: the key as the Basic credentials, the chosen model for the transcript.
        EXPECT_EQ(curl.callCount() == before, row.answers.empty());
        EXPECT_TRUE(row.answers.empty() || curl.record(before + 1, u"conf"_s).contains("Authorization: Basic " + key));
        EXPECT_TRUE(row.answers.size() < 3
            || QJsonDocument::fromJson(curl.record(before + 3, u"stdin"_s))[u"model"_s] == u"GigaChat-2-Max"_s);
    }
}

} // namespace
