#include "ui/mascotframes.h"

#include "core/logging.h"

#include <QImageReader>

using namespace Qt::StringLiterals;

// The resources sit in a static library, so their registration has to be pulled
// in explicitly; Q_INIT_RESOURCE must be used outside any namespace.
static void registerMascotResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(mascot);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace MascotFrames {

QString defaultDirectory() { return u":/mascot"_s; }

QStringList resourceNames(MascotState state)
{
    switch (state) {
    case MascotState::searching:
        return { u"VorsSearching1"_s, u"VorsSearching2"_s };
    case MascotState::writing:
        return { u"VorsWriting1"_s, u"VorsWriting2"_s };
    case MascotState::thinking:
        return { u"VorsThinking"_s, u"VorsThinking2"_s };
    case MascotState::editing:
        return { u"VorsEditing1"_s, u"VorsEditing2"_s };
    case MascotState::happy:
        return { u"VorsHappy"_s, u"VorsHappy2"_s };
    case MascotState::confused:
        return { u"VorsConfused1"_s, u"VorsConfused2"_s };
    }
    return {};
}

QList<MascotFrame> load(const QString &directory, MascotState state)
{
    registerMascotResources();
    QList<MascotFrame> frames;
    for (const QString &name : resourceNames(state)) {
        QImageReader reader(directory + u'/' + name + u".png"_s);
        const QImage image = reader.read();
        if (image.isNull())
            qCWarning(lcUI) << "mascot frame" << name << "unreadable:" << reader.errorString();
        else
            frames.append({ name, QPixmap::fromImage(image) });
    }
    return frames;
}

} // namespace MascotFrames
