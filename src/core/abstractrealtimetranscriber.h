#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

struct RealtimeTranscriberCallbacks {
    // May be called on any thread; the receiver hops to the main thread itself.
    // The whole text recognised so far: a later stretch may change earlier words.
    std::function<void(const QString &textSoFar)> onPartial;
    std::function<void(const QString &text)> onFinal;
    std::function<void(const QString &message)> onError;
    // Part of the speech is lost (a stretch the recogniser failed on), in words for the
    // user; the rest of the text still comes through onFinal.
    std::function<void(const QString &message)> onNotice;
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
