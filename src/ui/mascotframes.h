#pragma once

#include <QList>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <chrono>

enum class MascotState { searching, writing, thinking, editing, happy, confused };

// One mascot image and the resource name it came from.
struct MascotFrame {
    QString name;
    QPixmap pixmap;
};

namespace MascotFrames {

// The compiled-in images live here as <Name>.png.
QString defaultDirectory();

// The two image names of a state, first frame first.
QStringList resourceNames(MascotState state);

// Loads the state's images from `directory`; an image that is missing or cannot
// be decoded is skipped, so the list may be shorter than two or empty.
QList<MascotFrame> load(const QString &directory, MascotState state);

} // namespace MascotFrames
