#include "core/dictationsessioncontroller.h"

#include "core/appsettings.h"
#include "core/boundedchunkstream.h"
#include "core/describederror.h"
#include "core/detachedtask.h"
#include "core/logging.h"

#include <QPointer>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>

using namespace Qt::StringLiterals;

namespace {

const QString microphoneLostNote = u"Запись прервалась: микрофон пропал."_s;

} // namespace

DictationSessionController::DictationSessionController(Neighbours neighbours, QObject *parent)
    : QObject(parent)
    , m_neighbours(std::move(neighbours))
    , m_keys(m_neighbours.keychain)
    , m_providers(registerProviders(m_neighbours, &m_keys))
    , m_overlayPresenter(m_neighbours.overlay)
    , m_walkthroughPresenter(m_neighbours.onboardingWindow, &m_overlayPresenter, &m_timings.testDictationPause)
{
    m_watchdog.setSingleShot(true);
}

DictationSessionController::~DictationSessionController()
{
    if (m_provider.flow)
        m_provider.flow->endAudio();
}

bool DictationSessionController::fire(DictationEvent event)
{
    const std::optional<DictationPhase> next = nextPhase(m_phase, event);
    if (!next)
        return false;
    const DictationState before = state();
    m_phase = *next;
    if (state() != before)
        Q_EMIT stateChanged(state());
    return true;
}

// ---- toggles ---------------------------------------------------------------

bool DictationSessionController::mayStart(Walkthrough walkthrough)
{
    if (AppSettings::onboardingCompleted() || walkthrough == Walkthrough::atTestDictation)
        return true;
    m_neighbours.onboardingWindow->show();
    return false;
}

void DictationSessionController::toggleFnDictation(Walkthrough walkthrough)
{
    if (!mayStart(walkthrough))
        return;
    if (m_phase == DictationPhase::idle)
        startDictation();
    else if (m_phase == DictationPhase::recording)
        stopDictation();
    // A second press while the keyring is still answering (its unlock prompt may be up)
    // means the user changed their mind.
    else if (fire(DictationEvent::press) && m_phase == DictationPhase::idle)
        giveUpKeyRead();
}

void DictationSessionController::toggleDictation(Walkthrough walkthrough)
{
    if (!mayStart(walkthrough))
        return;
    if (m_phase == DictationPhase::idle)
        startDictation();
    else
        stopDictation();
}

// ---- start -----------------------------------------------------------------

void DictationSessionController::startDictation()
{
    if (m_phase != DictationPhase::idle)
        return;

    const quint64 session = ++m_session;
    m_clock.start();
    m_keys.forget();
    m_dictation = {};
    const AIProvider key = AppSettings::aiProvider().value_or(AIProvider::vorsik);
    const Provider provider = m_providers.find(key);
    qCDebug(lcCore) << "dictation" << session << "is for" << rawValue(key);
    if (const std::optional<QString> reason = provider.flow->unavailableReason()) {
        showFailureMessage(*reason);
        m_neighbours.settingsWindow->showModels();
        return;
    }
    if (const std::optional<AbstractDictationFlow::KeyRequirement> required = provider.flow->key()) {
        fire(DictationEvent::keyNeeded);
        detach(readKeyAndBegin(provider, required->account, session));
    } else {
        beginDictation(provider, QString());
    }
}

QCoro::Task<> DictationSessionController::readKeyAndBegin(Provider provider, QString account, quint64 session)
{
    QPointer<DictationSessionController> self(this);
    std::optional<QString> key = co_await m_keys.read(account);
    if (!self || session != m_session)
        co_return; // given up while the keyring answered: the answer is not used
    qCDebug(lcCore) << "dictation" << session << "read its key after" << m_clock.elapsed() << "ms";
    beginDictation(provider, key);
}

void DictationSessionController::giveUpKeyRead()
{
    qCDebug(lcCore) << "dictation" << m_session << "given up while its key was read";
    ++m_session;
}

void DictationSessionController::beginDictation(Provider provider, const std::optional<QString> &key)
{
    if (const std::optional<AbstractDictationFlow::KeyRequirement> required = provider.flow->key();
        required && (!key || key->isEmpty())) {
        fire(DictationEvent::end);
        showFailureMessage(required->missingMessage);
        m_neighbours.settingsWindow->show();
        return;
    }

    m_provider = provider;
    provider.flow->warmUp();
    // Before setup is done only the walkthrough's test gets this far.
    m_presenter = AppSettings::onboardingCompleted() ? static_cast<AbstractDictationPresenter *>(&m_overlayPresenter)
                                                     : &m_walkthroughPresenter;
    m_dictation.targetPending = m_presenter->insertsText();
    if (m_dictation.targetPending)
        detach(awaitTarget(m_session, m_neighbours.textInserter->captureTarget()));

    fire(DictationEvent::connect);
    m_presenter->connecting();
    const quint64 session = m_session;
    // A timer of the controller's rather than a sleeping coroutine: a dictation that ends during
    // the pause, or a controller that goes, leaves no suspended frame behind.
    if (const std::optional<std::chrono::milliseconds> pause = m_presenter->pauseBeforeRecording())
        QTimer::singleShot(*pause, this, [this, key = key.value_or(QString()), session] {
            if (session == m_session)
                detach(runStart(key, session));
        });
    else
        detach(runStart(key.value_or(QString()), session));
}

QCoro::Task<> DictationSessionController::awaitTarget(
    quint64 session, QCoro::Task<std::optional<TextInsertionTarget>> capture)
{
    QPointer<DictationSessionController> self(this);
    std::optional<TextInsertionTarget> target = co_await capture;
    if (!self)
        co_return;
    if (session == m_session) {
        m_dictation.target = std::move(target);
        m_dictation.targetPending = false;
        qCDebug(lcCore) << "dictation" << session << (m_dictation.target ? "has a target" : "has no target") << "after"
                        << m_clock.elapsed() << "ms";
    }
    Q_EMIT targetCaptured();
}

QCoro::Task<> DictationSessionController::runStart(QString key, quint64 session)
{
    QPointer<DictationSessionController> self(this);
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
    co_await teardown(Ending::failedToStart, *failure);
}

QCoro::Task<> DictationSessionController::startRecording(QString key)
{
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;
    AbstractDictationFlow *flow = m_provider.flow;
    const bool prepared = co_await flow->prepare(key, context(session));
    if (!self || !prepared || session != m_session)
        co_return; // the session ended while the flow prepared
    QCoro::Task<> starting = m_neighbours.audioRecorder->start(flow->audioSink(), lossHandler(session));
    co_await starting;
    if (!self || session != m_session)
        co_return; // ended while the recorder started; its stop() gave the start up
    recordingBegins();
}

void DictationSessionController::recordingBegins()
{
    qCDebug(lcCore) << "dictation" << m_session << "records after" << m_clock.elapsed() << "ms";
    const bool stopWished = m_phase == DictationPhase::connectingToStop;
    fire(DictationEvent::recordingStarted);
    if (stopWished)
        stopDictation();
    else
        m_presenter->listening();
}

// ---- stop ------------------------------------------------------------------

void DictationSessionController::stopDictation()
{
    if (!fire(DictationEvent::stop))
        return;
    QFuture<void> recorded = m_neighbours.audioRecorder->stop();
    qCDebug(lcCore) << "dictation" << m_session << "stops recording after" << m_clock.elapsed() << "ms";
    m_presenter->finishing(*m_provider.flow);
    showLossNote();
    detach(finishDictation(m_session, std::move(recorded)));
}

QCoro::Task<> DictationSessionController::finishDictation(quint64 session, QFuture<void> recorded)
{
    QPointer<DictationSessionController> self(this);
    co_await recorded;
    if (!self || session != m_session)
        co_return;
    const bool awaitsText = co_await m_provider.flow->finish(context(session));
    if (!self || !awaitsText || session != m_session)
        co_return;
    if (m_phase == DictationPhase::finishing) {
        QObject::disconnect(&m_watchdog, nullptr, this, nullptr);
        connect(&m_watchdog, &QTimer::timeout, this, [this, session] { onFinalTranscriptOverdue(session); });
        m_watchdog.start(m_timings.finalTranscriptWatchdog);
    }
}

void DictationSessionController::onFinalTranscriptOverdue(quint64 session)
{
    if (session == m_session && m_phase == DictationPhase::finishing)
        handleTranscriptionError(u"Соединение с распознаванием прервано."_s);
}

// ---- completion ------------------------------------------------------------

QCoro::Task<> DictationSessionController::completeDictation(QString text)
{
    if (!fire(DictationEvent::text))
        co_return; // not under way, or a second result: the paste never runs again
    m_watchdog.stop();
    QPointer<DictationSessionController> self(this);
    const quint64 session = m_session;
    AbstractDictationPresenter *presenter = m_presenter;

    text = text.trimmed();
    if (text.isEmpty())
        text = m_dictation.transcript.trimmed();

    if (text.isEmpty()) {
        co_await teardown(Ending::delivered);
        if (self)
            presenter->nothingRecognised(m_dictation.losses.text());
        co_return;
    }

    const std::optional<QString> edited
        = co_await m_provider.editor->edit(text, AppSettings::smartMode(), context(session));
    if (!self || !edited)
        co_return;
    text = *edited;

    AppSettings::rememberLastText(text);
    Q_EMIT lastTextChanged();

    if (!presenter->insertsText()) {
        co_await teardown(Ending::delivered);
        if (self)
            presenter->showText(text);
        co_return;
    }
    co_await insert(text, session, presenter);
}

QCoro::Task<> DictationSessionController::insert(QString text, quint64 session, AbstractDictationPresenter *presenter)
{
    QPointer<DictationSessionController> self(this);
    while (m_dictation.targetPending && session == m_session) {
        co_await qCoro(this, &DictationSessionController::targetCaptured);
        if (!self)
            co_return;
    }
    if (session != m_session)
        co_return;
    qCDebug(lcCore) << "dictation" << session << "pastes after" << m_clock.elapsed() << "ms";
    const TextInsertionOutcome outcome = co_await m_neighbours.textInserter->insert(text, m_dictation.target);
    qCDebug(lcCore) << "dictation" << session << "paste outcome" << int(outcome.kind) << "after" << m_clock.elapsed()
                    << "ms";
    if (!self)
        co_return;
    co_await teardown(Ending::delivered);
    if (self)
        presenter->inserted(outcome, text, m_dictation.losses.text());
}

// ---- what the flow reports -------------------------------------------------

DictationContext DictationSessionController::context(quint64 session)
{
    QPointer<DictationSessionController> self(this);
    auto current = [self, session] { return self && session == self->m_session; };
    DictationContext context;
    context.session = session;
    context.clock = m_clock;
    context.owner = this;
    context.isCurrent = current;
    // What the flow reports reaches the controller only while its dictation is the current one.
    auto whileCurrent = [current, self](auto action) {
        return [current, self, action](const auto &argument) {
            if (current())
                (self.data()->*action)(argument);
        };
    };
    context.onPartial = whileCurrent(&DictationSessionController::showPartial);
    context.onNotice = whileCurrent(&DictationSessionController::noteLoss);
    context.onFinal = [self, current](const QString &text) {
        if (current())
            self->detach(self->completeDictation(text));
    };
    context.onError = whileCurrent(&DictationSessionController::handleTranscriptionError);
    context.onEditing = [self] {
        if (self)
            self->m_neighbours.overlay->showEditing();
    };
    context.onAudioLost = whileCurrent(&DictationSessionController::onAudioLost);
    return context;
}

void DictationSessionController::showPartial(const QString &textSoFar)
{
    m_dictation.transcript = textSoFar;
    m_neighbours.overlay->setTranscriptText(m_dictation.transcript);
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
    if (session != m_session || m_phase != DictationPhase::recording)
        return;
    qCWarning(lcCore) << "dictation" << session << "lost its microphone after" << m_clock.elapsed() << "ms";
    // What was recorded until now is processed as if the user had pressed Fn.
    noteLoss(microphoneLostNote);
    stopDictation();
}

void DictationSessionController::noteLoss(const QString &message)
{
    qCWarning(lcCore) << "dictation" << m_session << "lost part of its speech after" << m_clock.elapsed() << "ms";
    m_dictation.losses.note(message);
}

void DictationSessionController::onAudioLost(const AudioLoss &loss)
{
    qCWarning(lcCore) << "dictation" << m_session << "lost" << loss.chunks << "chunks," << loss.length.count()
                      << "ms of audio from" << loss.from.count() << "ms: the main thread did not take them in time";
    m_dictation.losses.add(loss);
    showLossNote();
}

void DictationSessionController::showLossNote()
{
    if (const QString note = m_dictation.losses.text(); !note.isEmpty())
        m_neighbours.overlay->setTranscriptText(note);
}

// ---- the end ---------------------------------------------------------------

void DictationSessionController::handleTranscriptionError(const QString &message)
{
    if (!nextPhase(m_phase, DictationEvent::error))
        return; // idle already, or the text is being pasted
    // The message is for the user; it may quote the server, so the log does not.
    qCWarning(lcCore) << "dictation" << m_session << "failed after" << m_clock.elapsed() << "ms";
    detach(teardown(Ending::failed, message));
}

void DictationSessionController::prepareForTermination() { detach(teardown(Ending::quitting)); }

void DictationSessionController::detach(QCoro::Task<> task)
{
    startDetached(std::move(task), [self = QPointer(this)](const QString &description) {
        if (self)
            self->detach(self->teardown(Ending::abandoned, description));
    });
}

QCoro::Task<> DictationSessionController::teardown(Ending ending, QString message)
{
    QPointer<DictationSessionController> self(this);
    const quint64 ended = m_session++;
    m_watchdog.stop();
    m_neighbours.audioRecorder->stop();
    if (ending == Ending::delivered || ending == Ending::failedToStart) {
        if (AbstractDictationFlow *flow = m_provider.flow) {
            co_await flow->close();
            if (!self)
                co_return;
        }
    }
    if (m_provider.flow) {
        if (ending == Ending::abandoned || ending == Ending::quitting)
            m_provider.flow->abandon();
        else
            m_provider.flow->discard();
    }
    // Quitting with no dictation under way comes here too: then there is no time to tell.
    if (m_clock.isValid())
        qCDebug(lcCore) << "dictation" << ended << "is over after" << m_clock.elapsed() << "ms";
    m_clock.invalidate();
    m_keys.forget();
    m_dictation.target.reset();
    m_dictation.targetPending = false;
    m_dictation.transcript.clear();
    // What the user is told after this comes through the presenter the dictation had.
    AbstractDictationPresenter *presenter = std::exchange(m_presenter, &m_overlayPresenter);
    fire(ending == Ending::failed ? DictationEvent::error : DictationEvent::end);
    if (ending == Ending::failed)
        presenter->failed(message, m_dictation.losses.text());
    else if (ending == Ending::failedToStart || ending == Ending::abandoned)
        presenter->failed(message, {});
}
