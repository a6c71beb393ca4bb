#include "services/openai/realtimeevent.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

RealtimeEvent RealtimeEvent::read(const QByteArray &message)
{
    const QJsonObject event = QJsonDocument::fromJson(message).object();
    const QJsonValue type = event.value("type"_L1);
    if (!type.isString())
        return {};
    const QString name = type.toString();
    if (name == u"conversation.item.input_audio_transcription.delta") {
        const QJsonValue delta = event.value("delta"_L1);
        if (!delta.isString())
            return {};
        return { Kind::partial, delta.toString() };
    }
    if (name == u"conversation.item.input_audio_transcription.completed")
        return { Kind::final, event.value("transcript"_L1).toString() };
    if (name == u"error") {
        const QJsonValue text = event.value("error"_L1).toObject().value("message"_L1);
        return { Kind::error, text.isString() ? text.toString() : u"Ошибка OpenAI API."_s };
    }
    return {};
}
