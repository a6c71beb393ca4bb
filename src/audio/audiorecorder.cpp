#include "audio/audiorecorder.h"

#include "audio/audiocapture_p.h"
#include "core/blockingwork.h"
#include "core/logging.h"

#include <QElapsedTimer>
#include <QFuture>
#include <QPointer>
#include <QScopeGuard>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>

#include <exception>
#include <functional>
#include <utility>

namespace {

// Opening waits on the server (up to the start budget), so it runs on the shared pool and
// hands back its failure, if any; whatever `open` holds is torn down by its owner, not there.
QFuture<std::exception_ptr> openOnPool(std::function<void()> open)
{
    return BlockingWork::run([open = std::move(open)] {
        std::exception_ptr failure;
        try {
            open();
        } catch (...) {
            failure = std::current_exception();
        }
        return failure;
    });
}

} // namespace

AudioRecorder::AudioRecorder(QObject *parent)
    : QObject(parent)
{
}

AudioRecorder::~AudioRecorder() { stop(); }

QCoro::Task<> AudioRecorder::start(PCMHandler onPCMData, LossHandler onLost)
{
    QPointer<AudioRecorder> self(this);
    // One capture at a time: a start still opening for a dictation given up
    // meanwhile settles first.
    while (m_starting) {
        co_await qCoro(this, &AudioRecorder::startSettled);
        if (!self)
            co_return;
    }
    if (m_running)
        co_return;

    m_starting = true;
    m_stopWhenStarted = false;
    QElapsedTimer clock;
    clock.start();
    auto capture = std::make_shared<Capture>(std::move(onPCMData));
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    std::function<void()> open = [capture] { capture->open(); };
    QFuture<std::exception_ptr> opening = openOnPool(std::move(open));
    const std::exception_ptr failure = co_await opening;
    if (!self)
        co_return; // the capture goes with this frame
    m_starting = false;
    const bool stopped = std::exchange(m_stopWhenStarted, false);
    // A capture not kept is torn down off this thread.
    const auto retireUnused = qScopeGuard([&] { Capture::retire(std::move(capture)); });
    if (!failure && !stopped) {
        m_capture = capture;
        m_onLost = std::move(onLost);
        m_running = true;
        capture->reportLossTo(this, ++m_generation);
        qCDebug(lcAudio) << "recording from" << capture->sourceName() << "started after" << clock.elapsed() << "ms";
    } else if (stopped) {
        qCDebug(lcAudio) << "a start was given up after" << clock.elapsed() << "ms";
    }
    Q_EMIT startSettled();
    if (failure) {
        qCWarning(lcAudio) << "recording could not start after" << clock.elapsed() << "ms";
        std::rethrow_exception(failure);
    }
}

QFuture<void> AudioRecorder::stop()
{
    if (m_starting) {
        m_stopWhenStarted = true;
        return QtFuture::makeReadyFuture();
    }
    if (!m_running)
        return QtFuture::makeReadyFuture();
    m_onLost = nullptr;
    m_running = false;
    return Capture::finish(std::exchange(m_capture, nullptr));
}

void AudioRecorder::captureLost(quint64 generation)
{
    if (!m_running || generation != m_generation)
        return; // stopped meanwhile: nothing was lost
    Capture::retire(std::exchange(m_capture, nullptr));
    m_running = false;
    if (LossHandler onLost = std::exchange(m_onLost, nullptr))
        onLost();
}
