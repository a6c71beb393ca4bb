#pragma once

#include "core/enums.h"
#include "services/gigachat/gigachatresponseparser.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <optional>

// The single exchanges with GigaChat's API, which the client's dictation and the self-test put
// together. Each goes through the curl transport and tries curl's transient failures again;
// all throw GigaChatError.
namespace GigaChatExchanges {

// What every exchange of one caller needs, copied so that a detached exchange never reaches
// back into its caller.
struct Limits {
    double timeout;
    int attempts;
};

struct Transcript {
    QString text;
    std::optional<GigaChatUsage> usage;
};

// A key pasted as "Basic <key>", with spaces around it or broken over lines, reduced to the bare key.
QString normalizedAuthorizationKey(const QString &key);

QCoro::Task<QString> requestAccessToken(QString authorizationKey, Limits limits);
// The WAV file uploaded; returns its file id.
QCoro::Task<QString> uploadAudio(QByteArray wav, QString accessToken, Limits limits);
// A chat model asked for the uploaded file's transcript, edited as `mode` says.
QCoro::Task<Transcript> requestTranscript(QString fileID, QString accessToken, SmartMode mode, QString context,
    QStringList vocabulary, QString model, Limits limits);
// A failure is only logged: the transcript is what counts.
QCoro::Task<> deleteFileIgnoringErrors(QString fileID, QString accessToken, Limits limits);

// A fresh access token, then the model ids the service offers, in its order.
QCoro::Task<QStringList> modelIds(QString authorizationKey, Limits limits);

} // namespace GigaChatExchanges
