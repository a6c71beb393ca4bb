#include "services/gigachat/gigachatselftest.h"

#include "core/blockingwork.h"
#include "secrets/keychainstore.h"
#include "services/gigachat/gigachatclient.h"
#include "services/gigachat/gigachatcurltransport.h"
#include "services/gigachat/gigachaterror.h"
#include "services/gigachat/gigachatexchanges.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace GigaChatSelfTest {

namespace {

const QString okPrefix = u"VERBULO_SELF_TEST_OK: "_s;
const QString failedPrefix = u"VERBULO_SELF_TEST_FAILED: "_s;
const QString transcriptContext = u"Проверка распознавания Verbulo"_s;
// Each exchange once, with up to three minutes for it.
constexpr GigaChatExchanges::Limits limits { 180, 1 };

struct Options {
    bool keyFromStandardInput = false;
    std::optional<QString> audioPath;
    QString model = QString::fromLatin1(GigaChatClient::dictationModel);
};

// The first occurrence of an option counts; its value is the argument after it.
std::optional<QString> valueAfter(const QStringList &arguments, const QString &option)
{
    const qsizetype index = arguments.indexOf(option);
    if (index < 0 || index + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(index + 1);
}

Options parseOptions(const QStringList &arguments)
{
    Options options;
    options.keyFromStandardInput = arguments.contains(u"--self-test-key-stdin"_s);
    options.audioPath = valueAfter(arguments, u"--self-test-audio"_s);
    if (auto model = valueAfter(arguments, u"--self-test-model"_s))
        options.model = *model;
    return options;
}

// Result lines are read by scripts: each stays one line, and the key never
// appears, even when a server echoes it back in a message.
class Reporter {
public:
    void hideKey(const QString &key)
    {
        if (key.size() >= 8)
            m_secrets.append(key);
    }

    void line(QString text) const
    {
        for (const QString &secret : m_secrets)
            text.replace(secret, u"[ключ скрыт]"_s);
        text.replace(u'\r', u' ');
        text.replace(u'\n', u' ');
        const QByteArray bytes = text.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }

private:
    QStringList m_secrets;
};

qsizetype graphemeCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString usageText(const std::optional<GigaChatUsage> &usage)
{
    if (!usage)
        return u"unavailable"_s;
    return u"prompt=%1 completion=%2 total=%3 precached=%4"_s.arg(usage->promptTokens)
        .arg(usage->completionTokens)
        .arg(usage->totalTokens)
        .arg(usage->precachedPromptTokens);
}

std::optional<QString> keyFromStandardInput()
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = input.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text.trimmed();
}

// Thrown and caught inside the self-test only: the audio file could not be read.
QByteArray readAudioFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw DescribedError(u"Не удалось прочитать файл «%1»: %2"_s.arg(path, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw DescribedError(u"Не удалось прочитать файл «%1»: %2"_s.arg(path, file.errorString()));
    return bytes;
}

template<typename Function> auto onWorker(Function function) -> QCoro::Task<decltype(function())>
{
    using Result = decltype(function());
    struct Outcome {
        std::optional<Result> value;
        std::exception_ptr error;
    };
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    QFuture<Outcome> running = BlockingWork::run([function = std::move(function)] {
        Outcome result;
        try {
            result.value = function();
        } catch (...) {
            result.error = std::current_exception();
        }
        return result;
    });
    Outcome outcome = co_await running;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
}

// The transcript of a complete WAV file. The deletion of the uploaded file is started but not
// awaited: the self-test reports as soon as it has the transcript.
QCoro::Task<GigaChatExchanges::Transcript> transcribeWAV(QByteArray wav, QString authorizationKey, QString model)
{
    using namespace GigaChatExchanges;
    if (wav.isEmpty())
        throw GigaChatError(GigaChatError::Case::emptyAudio);

    const QString token = co_await requestAccessToken(std::move(authorizationKey), limits);
    const QString fileID = co_await uploadAudio(std::move(wav), token, limits);

    std::optional<Transcript> transcript;
    std::exception_ptr failure;
    try {
        transcript = co_await requestTranscript(
            fileID, token, SmartMode::verbatim, transcriptContext, {}, std::move(model), limits);
    } catch (...) {
        failure = std::current_exception();
    }
    [[maybe_unused]] QCoro::Task<> deletion = deleteFileIgnoringErrors(fileID, token, limits);

    if (failure)
        std::rethrow_exception(failure);
    co_return std::move(*transcript);
}

// The options stay with the caller, which outlives both coroutines, and the handlers only
// pick the status (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
QCoro::Task<int> runSelfTest(const Options &options, Reporter &reporter)
{
    reporter.line(u"started"_s);

    std::optional<QString> key;
    if (options.keyFromStandardInput)
        key = co_await onWorker(keyFromStandardInput);
    else
        key = co_await KeychainStore().read(u"gigachat-authorization-key"_s);
    if (!key || key->isEmpty()) {
        reporter.line(failedPrefix + u"missing_key"_s);
        co_return 1;
    }
    reporter.hideKey(*key);
    reporter.hideKey(key->trimmed());
    reporter.hideKey(GigaChatExchanges::normalizedAuthorizationKey(*key));
    reporter.line(u"key_loaded"_s);

    int status = 0;
    try {
        if (options.audioPath) {
            // By reference (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
            const QByteArray wav = co_await onWorker([&options] { return readAudioFile(*options.audioPath); });
            const GigaChatExchanges::Transcript result = co_await transcribeWAV(wav, *key, options.model);
            reporter.line(okPrefix + u"model="_s + options.model + u" usage="_s + usageText(result.usage)
                + u" transcript_chars="_s + QString::number(graphemeCount(result.text)));
        } else {
            const QStringList models = co_await GigaChatExchanges::modelIds(*key, limits);
            reporter.line(okPrefix + u"models="_s + models.join(u','));
        }
    } catch (const DescribedError &error) {
        reporter.line(failedPrefix + error.description());
        status = 1;
    } catch (const std::exception &error) {
        reporter.line(failedPrefix + QString::fromLocal8Bit(error.what()));
        status = 1;
    }
    co_return status;
}

// Every failure, expected or not, ends in one FAILED line.
QCoro::Task<int> runGuarded(const Options &options, Reporter &reporter)
{
    int status = 1;
    try {
        status = co_await runSelfTest(options, reporter);
    } catch (const std::exception &error) {
        reporter.line(failedPrefix + QString::fromLocal8Bit(error.what()));
    }
    co_return status;
}

} // namespace

int run(const QStringList &arguments)
{
    // The entry hands over before any application object exists; the self-test
    // needs an event loop but no display.
    static int argc = 1;
    static char name[] = "verbulo";
    static char *argv[] = { name, nullptr };
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance())
        application = std::make_unique<QCoreApplication>(argc, argv);

    // Standard error carries the result lines that scripts read; diagnostics stay off
    // there unless QT_LOGGING_RULES asks for them.
    QLoggingCategory::setFilterRules(u"verbulo.*=false"_s);
    Reporter reporter;
    const Options options = parseOptions(arguments);
    const int status = QCoro::waitFor(runGuarded(options, reporter));
    // The background deletion of the uploaded file is not waited for, but its
    // working directory must not outlive the process.
    GigaChatCurlTransport::abandonPendingExchanges();
    return status;
}

} // namespace GigaChatSelfTest
