#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

struct RealtimeTranscriberCallbacks {
    // May be called on any thread; the receiver hops to the main thread itself.
    std::function<void(const QString &delta)> onPartial;
    std::function<void(const QString &text)> onFinal;
    std::function<void(const QString &message)> onError;
};

class AbstractRealtimeTranscriber {
public:
    virtual ~AbstractRealtimeTranscriber() = default;
    // Throws DescribedError when the connection cannot be made.
    virtual QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) = 0;
    virtual QCoro::Task<void> appendAudio(QByteArray pcm) = 0;
    virtual QCoro::Task<void> commit() = 0;
    virtual QCoro::Task<void> disconnect() = 0;
};

using RealtimeTranscriberFactory
    = std::function<std::unique_ptr<AbstractRealtimeTranscriber>(RealtimeTranscriberCallbacks callbacks)>;
