#pragma once

#include <QFont>

// The application's font at a pixel size and weight; every window of the
// program sizes its text this way so they match.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);
