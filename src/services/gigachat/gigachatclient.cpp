#include "services/gigachat/gigachatclient.h"

#include "audio/wavencoder.h"
#include "services/gigachat/gigachaterror.h"

#include <QPointer>

#include <algorithm>
#include <exception>

using namespace GigaChatExchanges;

GigaChatClient::GigaChatClient(double requestTimeout, int maximumAttempts, QObject *parent)
    : QObject(parent)
    , m_limits { requestTimeout, std::max(1, maximumAttempts) }
{
}

QCoro::Task<QString> GigaChatClient::transcribeAndEdit(
    QByteArray pcmAudio, QString authorizationKey, SmartMode mode, QString context, QStringList vocabulary)
{
    if (pcmAudio.isEmpty())
        throw GigaChatError(GigaChatError::Case::emptyAudio);
    QByteArray wav;
    try {
        wav = WAVEncoder::encodePCM16Mono24kHz(pcmAudio);
    } catch (const WAVEncoderError &) {
        throw GigaChatError(GigaChatError::Case::audioTooLong);
    }
    pcmAudio.clear();

    const Limits limits = m_limits;
    QPointer<GigaChatClient> self(this);
    const QString token = co_await requestAccessToken(std::move(authorizationKey), limits);
    const QString fileID = co_await uploadAudio(wav, token, limits);

    std::optional<Transcript> transcript;
    std::exception_ptr failure;
    try {
        transcript = co_await requestTranscript(fileID, token, mode, std::move(context), std::move(vocabulary),
            QString::fromLatin1(dictationModel), limits);
    } catch (...) {
        failure = std::current_exception();
    }
    co_await deleteFileIgnoringErrors(fileID, token, limits);

    if (failure)
        std::rethrow_exception(failure);
    if (self)
        self->m_lastUsage = transcript->usage;
    co_return transcript->text;
}
