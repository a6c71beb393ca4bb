#include "services/local/localrecognitionservice.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "services/local/localcleanup.h"
#include "services/local/localtranscriber.h"
#include "services/local/recognitionworker.h"

namespace {

// Stands in for a recogniser when there is no model: the dictation ends at connect().
class UnavailableTranscriber final : public AbstractRealtimeTranscriber {
public:
    explicit UnavailableTranscriber(QString reason)
        : m_reason(std::move(reason))
    {
    }
    QCoro::Task<void> connect(QString, QString, QStringList) override
    {
        throw DescribedError(m_reason);
        co_return;
    }
    QCoro::Task<void> appendAudio(QByteArray) override { co_return; }
    QCoro::Task<void> commit() override { co_return; }
    QCoro::Task<void> disconnect() override { co_return; }

private:
    QString m_reason;
};

} // namespace

LocalRecognitionService::LocalRecognitionService(std::function<ModelChoice()> chooseModel)
    : m_chooseModel(std::move(chooseModel))
    , m_worker(std::make_shared<RecognitionWorker>())
{
}

LocalRecognitionService::~LocalRecognitionService() = default;

std::optional<QString> LocalRecognitionService::unavailableReason()
{
    const ModelChoice choice = m_chooseModel();
    if (!choice.problem.isEmpty())
        return choice.problem;
    return std::nullopt;
}

std::unique_ptr<AbstractRealtimeTranscriber> LocalRecognitionService::makeTranscriber(
    RealtimeTranscriberCallbacks callbacks, SmartMode mode)
{
    const ModelChoice choice = m_chooseModel();
    if (!choice.problem.isEmpty())
        return std::make_unique<UnavailableTranscriber>(choice.problem);
    return std::make_unique<LocalTranscriber>(std::move(callbacks), m_worker,
        LocalTranscriber::Settings { .modelPath = choice.path,
            .language = AppSettings::localLanguage(),
            .spokenPunctuation = AppSettings::localSpokenPunctuation(),
            .paragraphsAtPauses = mode == SmartMode::structured });
}

QString LocalRecognitionService::cleanUp(const QString &text, SmartMode mode)
{
    return LocalCleanup::apply(text, mode);
}
