#pragma once

#include "core/abstractpcmcollector.h"
#include "core/enums.h"
#include "core/flows/abstractdictationflow.h"

#include <QByteArray>
#include <QStringList>

#include <functional>
#include <memory>

// Keeps the whole recording and uploads it after the second press; the provider answers
// with the finished text, edited already.
class UploadFlow : public AbstractDictationFlow {
public:
    using CollectorFactory = std::function<std::unique_ptr<AbstractPCMCollector>()>;

    explicit UploadFlow(CollectorFactory makeCollector);

    Finishing finishing() const override { return Finishing::editing; }
    QCoro::Task<bool> prepare(QString key, DictationContext context) override;
    AbstractAudioRecorder::PCMHandler audioSink() override;
    QCoro::Task<bool> finish(DictationContext context) override;
    void discard() override { m_collector.reset(); }

protected:
    // What the upload needs from the keyring, read after the second press.
    virtual QCoro::Task<QString> readUploadKey();
    // Returns the finished text or throws DescribedError.
    virtual QCoro::Task<QString> upload(
        QByteArray pcm, QString key, SmartMode mode, QString context, QStringList vocabulary)
        = 0;

private:
    CollectorFactory m_makeCollector;
    std::shared_ptr<AbstractPCMCollector> m_collector;
};
