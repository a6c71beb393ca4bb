#include "dictationsessioncontroller.h"

#include "appsettings.h"
#include "describederror.h"
#include "detachedtask.h"
#include "logging.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

using namespace Qt::StringLiterals;

namespace {

const QString openAIKeyAccount = u"openai-api-key"_s;
const QString gigaChatKeyAccount = u"gigachat-authorization-key"_s;
const QString copyHint = u" Нажмите «Скопировать»."_s;
const QString savedTitle = u"Текст сохранён"_s;
const QString microphoneLostNote = u"Запись прервалась: микрофон пропал."_s;

QString describe(const std::exception &error)
{
    if (const auto *described = dynamic_cast<const DescribedError *>(&error))
        return described->description();
    return QString::fromUtf8(error.what());
}

} // namespace

DictationSessionController::DictationSessionController(Neighbours neighbours, QObject *parent)
    : QObject(parent)
    , m_n(std::move(neighbours))
{
    m_watchdog.setSingleShot(true);
}

DictationSessionController::~DictationSessionController()
{
    if (m_audioContinuation)
        m_audioContinuation->finish();
}

// ---- toggles ---------------------------------------------------------------

bool DictationSessionController::mayStart(Walkthrough walkthrough)
{
    if (AppSettings::onboardingCompleted() || walkthrough == Walkthrough::atTestDictation)
        return true;
    m_n.onboardingWindow->show();
    return false;
}

void DictationSessionController::toggleFnDictation(Walkthrough walkthrough)
{
    if (!mayStart(walkthrough))
        return;
    switch (m_state) {
    case DictationState::idle:
        // A second press while the keyring is still answering (its unlock prompt
        // may be up) means the user changed their mind.
        if (m_readingKey) {
            cancelKeyRead();
            break;
        }
        m_stopWhenRecordingStarts = false;
        startDictation();
        break;
    case DictationState::connecting:
        m_stopWhenRecordingStarts = true;
        break;
    case DictationState::recording:
        stopDictation();
        break;
    case DictationState::processing:
        break;
    }
}

void DictationSessionController::toggleDictation(Walkthrough walkthrough)
{
    if (!mayStart(walkthrough))
        return;
    if (m_state == DictationState::idle)
        startDictation();
    else if (m_state == DictationState::recording)
        stopDictation();
}

// ---- start -----------------------------------------------------------------

void DictationSessionController::startDictation()
{
    if (m_state != DictationState::idle || m_readingKey)
        return;

    const quint64 session = ++m_session;
    m_clock.start();
    m_microphoneLost = false;
    m_recognizesLocally = false;
    switch (AppSettings::aiProvider().value_or(AIProvider::vorsik)) {
    case AIProvider::openAI:
        m_readingKey = true;
        detach(readKeyAndBegin(AIProvider::openAI, openAIKeyAccount, session));
        break;
    case AIProvider::gigaChat:
        m_readingKey = true;
        detach(readKeyAndBegin(AIProvider::gigaChat, gigaChatKeyAccount, session));
        break;
    case AIProvider::vorsik:
        if (m_n.backendConfiguration->isConfigured()) {
            beginDictation(AIProvider::vorsik, u"configured"_s);
            break;
        }
        // No backend in this build: the speech is recognised on this computer.
        if (const std::optional<QString> reason = m_n.localRecognition->unavailableReason()) {
            showFailureMessage(*reason);
            m_n.settingsWindow->showModels();
            return;
        }
        m_recognizesLocally = true;
        beginDictation(AIProvider::vorsik, u"local"_s);
        break;
    }
}

QCoro::Task<> DictationSessionController::readKeyAndBegin(AIProvider provider, QString account, quint64 session)
{
    QPointer<DictationSessionController> self(this);
    std::optional<QString> key = co_await m_n.keychain->read(account);
    if (!self || session != m_session)
        co_return; // given up while the keyring answered: the answer is not used
    m_readingKey = false;
    qCDebug(lcCore) << "dictation" << session << "read its key after" << m_clock.elapsed() << "ms";
    beginDictation(provider, key);
}

void DictationSessionController::cancelKeyRead()
{
    qCDebug(lcCore) << "dictation" << m_session << "given up while its key was read";
    m_readingKey = false;
    ++m_session;
}

void DictationSessionController::beginDictation(AIProvider provider, const std::optional<QString> &key)
{
    if (!key || key->isEmpty()) {
        switch (provider) {
        case AIProvider::openAI:
            showFailureMessage(u"Добавьте OpenAI API key"_s);
            break;
        case AIProvider::gigaChat:
            showFailureMessage(u"Добавьте Authorization Key GigaChat"_s);
            break;
        case AIProvider::vorsik:
            showFailureMessage(u"Установите тестовую сборку российского контура"_s);
            break;
        }
        m_n.settingsWindow->show();
        return;
    }

    m_activeProvider = provider;
    if (provider == AIProvider::vorsik && !m_recognizesLocally)
        m_n.vorsikAPIClient->warmUp();
    m_completing = false;
    // Before setup is done only the walkthrough's test gets this far.
    m_isOnboardingTestDictation = !AppSettings::onboardingCompleted();
    m_insertionTarget.reset();
    m_targetPending = !m_isOnboardingTestDictation;
    qCDebug(lcCore) << "dictation" << m_session << "starts with" << rawValue(provider);
    if (m_targetPending)
        detach(awaitTarget(m_session, m_n.textInserter->captureTarget()));

    setState(DictationState::connecting);
    m_finalTranscript.clear();

    if (m_isOnboardingTestDictation)
        m_n.onboardingWindow->showTestConnecting();
    else
        m_n.overlay->showConnecting();

    detach(runStart(provider, *key, m_session));
}

QCoro::Task<> DictationSessionController::awaitTarget(
    quint64 session, QCoro::Task<std::optional<TextInsertionTarget>> capture)
{
    QPointer<DictationSessionController> self(this);
    std::optional<TextInsertionTarget> target = co_await capture;
    if (!self)
        co_return;
    if (session == m_session) {
        m_insertionTarget = std::move(target);
        m_targetPending = false;
        qCDebug(lcCore) << "dictation" << session << (m_insertionTarget ? "has a target" : "has no target") << "after"
                        << m_clock.elapsed() << "ms";
    }
    Q_EMIT targetCaptured();
}

QCoro::Task<bool> DictationSessionController::requestMicrophonePermission()
{
    co_return co_await m_n.microphonePermission->request();
}

QCoro::Task<> DictationSessionController::runStart(AIProvider provider, QString key, quint64 session)
{
    QPointer<DictationSessionController> self(this);
    const bool granted = co_await requestMicrophonePermission();
    if (!self || session != m_session)
        co_return;

    if (!granted) {
        m_insertionTarget.reset();
        setState(DictationState::idle);
        if (m_isOnboardingTestDictation)
            m_n.onboardingWindow->showTestError(u"нужен доступ к микрофону"_s);
        else
            showFailureMessage(u"Нужен доступ к микрофону"_s);
        m_isOnboardingTestDictation = false;
        co_return;
    }

    if (m_isOnboardingTestDictation) {
        co_await QCoro::sleepFor(m_timings.testDictationPause);
        if (!self || session != m_session)
            co_return;
    }

    std::optional<QString> failure;
    QString kind;
    try {
        if (provider == AIProvider::openAI)
            co_await startOpenAIRecording(key);
        else if (m_recognizesLocally)
            co_await startLocalRecording();
        else
            co_await startGigaChatRecording();
    } catch (const std::exception &error) {
        failure = describe(error);
        kind = errorKind(error);
    }
    if (!self || !failure || session != m_session)
        co_return;
    qCWarning(lcCore) << "dictation" << session << "could not start recording:" << kind;

    // Awaited in a statement of its own: GCC 12 can skip destroying a task awaited
    // inside an if condition, which leaks the awaited coroutine's frame.
    const bool closed = co_await closeAudioPath();
    if (!closed)
        co_return;
    m_gigaAudioCollector.reset();
    m_insertionTarget.reset();
    setState(DictationState::idle);
    if (m_isOnboardingTestDictation) {
        m_n.onboardingWindow->showTestError(*failure);
        m_isOnboardingTestDictation = false;
    } else {
        showFailureMessage(*failure);
    }
}

QCoro::Task<> DictationSessionController::startGigaChatRecording()
{
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;
    auto collector = std::shared_ptr<AbstractPCMCollector>(m_n.makeCollector());
    m_gigaAudioCollector = collector;
    AbstractAudioRecorder::PCMHandler append = [collector](const QByteArray &chunk) { collector->append(chunk); };
    QCoro::Task<> starting = m_n.audioRecorder->start(std::move(append), lossHandler(session));
    co_await starting;
    if (!self || session != m_session)
        co_return; // ended while the recorder started; its stop() gave the start up
    recordingBegins();
}

AbstractAudioRecorder::LossHandler DictationSessionController::lossHandler(quint64 session)
{
    return [self = QPointer(this), session] {
        if (self)
            self->onMicrophoneLost(session);
    };
}

void DictationSessionController::onMicrophoneLost(quint64 session)
{
    if (session != m_session || m_state != DictationState::recording)
        return;
    qCWarning(lcCore) << "dictation" << session << "lost its microphone after" << m_clock.elapsed() << "ms";
    // What was recorded until now is processed as if the user had pressed Fn.
    m_microphoneLost = true;
    stopDictation();
}

void DictationSessionController::showLossNote()
{
    if (m_microphoneLost)
        m_n.overlay->setTranscriptText(microphoneLostNote);
}

QString DictationSessionController::lossNoted(const QString &text) const
{
    return m_microphoneLost ? microphoneLostNote + u' ' + text : text;
}

QCoro::Task<> DictationSessionController::startOpenAIRecording(QString apiKey)
{
    return startStreamedRecording(m_n.makeTranscriber, std::move(apiKey));
}

QCoro::Task<> DictationSessionController::startLocalRecording()
{
    // The mode is read now: in structured mode the recogniser marks paragraphs at long pauses.
    const SmartMode mode = AppSettings::smartMode();
    AbstractLocalRecognition *local = m_n.localRecognition;
    return startStreamedRecording(
        [local, mode](
            RealtimeTranscriberCallbacks callbacks) { return local->makeTranscriber(std::move(callbacks), mode); },
        QString());
}

QCoro::Task<> DictationSessionController::startStreamedRecording(RealtimeTranscriberFactory make, QString apiKey)
{
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;

    // The callbacks may come on any thread, so they carry a guard made here rather than `this`.
    RealtimeTranscriberCallbacks callbacks;
    callbacks.onPartial = [this, self, session](const QString &delta) {
        onMainThreadForSession(self, session, [this, delta] {
            m_finalTranscript += delta;
            m_n.overlay->setTranscriptText(m_finalTranscript);
        });
    };
    callbacks.onFinal = [this, self, session](const QString &text) {
        onMainThreadForSession(self, session, [this, text] { detach(completeDictation(text)); });
    };
    callbacks.onError = [this, self, session](const QString &message) {
        onMainThreadForSession(self, session, [this, message] { handleTranscriptionError(message); });
    };

    std::shared_ptr<AbstractRealtimeTranscriber> transcriber = make(std::move(callbacks));
    m_transcriber = transcriber;
    co_await transcriber->connect(apiKey, AppSettings::transcriptionPrompt(), AppSettings::customVocabulary());
    if (!self || m_transcriber != transcriber || session != m_session)
        co_return; // the session ended while connecting

    auto stream = std::make_shared<BoundedChunkStream>();
    m_audioContinuation = stream;
    m_forwardCancelled = std::make_shared<bool>(false);
    m_audioForwardTask.emplace(forwardAudio(stream, transcriber, m_forwardCancelled));

    AbstractAudioRecorder::PCMHandler yield = [stream](const QByteArray &chunk) { stream->yield(chunk); };
    QCoro::Task<> starting = m_n.audioRecorder->start(std::move(yield), lossHandler(session));
    co_await starting;
    if (!self || session != m_session)
        co_return;
    recordingBegins();
}

QCoro::Task<> DictationSessionController::forwardAudio(std::shared_ptr<BoundedChunkStream> stream,
    std::shared_ptr<AbstractRealtimeTranscriber> transcriber, std::shared_ptr<bool> cancelled)
{
    while (!*cancelled) {
        std::optional<QByteArray> chunk = co_await stream->next();
        if (!chunk || *cancelled)
            break;
        bool failed = false;
        try {
            co_await transcriber->appendAudio(*chunk);
        } catch (const std::exception &error) {
            failed = true; // the transcriber reports its own failures through onError
            qCWarning(lcCore) << "audio forwarding stopped:" << errorKind(error);
        }
        if (failed)
            break;
    }
}

void DictationSessionController::recordingBegins()
{
    qCDebug(lcCore) << "dictation" << m_session << "records after" << m_clock.elapsed() << "ms";
    setState(DictationState::recording);
    if (m_stopWhenRecordingStarts) {
        m_stopWhenRecordingStarts = false;
        stopDictation();
    } else if (m_isOnboardingTestDictation) {
        m_n.onboardingWindow->showTestListening();
    } else {
        m_n.overlay->showListening();
    }
}

// ---- stop ------------------------------------------------------------------

void DictationSessionController::stopDictation()
{
    if (m_state != DictationState::recording)
        return;
    setState(DictationState::processing);
    m_n.audioRecorder->stop();
    qCDebug(lcCore) << "dictation" << m_session << "stops recording after" << m_clock.elapsed() << "ms";

    if (streamsAudio()) {
        if (m_recognizesLocally && m_isOnboardingTestDictation)
            m_n.onboardingWindow->showTestProcessing();
        else
            m_n.overlay->showProcessing(u"Завершаю распознавание…"_s);
        showLossNote();
        finishAudioStream();
        detach(finishStreamedDictation(m_session));
        return;
    }

    if (m_activeProvider == AIProvider::gigaChat || !m_isOnboardingTestDictation)
        m_n.overlay->showEditing();
    else
        m_n.onboardingWindow->showTestProcessing();
    showLossNote();

    QByteArray pcm;
    if (m_gigaAudioCollector)
        pcm = m_gigaAudioCollector->takeAll();
    m_gigaAudioCollector.reset();

    detach(runUpload(m_activeProvider, m_session, std::move(pcm), AppSettings::smartMode(),
        AppSettings::transcriptionPrompt(), AppSettings::customVocabulary()));
}

QCoro::Task<> DictationSessionController::finishStreamedDictation(quint64 session)
{
    QPointer<DictationSessionController> self(this);
    if (m_audioForwardTask) {
        QCoro::Task<> forward = std::move(*m_audioForwardTask);
        m_audioForwardTask.reset();
        co_await forward; // every chunk recorded so far has been handed over
        if (!self || session != m_session)
            co_return;
    }
    std::shared_ptr<AbstractRealtimeTranscriber> transcriber = m_transcriber;
    if (!transcriber)
        co_return;
    std::optional<QString> failure;
    try {
        co_await transcriber->commit();
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (!self || session != m_session)
        co_return;
    if (failure) {
        handleTranscriptionError(*failure);
        co_return;
    }
    // Recognition on this computer needs no watchdog: its recogniser always answers, and a
    // long tail on a slow processor may rightly take longer than a network would.
    if (m_state == DictationState::processing && !m_completing && !m_recognizesLocally) {
        QObject::disconnect(&m_watchdog, nullptr, this, nullptr);
        connect(&m_watchdog, &QTimer::timeout, this, [this, session] { onFinalTranscriptOverdue(session); });
        m_watchdog.start(m_timings.finalTranscriptWatchdog);
    }
}

void DictationSessionController::onFinalTranscriptOverdue(quint64 session)
{
    if (session != m_session || m_state != DictationState::processing || m_completing)
        return;
    handleTranscriptionError(u"Соединение с распознаванием прервано."_s);
}

QCoro::Task<> DictationSessionController::runUpload(
    AIProvider provider, quint64 session, QByteArray pcm, SmartMode mode, QString context, QStringList vocabulary)
{
    QPointer<DictationSessionController> self(this);
    QString key;
    if (provider == AIProvider::gigaChat) {
        key = (co_await m_n.keychain->read(gigaChatKeyAccount)).value_or(QString());
        if (!self || session != m_session)
            co_return;
    }
    qCDebug(lcCore) << "dictation" << session << "uploads" << pcm.size() << "bytes after" << m_clock.elapsed() << "ms";
    QString text;
    std::optional<QString> failure;
    try {
        if (provider == AIProvider::gigaChat)
            text = co_await m_n.gigaChatClient->transcribeAndEdit(std::move(pcm), key, mode, context, vocabulary);
        else
            text = co_await m_n.vorsikAPIClient->transcribeAndEdit(std::move(pcm), mode, context, vocabulary);
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (!self || session != m_session)
        co_return; // the dictation was reset meanwhile: the result is stale
    qCDebug(lcCore) << "dictation" << session << (failure ? "upload failed" : "upload answered") << "after"
                    << m_clock.elapsed() << "ms";
    if (failure)
        handleTranscriptionError(*failure);
    else
        co_await completeDictation(text);
}

// ---- completion ------------------------------------------------------------

QCoro::Task<> DictationSessionController::completeDictation(QString text)
{
    if (m_state != DictationState::recording && m_state != DictationState::processing)
        co_return;
    if (m_completing)
        co_return; // a second result never runs the paste again
    m_completing = true;
    m_watchdog.stop();
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;

    setState(DictationState::processing);

    text = text.trimmed();
    if (text.isEmpty())
        text = m_finalTranscript.trimmed();

    if (text.isEmpty()) {
        const bool isTest = m_isOnboardingTestDictation;
        co_await resetSession();
        if (!self)
            co_return;
        m_completing = false;
        if (isTest)
            m_n.onboardingWindow->showTestError(u"речь не распознана"_s);
        else
            showFailureMessage(lossNoted(u"Речь не распознана"_s));
        co_return;
    }

    if (streamsAudio()) {
        const std::optional<QString> edited = co_await editStreamedText(text, session);
        if (!self || !edited)
            co_return;
        text = *edited;
    }

    AppSettings::rememberLastText(text);
    Q_EMIT lastTextChanged();

    if (m_isOnboardingTestDictation) {
        co_await resetSession();
        if (!self)
            co_return;
        m_completing = false;
        m_n.onboardingWindow->showTestResult(text);
        co_return;
    }

    while (m_targetPending && session == m_session) {
        co_await qCoro(this, &DictationSessionController::targetCaptured);
        if (!self)
            co_return;
    }
    if (session != m_session)
        co_return;
    qCDebug(lcCore) << "dictation" << session << "pastes after" << m_clock.elapsed() << "ms";
    const TextInsertionOutcome outcome = co_await m_n.textInserter->insert(text, m_insertionTarget);
    qCDebug(lcCore) << "dictation" << session << "paste outcome" << int(outcome.kind) << "after" << m_clock.elapsed()
                    << "ms";
    if (!self)
        co_return;
    co_await resetSession();
    if (!self)
        co_return;
    m_completing = false;

    switch (outcome.kind) {
    case TextInsertionOutcome::Kind::inserted:
        showOverlayMessage(u"✓  Текст вставлен"_s, m_microphoneLost ? microphoneLostNote : QString(),
            MessageTone::success, insertedHideAfter);
        break;
    case TextInsertionOutcome::Kind::needsAccessibilityPermission:
        m_n.overlay->presentResult(
            savedTitle, lossNoted(u"Нет разрешения на автоматическую вставку."_s + copyHint), text);
        break;
    case TextInsertionOutcome::Kind::unconfirmed:
        m_n.overlay->presentResult(savedTitle,
            lossNoted(
                (outcome.reason.isEmpty() ? u"Ворсик не смог подтвердить, что поле приняло текст."_s : outcome.reason)
                + copyHint),
            text);
        break;
    case TextInsertionOutcome::Kind::targetChanged:
        m_n.overlay->presentResult(savedTitle, lossNoted(outcome.reason + copyHint), text);
        break;
    }
}

QCoro::Task<std::optional<QString>> DictationSessionController::editStreamedText(QString text, quint64 session)
{
    QPointer<DictationSessionController> self(this);
    const SmartMode mode = AppSettings::smartMode();
    if (mode == SmartMode::verbatim)
        co_return text;
    const std::optional<QString> apiKey = co_await m_n.keychain->read(openAIKeyAccount);
    if (!self || session != m_session)
        co_return std::nullopt;
    const bool local = m_recognizesLocally;
    if (!apiKey || (local && apiKey->isEmpty()))
        co_return local ? m_n.localRecognition->cleanUp(text, mode) : text;
    m_n.overlay->showEditing();
    std::optional<QString> polished;
    try {
        polished = co_await m_n.textPolisher->polish(text, mode, AppSettings::textQuality(),
            AppSettings::transcriptionPrompt(), AppSettings::customVocabulary(), *apiKey);
    } catch (const std::exception &error) {
        // polishing is optional: the unedited transcript goes on (tidied, on this computer)
        qCWarning(lcCore) << "dictation" << session << "polishing failed:" << errorKind(error);
    }
    if (!self)
        co_return std::nullopt;
    if (polished)
        co_return *polished;
    co_return local ? m_n.localRecognition->cleanUp(text, mode) : text;
}

// ---- failure and reset -----------------------------------------------------

void DictationSessionController::handleTranscriptionError(const QString &message)
{
    if (m_state == DictationState::idle || m_completing)
        return;
    // The message is for the user; it may quote the server, so the log does not.
    qCWarning(lcCore) << "dictation" << m_session << "failed after" << m_clock.elapsed() << "ms";
    const bool isTest = m_isOnboardingTestDictation;
    ++m_session;
    m_watchdog.stop();
    m_n.audioRecorder->stop();
    finishAudioStream();
    cancelForwardTask();
    m_transcriber.reset();
    m_gigaAudioCollector.reset();
    m_insertionTarget.reset();
    setState(DictationState::idle);
    m_isOnboardingTestDictation = false;
    if (isTest)
        m_n.onboardingWindow->showTestError(message);
    else
        showFailureMessage(lossNoted(message));
}

QCoro::Task<> DictationSessionController::resetSession()
{
    ++m_session;
    m_watchdog.stop();
    m_n.audioRecorder->stop();
    // Awaited in a statement of its own: GCC 12 can skip destroying a task awaited
    // inside an if condition, which leaks the awaited coroutine's frame.
    const bool closed = co_await closeAudioPath();
    if (!closed)
        co_return;
    returnToIdle();
}

void DictationSessionController::returnToIdle()
{
    qCDebug(lcCore) << "dictation" << m_session << "is over after" << m_clock.elapsed() << "ms";
    m_gigaAudioCollector.reset();
    m_insertionTarget.reset();
    m_finalTranscript.clear();
    m_isOnboardingTestDictation = false;
    setState(DictationState::idle);
}

QCoro::Task<bool> DictationSessionController::closeAudioPath()
{
    QPointer<DictationSessionController> self(this);
    finishAudioStream();
    cancelForwardTask();
    if (auto transcriber = std::exchange(m_transcriber, nullptr)) {
        co_await transcriber->disconnect();
        if (!self)
            co_return false;
    }
    co_return true;
}

void DictationSessionController::prepareForTermination()
{
    if (m_readingKey)
        cancelKeyRead();
    m_n.audioRecorder->stop();
    finishAudioStream();
    if (m_transcriber)
        disconnectWithoutWaiting(m_transcriber);
}

void DictationSessionController::disconnectWithoutWaiting(std::shared_ptr<AbstractRealtimeTranscriber> transcriber)
{
    // Only logged on failure: the dictation it belonged to is already over.
    startDetached([](std::shared_ptr<AbstractRealtimeTranscriber> t) -> QCoro::Task<> { co_await t->disconnect(); }(
                                                                         std::move(transcriber)),
        {});
}

void DictationSessionController::detach(QCoro::Task<> task)
{
    startDetached(std::move(task), [self = QPointer(this)](const QString &description) {
        if (self)
            self->abandonDictation(description);
    });
}

void DictationSessionController::abandonDictation(const QString &description)
{
    const bool isTest = m_isOnboardingTestDictation;
    ++m_session;
    m_completing = false;
    m_targetPending = false;
    m_readingKey = false;
    m_watchdog.stop();
    m_n.audioRecorder->stop();
    finishAudioStream();
    cancelForwardTask();
    if (auto transcriber = std::exchange(m_transcriber, nullptr))
        disconnectWithoutWaiting(std::move(transcriber));
    returnToIdle();
    if (isTest)
        m_n.onboardingWindow->showTestError(description);
    else
        showFailureMessage(description);
}

void DictationSessionController::showOverlayMessage(
    const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter)
{
    m_n.overlay->showMessage(title, detail, tone, hideAfter);
}

void DictationSessionController::showFailureMessage(const QString &detail)
{
    showOverlayMessage(u"Не понял…"_s, detail, MessageTone::failure, failureHideAfter);
}

void DictationSessionController::setState(DictationState state)
{
    // A wish to stop belongs to the start it was made for: once idle, a later start
    // (from the menu, say) must not stop the moment it records.
    if (state == DictationState::idle)
        m_stopWhenRecordingStarts = false;
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void DictationSessionController::finishAudioStream()
{
    if (auto stream = std::exchange(m_audioContinuation, nullptr))
        stream->finish();
}

void DictationSessionController::cancelForwardTask()
{
    if (m_forwardCancelled)
        *m_forwardCancelled = true;
    m_forwardCancelled.reset();
    m_audioForwardTask.reset(); // a running forward task finishes on its own once woken
}

void DictationSessionController::onMainThreadForSession(
    QPointer<DictationSessionController> self, quint64 session, std::function<void()> action)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = std::move(self), session, action = std::move(action)] {
            if (!self || session != self->m_session)
                return;
            action();
        },
        Qt::QueuedConnection);
}
