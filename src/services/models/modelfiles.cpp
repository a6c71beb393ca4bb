#include "modelfiles.h"

#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ModelFiles {

qint64 freeBytes(const QString &directory)
{
    const QStorageInfo storage(directory);
    return storage.isValid() && storage.isReady() ? storage.bytesAvailable() : std::numeric_limits<qint64>::max();
}

QString sizeText(qint64 bytes)
{
    constexpr double mebibyte = 1 << 20, gibibyte = 1 << 30;
    if (bytes >= gibibyte)
        return u"%1 ГБ"_s.arg(QLocale(QLocale::Russian).toString(bytes / gibibyte, 'f', 1));
    return u"%1 МБ"_s.arg(qRound64(bytes / mebibyte));
}

QString commitInto(QFileDevice &file, const QString &target)
{
    if (!file.flush() || ::fsync(file.handle()) != 0)
        return u"не удалось сохранить файл на диск (%1)"_s.arg(QString::fromLocal8Bit(std::strerror(errno)));
    const QString source = file.fileName();
    file.close();
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0)
        return u"не удалось переименовать файл (%1)"_s.arg(QString::fromLocal8Bit(std::strerror(errno)));
    const int directory
        = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(), O_RDONLY | O_DIRECTORY);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return {};
}

} // namespace ModelFiles
