#include "services/models/modelfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ModelFiles {

namespace {

// Reads little-endian fields; any read past the end of the file marks it broken.
struct HeaderReader {
    QFile &file;
    qint64 size;
    bool ok = true;

    template<typename T> T read()
    {
        T value {};
        if (file.read(reinterpret_cast<char *>(&value), sizeof value) != qint64(sizeof value))
            ok = false;
        return qFromLittleEndian(value);
    }
    void skip(quint64 bytes)
    {
        if (!ok || bytes > quint64(size - file.pos()))
            ok = false;
        else
            file.seek(file.pos() + qint64(bytes));
    }
    QByteArray string()
    {
        const quint64 length = read<quint64>();
        if (!ok || length > quint64(size - file.pos())) {
            ok = false;
            return {};
        }
        return file.read(qint64(length));
    }
};

enum : quint32 { ggufString = 8, ggufArray = 9 };

// Bytes of one metadata value of a fixed-size GGUF type; 0 for an unknown one.
quint64 scalarSize(quint32 type)
{
    switch (type) {
    case 0:
    case 1:
    case 7:
        return 1; // u8, i8, bool
    case 2:
    case 3:
        return 2;
    case 4:
    case 5:
    case 6:
        return 4; // u32, i32, f32
    case 10:
    case 11:
    case 12:
        return 8; // u64, i64, f64
    default:
        return 0;
    }
}

void skipValue(HeaderReader &reader, quint32 type)
{
    if (type == ggufString) {
        reader.string();
        return;
    }
    if (type != ggufArray) {
        const quint64 bytes = scalarSize(type);
        reader.ok = reader.ok && bytes > 0;
        reader.skip(bytes);
        return;
    }
    const quint32 element = reader.read<quint32>();
    const quint64 count = reader.read<quint64>();
    if (element == ggufString) {
        // Each string takes at least its 8-byte length, which bounds the count.
        reader.ok = reader.ok && count <= quint64(reader.size) / 8;
        for (quint64 i = 0; reader.ok && i < count; ++i)
            reader.string();
        return;
    }
    const quint64 bytes = scalarSize(element); // arrays of arrays do not occur in models
    reader.ok = reader.ok && bytes > 0 && count <= quint64(reader.size) / bytes;
    reader.skip(count * bytes);
}

// ggml's block of elements and its bytes, for the types models are stored in; none for others.
std::optional<std::pair<quint64, quint64>> blockOf(quint32 type)
{
    switch (type) {
    case 0:
        return std::pair { 1, 4 }; // F32
    case 1:
    case 30:
        return std::pair { 1, 2 }; // F16, BF16
    case 2:
        return std::pair { 32, 18 }; // Q4_0
    case 3:
        return std::pair { 32, 20 };
    case 6:
        return std::pair { 32, 22 };
    case 7:
        return std::pair { 32, 24 };
    case 8:
        return std::pair { 32, 34 }; // Q8_0
    case 10:
        return std::pair { 256, 84 }; // Q2_K
    case 11:
        return std::pair { 256, 110 };
    case 12:
        return std::pair { 256, 144 }; // Q4_K
    case 13:
        return std::pair { 256, 176 };
    case 14:
        return std::pair { 256, 210 }; // Q6_K
    case 24:
        return std::pair { 1, 1 }; // I8
    case 25:
        return std::pair { 1, 2 };
    case 26:
        return std::pair { 1, 4 };
    case 27:
    case 28:
        return std::pair { 1, 8 }; // I64, F64
    default:
        return std::nullopt;
    }
}

} // namespace

Kind kindOf(const QString &path)
{
    QFile file(path);
    const QByteArray magic = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
    return magic == "lmgg" ? Kind::whisperBin : magic == "GGUF" ? Kind::gguf : Kind::other;
}

QString ggufProblem(const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return u"Не удалось открыть файл %1."_s.arg(shown);
    HeaderReader reader { file, file.size() };
    if (file.read(4) != "GGUF")
        return u"Файл %1 — не модель GGUF."_s.arg(shown);
    const quint32 version = reader.read<quint32>();
    if (reader.ok && version != 2 && version != 3)
        return u"Файл %1 — GGUF версии %2, а читаются версии 2 и 3."_s.arg(shown).arg(version);
    const quint64 tensors = reader.read<quint64>(), values = reader.read<quint64>();
    // A description takes at least 8 bytes, which bounds both counts by the file.
    reader.ok = reader.ok && tensors <= quint64(reader.size) / 8 && values <= quint64(reader.size) / 8;
    quint64 alignment = 32;
    for (quint64 i = 0; reader.ok && i < values; ++i) {
        const QByteArray key = reader.string();
        const quint32 type = reader.read<quint32>();
        if (key == "general.alignment" && type == 4)
            alignment = reader.read<quint32>();
        else
            skipValue(reader, type);
    }
    if (reader.ok && (alignment == 0 || (alignment & (alignment - 1)) != 0))
        return u"Файл %1 повреждён: в заголовке GGUF неверное выравнивание."_s.arg(shown);
    quint64 end = 0;
    for (quint64 i = 0; reader.ok && i < tensors; ++i) {
        reader.string();
        const quint32 dimensions = reader.read<quint32>();
        reader.ok = reader.ok && dimensions >= 1 && dimensions <= 4;
        quint64 elements = 1;
        for (quint32 d = 0; reader.ok && d < dimensions; ++d) {
            const quint64 extent = reader.read<quint64>();
            reader.ok = reader.ok && extent > 0 && extent <= quint64(reader.size) * 8 / elements;
            elements *= extent;
        }
        const quint32 type = reader.read<quint32>();
        const quint64 offset = reader.read<quint64>();
        const auto block = blockOf(type);
        const quint64 bytes = block ? (elements + block->first - 1) / block->first * block->second : 1;
        reader.ok = reader.ok && offset % alignment == 0 && offset <= quint64(reader.size);
        end = std::max(end, offset + bytes);
    }
    if (!reader.ok)
        return u"Файл %1 обрезан или повреждён: заголовок GGUF не читается до конца."_s.arg(shown);
    if (tensors == 0)
        return u"В файле %1 нет ни одного тензора: это не модель."_s.arg(shown);
    const quint64 data = (quint64(file.pos()) + alignment - 1) / alignment * alignment;
    if (data + end > quint64(reader.size))
        return u"Файл %1 обрезан: данных в нём меньше, чем объявлено в заголовке GGUF."_s.arg(shown);
    return {};
}

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
