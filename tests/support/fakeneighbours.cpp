#include "fakeneighbours.h"

#include "pcmbuffercollector.h"

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

QString mascotName(MascotState mascot)
{
    switch (mascot) {
    case MascotState::searching:
        return u"searching"_s;
    case MascotState::writing:
        return u"writing"_s;
    case MascotState::thinking:
        return u"thinking"_s;
    case MascotState::editing:
        return u"editing"_s;
    case MascotState::happy:
        return u"happy"_s;
    case MascotState::confused:
        return u"confused"_s;
    }
    return {};
}

QCoro::Task<QString> answerWith(ScriptedAnswer answer)
{
    if (answer.gate)
        co_await answer.gate->wait();
    if (answer.throwsUnknown)
        throw 42;
    if (answer.error)
        throw DescribedError(*answer.error);
    co_return answer.text.value_or(QString());
}

// The controller owns what the factory returns; the fake itself stays with the test.
class TranscriberHandle final : public AbstractRealtimeTranscriber {
public:
    explicit TranscriberHandle(std::shared_ptr<FakeRealtimeTranscriber> fake)
        : m_fake(std::move(fake))
    {
    }
    QCoro::Task<void> connect(QString a, QString p, QStringList k) override { return m_fake->connect(a, p, k); }
    QCoro::Task<void> appendAudio(QByteArray pcm) override { return m_fake->appendAudio(pcm); }
    QCoro::Task<void> commit() override { return m_fake->commit(); }
    QCoro::Task<void> disconnect() override { return m_fake->disconnect(); }

private:
    std::shared_ptr<FakeRealtimeTranscriber> m_fake;
};

} // namespace

QCoro::Task<std::optional<QString>> FakeKeychain::read(QString account)
{
    ++reads;
    if (gate)
        co_await gate->wait();
    if (throws)
        throw std::runtime_error("keyring broke");
    if (!items.contains(account))
        co_return std::nullopt;
    co_return items.value(account);
}

QCoro::Task<bool> FakeMicrophonePermission::request()
{
    if (gate)
        co_await gate->wait();
    co_return granted;
}

QCoro::Task<> FakeAudioRecorder::start(PCMHandler onPCMData, LossHandler)
{
    ++starts;
    if (m_running)
        co_return;
    if (startError)
        throw DescribedError(*startError);
    m_handler = std::move(onPCMData);
    m_running = true;
    m_log->append(u"recorder.start"_s);
}

void FakeAudioRecorder::stop()
{
    ++stops;
    if (!m_running)
        return;
    m_running = false;
    m_handler = nullptr;
    m_log->append(u"recorder.stop"_s);
}

void FakeAudioRecorder::feed(const QByteArray &chunk)
{
    if (m_handler)
        m_handler(chunk);
}

QCoro::Task<void> FakeRealtimeTranscriber::connect(QString key, QString p, QStringList k)
{
    apiKey = key;
    prompt = p;
    keywords = k;
    m_log->append(u"transcriber.connect"_s);
    if (connectGate)
        co_await connectGate->wait();
    if (connectError)
        throw DescribedError(*connectError);
}

QCoro::Task<void> FakeRealtimeTranscriber::appendAudio(QByteArray pcm)
{
    audio.append(pcm);
    co_return;
}

QCoro::Task<void> FakeRealtimeTranscriber::commit()
{
    ++commits;
    m_log->append(u"transcriber.commit"_s);
    co_return;
}

QCoro::Task<void> FakeRealtimeTranscriber::disconnect()
{
    ++disconnects;
    m_log->append(u"transcriber.disconnect"_s);
    if (disconnectThrows)
        throw std::runtime_error("socket closed twice");
    co_return;
}

QCoro::Task<QString> FakeVorsikAPIClient::transcribeAndEdit(QByteArray pcmAudio, SmartMode m, QString c, QStringList v)
{
    ++calls;
    pcm = pcmAudio;
    mode = m;
    context = c;
    vocabulary = v;
    return answerWith(answer);
}

QCoro::Task<QString> FakeGigaChatClient::transcribeAndEdit(
    QByteArray pcmAudio, QString k, SmartMode m, QString, QStringList)
{
    ++calls;
    pcm = pcmAudio;
    key = k;
    mode = m;
    return answerWith(answer);
}

QCoro::Task<QString> FakeTextPolisher::polish(
    QString t, SmartMode m, TextPolisher::Quality q, QString, QStringList, QString k)
{
    ++calls;
    text = t;
    mode = m;
    quality = q;
    apiKey = k;
    return answerWith(answer);
}

QCoro::Task<std::optional<TextInsertionTarget>> FakeTextInserter::captureTarget()
{
    ++captures;
    m_log->append(u"inserter.capture"_s);
    if (captureGate)
        co_await captureGate->wait();
    co_return target;
}

QCoro::Task<TextInsertionOutcome> FakeTextInserter::insert(QString text, std::optional<TextInsertionTarget> t)
{
    insertedTexts.append(text);
    insertTargets.push_back(t);
    m_log->append(u"inserter.insert|"_s + text);
    if (gate)
        co_await gate->wait();
    if (insertThrows)
        throw std::runtime_error("inserter broke");
    co_return outcome;
}

void FakeOverlay::showConnecting() { m_log->append(u"overlay.connecting"_s); }
void FakeOverlay::showListening() { m_log->append(u"overlay.listening"_s); }
void FakeOverlay::showProcessing(const QString &title) { m_log->append(u"overlay.processing|"_s + title); }
void FakeOverlay::showEditing() { m_log->append(u"overlay.editing"_s); }
void FakeOverlay::presentResult(const QString &title, const QString &message, const QString &text)
{
    m_log->append(u"overlay.result|%1|%2|%3"_s.arg(title, message, text));
}
void FakeOverlay::showMessage(
    const QString &title, const QString &detail, MascotState mascot, std::chrono::milliseconds hideAfter)
{
    m_log->append(u"overlay.message|%1|%2|%3|%4"_s.arg(title, detail, mascotName(mascot)).arg(hideAfter.count()));
}
void FakeOverlay::setTranscriptText(const QString &text)
{
    transcriptText = text;
    m_log->append(u"overlay.transcript|"_s + text);
}

void FakeOnboardingWindow::show() { m_log->append(u"onboarding.show"_s); }
void FakeOnboardingWindow::showTestConnecting() { m_log->append(u"onboarding.connecting"_s); }
void FakeOnboardingWindow::showTestListening() { m_log->append(u"onboarding.listening"_s); }
void FakeOnboardingWindow::showTestProcessing() { m_log->append(u"onboarding.processing"_s); }
void FakeOnboardingWindow::showTestError(const QString &message) { m_log->append(u"onboarding.error|"_s + message); }
void FakeOnboardingWindow::showTestResult(const QString &text) { m_log->append(u"onboarding.result|"_s + text); }

void FakeSettingsWindow::show() { m_log->append(u"settings.show"_s); }

DictationSessionController::Neighbours FakeNeighbourhood::neighbours()
{
    DictationSessionController::Neighbours n;
    n.keychain = &keychain;
    n.backendConfiguration = &backend;
    n.microphonePermission = &microphone;
    n.audioRecorder = &recorder;
    n.makeCollector = [] { return std::make_unique<PCMBufferCollector>(); };
    n.makeTranscriber = [this](RealtimeTranscriberCallbacks callbacks) -> std::unique_ptr<AbstractRealtimeTranscriber> {
        auto fake = std::make_shared<FakeRealtimeTranscriber>(std::move(callbacks), log);
        fake->connectError = nextTranscriberConnectError;
        fake->disconnectThrows = nextTranscriberDisconnectThrows;
        fake->connectGate = nextTranscriberConnectGate;
        transcribers.push_back(fake);
        return std::make_unique<TranscriberHandle>(fake);
    };
    n.vorsikAPIClient = &vorsik;
    n.gigaChatClient = &gigaChat;
    n.textPolisher = &polisher;
    n.textInserter = &inserter;
    n.overlay = &overlay;
    n.onboardingWindow = &onboarding;
    n.settingsWindow = &settings;
    n.menuBar = &menuBar;
    return n;
}
