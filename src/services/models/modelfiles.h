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

// What a model file is by its first bytes: whisper.cpp's ggml ("lmgg") or GGUF.
enum class Kind { whisperBin, gguf, other };
Kind kindOf(const QString &path);

// Whether `path` holds a GGUF file as far as its header tells: the magic, version 2 or 3,
// metadata and tensor descriptions that read to their end, and tensor data that fits in the
// file. Cheap: reads the header only. Returns an empty string or a Russian sentence why not.
QString ggufProblem(const QString &path);

} // namespace ModelFiles
