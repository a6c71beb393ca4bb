#pragma once

#include "core/abstractlocalrecognition.h"

#include <QString>

#include <functional>
#include <memory>

class RecognitionWorker;

// The model a dictation is to use: a path to a ggml file, or why there is none, in words
// for the user («Установите модель распознавания…», «Модель ещё загружается…»).
struct ModelChoice {
    QString path;
    QString problem;
};

// Recognition on this computer with transcribe.cpp. The model comes from `chooseModel`, asked
// for each dictation; one worker thread keeps it loaded between dictations (released after
// the keep time in the settings) and loads another when the choice changes.
class LocalRecognitionService final : public AbstractLocalRecognition {
public:
    explicit LocalRecognitionService(std::function<ModelChoice()> chooseModel);
    ~LocalRecognitionService() override;

    std::optional<QString> unavailableReason() override;
    // Reads the settings (language, spoken punctuation, short audio context) now. When no
    // model can be used, its connect() throws DescribedError with the reason.
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(
        RealtimeTranscriberCallbacks callbacks, SmartMode mode) override;
    QString cleanUp(const QString &text, SmartMode mode) override;

    RecognitionWorker &worker() { return *m_worker; }

private:
    std::function<ModelChoice()> m_chooseModel;
    std::shared_ptr<RecognitionWorker> m_worker;
};
