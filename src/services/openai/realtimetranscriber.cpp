#include "services/openai/realtimetranscriber.h"

#include "core/logging.h"
#include "services/openai/openaierrors.h"
#include "services/openai/realtimeevent.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTimer>
#include <QWebSocket>

#include <QCoro/QCoroTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype keywordLimit = 100;
// Events are small; a bigger message is refused by the socket (which then counts as lost)
// instead of being held in memory.
constexpr quint64 incomingMessageLimit = 16 * 1024 * 1024;

QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

} // namespace

RealtimeTranscriber::RealtimeTranscriber(
    RealtimeTranscriberCallbacks callbacks, OpenAIConfiguration configuration, QObject *parent)
    : QObject(parent)
    , m_callbacks(std::move(callbacks))
    , m_configuration(std::move(configuration))
{
}

RealtimeTranscriber::~RealtimeTranscriber() { closeSocket(); }

QJsonObject RealtimeTranscriber::sessionUpdate(const QString &prompt, const QStringList &keywords)
{
    QJsonObject transcription {
        { "model"_L1, "gpt-live-transcribe"_L1 },
        { "languages"_L1, QJsonArray { "ru"_L1, "en"_L1 } },
        { "delay"_L1, "medium"_L1 },
    };
    if (!prompt.isEmpty())
        transcription.insert("prompt"_L1, prompt);
    if (!keywords.isEmpty())
        transcription.insert("keywords"_L1, QJsonArray::fromStringList(keywords.mid(0, keywordLimit)));
    const QJsonObject input {
        { "format"_L1, QJsonObject { { "type"_L1, "audio/pcm"_L1 }, { "rate"_L1, 24000 } } },
        { "transcription"_L1, transcription },
        { "turn_detection"_L1, QJsonValue::Null },
    };
    return QJsonObject {
        { "type"_L1, "session.update"_L1 },
        { "session"_L1,
            QJsonObject { { "type"_L1, "transcription"_L1 }, { "audio"_L1, QJsonObject { { "input"_L1, input } } } } },
    };
}

QByteArray RealtimeTranscriber::appendMessage(const QByteArray &pcm)
{
    // Written by hand so the Base64 text is the only copy of the audio: a QJsonObject
    // would hold it once more as UTF-16 and again while serialising.
    constexpr QByteArrayView head = R"({"type":"input_audio_buffer.append","audio":")";
    constexpr QByteArrayView tail = R"("})";
    QByteArray message;
    message.reserve(head.size() + (pcm.size() + 2) / 3 * 4 + tail.size());
    message.append(head).append(pcm.toBase64()).append(tail);
    return message;
}

QCoro::Task<void> RealtimeTranscriber::connect(QString apiKey, QString prompt, QStringList keywords)
{
    const std::optional<QUrl> url = m_configuration.realtimeURL();
    if (!url)
        throw TranscriptionError(TranscriptionErrorCase::invalidURL);

    closeSocket();
    QNetworkRequest request(*url);
    request.setRawHeader("Authorization", "Bearer " + apiKey.toUtf8());

    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(incomingMessageLimit);
    m_socket = socket;
    QObject::connect(
        socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) { handleMessage(text.toUtf8()); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this, &RealtimeTranscriber::handleMessage);

    // Wakes the wait below when the handshake ends either way, when the socket goes (a disconnect or
    // a new connect meanwhile deletes it), or when it takes too long: a server that accepts but never
    // finishes the handshake must not hold the dictation. The timer belongs to this wait, not to the
    // socket, so nothing that happens to the socket can leave the wait without its time-out.
    QTimer wake;
    wake.setSingleShot(true);
    const auto wakeNow = [&wake] { wake.start(0); };
    QObject::connect(socket, &QWebSocket::connected, &wake, wakeNow);
    QObject::connect(socket, &QWebSocket::disconnected, &wake, wakeNow);
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), &wake, wakeNow);
    QObject::connect(socket, &QObject::destroyed, &wake, wakeNow);
    wake.start(m_connectTimeout);
    const QPointer<RealtimeTranscriber> self(this);
    const QPointer<QWebSocket> guard(socket);
    QElapsedTimer clock;
    clock.start();
    socket->open(request);
    // QCoro's timer awaiter, not qCoro(wake, &QTimer::timeout): a queued private signal
    // hands that connection a null QPrivateSignal reference (undefined behaviour).
    co_await &wake;
    if (!self || !guard || m_socket != socket || socket->state() != QAbstractSocket::ConnectedState) {
        qCWarning(lcServices) << "realtime: no connection after" << clock.elapsed()
                              << "ms:" << (guard ? guard->error() : QAbstractSocket::UnknownSocketError);
        if (guard)
            guard->abort();
        throw TranscriptionError(TranscriptionErrorCase::notConnected);
    }
    qCDebug(lcServices) << "realtime: connected after" << clock.elapsed() << "ms";
    m_receiving = true;
    QObject::connect(socket, &QWebSocket::disconnected, this, &RealtimeTranscriber::receiveFailed);

    if (!send(compact(sessionUpdate(prompt, keywords))))
        throw TranscriptionError(TranscriptionErrorCase::connectionLost);
}

bool RealtimeTranscriber::send(const QByteArray &json)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // Compact JSON from Qt or Base64 is ASCII/UTF-8 already; the frame carries the bytes as text.
    return m_socket->sendTextMessage(QString::fromUtf8(json)) > 0;
}

QCoro::Task<void> RealtimeTranscriber::appendAudio(QByteArray pcm)
{
    if (!m_socket)
        co_return;
    if (!send(appendMessage(pcm)) && m_callbacks.onError)
        m_callbacks.onError(TranscriptionError(TranscriptionErrorCase::connectionLost).description());
}

QCoro::Task<void> RealtimeTranscriber::commit()
{
    if (!m_socket)
        co_return;
    if (!send(R"({"type":"input_audio_buffer.commit"})") && m_callbacks.onError)
        m_callbacks.onError(TranscriptionError(TranscriptionErrorCase::connectionLost).description());
}

QCoro::Task<void> RealtimeTranscriber::disconnect()
{
    closeSocket();
    co_return;
}

void RealtimeTranscriber::closeSocket()
{
    m_receiving = false;
    QWebSocket *socket = m_socket.data();
    m_socket.clear();
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, this, nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->close(QWebSocketProtocol::CloseCodeNormal);
    else
        socket->abort();
    socket->deleteLater();
}

void RealtimeTranscriber::receiveFailed()
{
    if (!m_receiving)
        return;
    m_receiving = false;
    if (!m_didReceiveFinal)
        qCWarning(lcServices) << "realtime: the socket closed before the final transcript";
    if (!m_didReceiveFinal && m_callbacks.onError)
        m_callbacks.onError(TranscriptionError(TranscriptionErrorCase::connectionLost).description());
}

void RealtimeTranscriber::handleMessage(const QByteArray &data)
{
    if (!m_receiving)
        return;
    const RealtimeEvent event = RealtimeEvent::read(data);
    switch (event.kind) {
    case RealtimeEvent::Kind::ignored:
        break;
    case RealtimeEvent::Kind::partial:
        m_textSoFar += event.text;
        if (m_callbacks.onPartial)
            m_callbacks.onPartial(m_textSoFar);
        break;
    case RealtimeEvent::Kind::final:
        m_didReceiveFinal = true;
        qCDebug(lcServices) << "realtime: final transcript received";
        if (m_callbacks.onFinal)
            m_callbacks.onFinal(event.text);
        break;
    case RealtimeEvent::Kind::error:
        // The server's message may quote part of the key: it goes to the user, not to the log.
        qCWarning(lcServices) << "realtime: the server reported an error";
        if (m_callbacks.onError)
            m_callbacks.onError(event.text);
        break;
    }
}
