#pragma once

#include <QFileDevice>
#include <QString>

// File steps shared by the store and the downloader.
namespace ModelFiles {

// Big enough to read a model quickly, small enough that hashing and writing one never
// holds the main thread for more than a millisecond or two.
inline constexpr qint64 chunkSize = 256 * 1024;

// Free bytes on the file system holding `directory`; the maximum when it cannot be told.
qint64 freeBytes(const QString &directory);

// "75 МБ", "1,5 ГБ" (binary units, as upstream publishes its sizes).
QString sizeText(qint64 bytes);

// Syncs `file` to disk, closes it and renames it to `target` in one atomic step, replacing
// what was there, then syncs the directory so that the new name survives a crash.
// Returns an empty string or what went wrong.
QString commitInto(QFileDevice &file, const QString &target);

} // namespace ModelFiles
