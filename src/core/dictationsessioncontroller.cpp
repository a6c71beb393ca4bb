#include "dictationsessioncontroller.h"

#include "appsettings.h"
#include "boundedchunkstream.h"
#include "describederror.h"
#include "detachedtask.h"
#include "flows/gigachatflow.h"
#include "flows/localflow.h"
#include "flows/openaiflow.h"
#include "flows/ownbackendflow.h"
#include "logging.h"

#include <QPointer>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

using namespace Qt::StringLiterals;

namespace {

const QString copyHint = u" Нажмите «Скопировать»."_s;
const QString savedTitle = u"Текст сохранён"_s;
const QString microphoneLostNote = u"Запись прервалась: микрофон пропал."_s;

} // namespace

DictationSessionController::DictationSessionController(Neighbours neighbours, QObject *parent)
    : QObject(parent)
    , m_n(std::move(neighbours))
    , m_keys(m_n.keychain)
    , m_ownBackendFlow(std::make_unique<OwnBackendFlow>(m_n.makeCollector, m_n.vorsikAPIClient))
    , m_localFlow(std::make_unique<LocalFlow>(&m_keys, m_n.textPolisher, m_n.localRecognition))
    , m_gigaChatFlow(std::make_unique<GigaChatFlow>(m_n.makeCollector, &m_keys, m_n.gigaChatClient))
    , m_openAIFlow(std::make_unique<OpenAIFlow>(&m_keys, m_n.textPolisher, m_n.makeTranscriber))
{
    m_watchdog.setSingleShot(true);
}

DictationSessionController::~DictationSessionController()
{
    if (m_flow)
        m_flow->endAudio();
}

bool DictationSessionController::hasTranscriber() const { return m_flow && m_flow->holdsTranscriber(); }

bool DictationSessionController::hasCollector() const { return m_flow && m_flow->holdsCollector(); }

bool DictationSessionController::hasAudioStream() const { return m_flow && m_flow->holdsAudioStream(); }

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
    m_keys.forget();
    m_lossNotes.clear();
    m_lostAudio.clear();
    m_recognizesLocally = false;
    const AIProvider provider = AppSettings::aiProvider().value_or(AIProvider::vorsik);
    AbstractDictationFlow *flow = flowFor(provider);
    if (const std::optional<QString> reason = flow->unavailableReason()) {
        showFailureMessage(*reason);
        m_n.settingsWindow->showModels();
        return;
    }
    m_recognizesLocally = flow == m_localFlow.get();
    if (const std::optional<AbstractDictationFlow::KeyRequirement> key = flow->key()) {
        m_readingKey = true;
        detach(readKeyAndBegin(provider, flow, key->account, session));
    } else {
        beginDictation(provider, flow, QString());
    }
}

AbstractDictationFlow *DictationSessionController::flowFor(AIProvider provider) const
{
    switch (provider) {
    case AIProvider::openAI:
        return m_openAIFlow.get();
    case AIProvider::gigaChat:
        return m_gigaChatFlow.get();
    case AIProvider::vorsik:
        // No backend in this build: the speech is recognised on this computer.
        return m_n.backendConfiguration->isConfigured() ? m_ownBackendFlow.get() : m_localFlow.get();
    }
    return m_ownBackendFlow.get();
}

QCoro::Task<> DictationSessionController::readKeyAndBegin(
    AIProvider provider, AbstractDictationFlow *flow, QString account, quint64 session)
{
    QPointer<DictationSessionController> self(this);
    std::optional<QString> key = co_await m_keys.read(account);
    if (!self || session != m_session)
        co_return; // given up while the keyring answered: the answer is not used
    m_readingKey = false;
    qCDebug(lcCore) << "dictation" << session << "read its key after" << m_clock.elapsed() << "ms";
    beginDictation(provider, flow, key);
}

void DictationSessionController::cancelKeyRead()
{
    qCDebug(lcCore) << "dictation" << m_session << "given up while its key was read";
    m_readingKey = false;
    ++m_session;
}

void DictationSessionController::beginDictation(
    AIProvider provider, AbstractDictationFlow *flow, const std::optional<QString> &key)
{
    if (const std::optional<AbstractDictationFlow::KeyRequirement> required = flow->key();
        required && (!key || key->isEmpty())) {
        showFailureMessage(required->missingMessage);
        m_n.settingsWindow->show();
        return;
    }

    m_activeProvider = provider;
    m_flow = flow;
    flow->warmUp();
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

    detach(runStart(key.value_or(QString()), m_session));
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

QCoro::Task<> DictationSessionController::runStart(QString key, quint64 session)
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
        co_await startRecording(key);
    } catch (const std::exception &error) {
        failure = errorDescription(error);
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
    m_flow->discard(false);
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
    m_flow = m_activeProvider == AIProvider::gigaChat ? m_gigaChatFlow.get() : m_ownBackendFlow.get();
    return startRecording(QString());
}

QCoro::Task<> DictationSessionController::startOpenAIRecording(QString apiKey)
{
    m_flow = m_openAIFlow.get();
    return startRecording(std::move(apiKey));
}

QCoro::Task<> DictationSessionController::startLocalRecording()
{
    m_flow = m_localFlow.get();
    return startRecording(QString());
}

QCoro::Task<> DictationSessionController::startRecording(QString key)
{
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;
    AbstractDictationFlow *flow = m_flow;
    const bool prepared = co_await flow->prepare(key, context(session));
    if (!self || !prepared || session != m_session)
        co_return; // the session ended while the flow prepared
    QCoro::Task<> starting = m_n.audioRecorder->start(flow->audioSink(), lossHandler(session));
    co_await starting;
    if (!self || session != m_session)
        co_return; // ended while the recorder started; its stop() gave the start up
    recordingBegins();
}

DictationContext DictationSessionController::context(quint64 session)
{
    QPointer<DictationSessionController> self(this);
    auto current = [self, session] { return self && session == self->m_session; };
    DictationContext context;
    context.session = session;
    context.clock = m_clock;
    context.owner = this;
    context.isCurrent = current;
    context.onPartial = [self, current](const QString &textSoFar) {
        if (current())
            self->showPartial(textSoFar);
    };
    context.onNotice = [self, current](const QString &message) {
        if (current())
            self->noteLoss(message);
    };
    context.onFinal = [self, current](const QString &text) {
        if (current())
            self->detach(self->completeDictation(text));
    };
    context.onError = [self, current](const QString &message) {
        if (current())
            self->handleTranscriptionError(message);
    };
    context.onEditing = [self] {
        if (self)
            self->m_n.overlay->showEditing();
    };
    context.onAudioLost = [self, current](const AudioLoss &loss) {
        if (current())
            self->onAudioLost(loss);
    };
    return context;
}

void DictationSessionController::showPartial(const QString &textSoFar)
{
    m_finalTranscript = textSoFar;
    m_n.overlay->setTranscriptText(m_finalTranscript);
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
    noteLoss(microphoneLostNote);
    stopDictation();
}

void DictationSessionController::noteLoss(const QString &message)
{
    qCWarning(lcCore) << "dictation" << m_session << "lost part of its speech after" << m_clock.elapsed() << "ms";
    if (!m_lossNotes.contains(message))
        m_lossNotes.append(message);
}

void DictationSessionController::onAudioLost(const AudioLoss &loss)
{
    qCWarning(lcCore) << "dictation" << m_session << "lost" << loss.chunks << "chunks," << loss.length.count()
                      << "ms of audio from" << loss.from.count() << "ms: the main thread did not take them in time";
    const std::chrono::milliseconds to = loss.from + loss.length;
    // A stall that goes on while the consumer takes a chunk now and then is still one stretch.
    if (!m_lostAudio.empty() && loss.from <= m_lostAudio.back().second + std::chrono::seconds(1))
        m_lostAudio.back().second = std::max(m_lostAudio.back().second, to);
    else
        m_lostAudio.emplace_back(loss.from, to);
    showLossNote();
}

QString DictationSessionController::lossNote() const
{
    const auto clock = [](std::chrono::seconds at) {
        return u"%1:%2"_s.arg(at.count() / 60).arg(qint64(at.count() % 60), 2, 10, QChar(u'0'));
    };
    QStringList stretches;
    for (const auto &[from, to] : m_lostAudio)
        stretches.append(clock(std::chrono::floor<std::chrono::seconds>(from)) + u'–'
            + clock(std::chrono::ceil<std::chrono::seconds>(to)));
    QStringList notes = m_lossNotes;
    if (!stretches.isEmpty())
        notes.append(u"Часть записи потеряна: %1."_s.arg(stretches.join(u", "_s)));
    return notes.join(u' ');
}

void DictationSessionController::showLossNote()
{
    if (const QString note = lossNote(); !note.isEmpty())
        m_n.overlay->setTranscriptText(note);
}

QString DictationSessionController::lossNoted(const QString &text) const
{
    const QString note = lossNote();
    return note.isEmpty() ? text : note + u' ' + text;
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
    QFuture<void> recorded = m_n.audioRecorder->stop();
    qCDebug(lcCore) << "dictation" << m_session << "stops recording after" << m_clock.elapsed() << "ms";

    if (m_isOnboardingTestDictation && m_flow->walkthroughShowsFinishing())
        m_n.onboardingWindow->showTestProcessing();
    else if (m_flow->finishing() == AbstractDictationFlow::Finishing::recognition)
        m_n.overlay->showProcessing(u"Завершаю распознавание…"_s);
    else
        m_n.overlay->showEditing();
    showLossNote();
    detach(finishDictation(m_session, std::move(recorded)));
}

QCoro::Task<> DictationSessionController::finishDictation(quint64 session, QFuture<void> recorded)
{
    QPointer<DictationSessionController> self(this);
    co_await recorded;
    if (!self || session != m_session)
        co_return;
    const bool awaitsText = co_await m_flow->finish(context(session));
    if (!self || !awaitsText || session != m_session)
        co_return;
    if (m_state == DictationState::processing && !m_completing) {
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

    const std::optional<QString> edited = co_await m_flow->edit(text, context(session));
    if (!self || !edited)
        co_return;
    text = *edited;

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
        showOverlayMessage(u"✓  Текст вставлен"_s, lossNote(), MessageTone::success, insertedHideAfter);
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
    m_flow->discard(false);
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
    if (m_flow)
        m_flow->discard(false);
    m_keys.forget();
    m_insertionTarget.reset();
    m_finalTranscript.clear();
    m_isOnboardingTestDictation = false;
    setState(DictationState::idle);
}

QCoro::Task<bool> DictationSessionController::closeAudioPath()
{
    if (!m_flow)
        co_return true;
    QPointer<DictationSessionController> self(this);
    co_await m_flow->close();
    co_return !self.isNull();
}

void DictationSessionController::prepareForTermination()
{
    if (m_readingKey)
        cancelKeyRead();
    m_n.audioRecorder->stop();
    if (m_flow)
        m_flow->abandonForTermination();
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
    if (m_flow)
        m_flow->discard(true);
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
