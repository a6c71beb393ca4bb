#include "services/models/modelstore.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/logging.h"
#include "services/models/modelfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

using namespace Qt::StringLiterals;

ModelStore::ModelStore(QString directory, QList<ModelCatalogEntry> catalog)
    : m_directory(std::move(directory))
    , m_catalog(std::move(catalog))
{
}

QString ModelStore::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/plumrest/Vorsik/models"_s;
}

QString ModelStore::pathOf(const ModelCatalogEntry &entry) const { return m_directory + u'/' + entry.fileName(); }

QString ModelStore::partialPathOf(const ModelCatalogEntry &entry) const { return pathOf(entry) + u".part"_s; }

bool ModelStore::isInstalled(QStringView name) const
{
    const auto found = entry(name);
    return found && QFileInfo(pathOf(*found)).isFile();
}

QStringList ModelStore::installedNames() const
{
    QStringList names;
    for (const ModelCatalogEntry &candidate : m_catalog) {
        if (QFileInfo(pathOf(candidate)).isFile())
            names.append(candidate.name);
    }
    return names;
}

qint64 ModelStore::partialSize(QStringView name) const
{
    const auto found = entry(name);
    if (!found)
        return 0;
    const QFileInfo part(partialPathOf(*found));
    return part.isFile() ? part.size() : 0;
}

bool ModelStore::remove(QStringView name)
{
    const auto found = entry(name);
    if (!found)
        return false;
    bool removedAny = false, failed = false;
    for (const QString &path : { pathOf(*found), partialPathOf(*found), partialPathOf(*found) + u".sha256"_s }) {
        if (!QFileInfo::exists(path))
            continue;
        if (QFile::remove(path))
            removedAny = true;
        else
            failed = true;
    }
    return removedAny && !failed;
}

ModelStore::Resolved ModelStore::resolve(const QString &setting) const
{
    if (setting.isEmpty()) {
        const QStringList installed = installedNames();
        const QString language = AppSettings::localLanguage();
        const ModelCatalog::MachineFacts facts = ModelCatalog::MachineFacts::current();
        const auto recommended = entry(ModelCatalog::recommend(m_catalog, facts, language).name);
        // The command names the model that suits this computer, as the settings window does.
        if (installed.isEmpty())
            return { .problem = u"Не установлена ни одна модель распознавания. Чтобы установить, откройте настройки "
                                "Ворсика, раздел «Распознавание на этом компьютере», или выполните verbulo "
                                "--download-model %1."_s.arg(recommended ? recommended->name : u"small"_s) };
        // The recommended one; else one made for the language (the catalog lists the better first);
        // else the largest whisper that whisper's recommendation allows; else the smallest, the quickest.
        QList<ModelCatalogEntry> whisper;
        for (const ModelCatalogEntry &candidate : m_catalog) {
            if (candidate.family == ModelFamily::whisper)
                whisper.append(candidate);
        }
        const auto whisperLimit = entry(ModelCatalog::recommend(whisper, facts, language).name);
        const qint64 limit = whisperLimit ? whisperLimit->size : std::numeric_limits<qint64>::max();
        std::optional<ModelCatalogEntry> made, best, smallest;
        for (const QString &name : installed) {
            const ModelCatalogEntry candidate = *entry(name);
            if (recommended && candidate.name == recommended->name) {
                made = candidate;
                break;
            }
            if (!made && !candidate.languages.isEmpty() && candidate.recognises(language))
                made = candidate;
            if (candidate.family == ModelFamily::whisper && candidate.size <= limit
                && (!best || candidate.size > best->size))
                best = candidate;
            if (!smallest || candidate.size < smallest->size)
                smallest = candidate;
        }
        const ModelCatalogEntry chosen = made ? *made : best ? *best : *smallest;
        return { .path = pathOf(chosen), .name = chosen.name, .family = chosen.family };
    }
    if (const auto named = entry(setting)) {
        if (isInstalled(named->name))
            return { .path = pathOf(*named), .name = named->name, .family = named->family };
        return { .name = named->name,
            .problem = u"Модель «%1» не установлена. Скачайте её в настройках Ворсика (раздел «Распознавание на этом "
                       "компьютере») или командой verbulo --download-model %1."_s.arg(named->name) };
    }
    const QFileInfo file(setting);
    if (file.isAbsolute()) {
        if (file.isFile() && file.isReadable())
            return { .path = file.absoluteFilePath(), .name = file.fileName() };
        return { .name = file.fileName(),
            .problem = u"Файл модели %1 не найден или не читается. Укажите в настройках Ворсика другой файл "
                       "или выберите модель из списка."_s.arg(QDir::toNativeSeparators(setting)) };
    }
    QStringList names;
    for (const ModelCatalogEntry &known : m_catalog)
        names.append(known.name);
    return { .name = setting,
        .problem = u"Модели «%1» нет в списке Ворсика (есть: %2). Выберите модель в настройках Ворсика, раздел "
                   "«Распознавание на этом компьютере»."_s.arg(setting, names.join(u", "_s)) };
}

std::optional<ModelCatalogEntry> ModelStore::betterModel(
    const QString &setting, QStringView language, const ModelCatalog::MachineFacts &facts) const
{
    const Resolved current = resolve(setting);
    const auto inUse = current.ok() && !QDir::isAbsolutePath(setting) ? entry(current.name) : std::nullopt;
    if (!inUse || inUse->family != ModelFamily::whisper)
        return std::nullopt;
    const auto recommended = entry(ModelCatalog::recommend(m_catalog, facts, language).name);
    if (!recommended || recommended->family == ModelFamily::whisper || isInstalled(recommended->name))
        return std::nullopt;
    return recommended;
}

QString ModelStore::copyIn(
    const QString &file, const std::function<QString(const QByteArray &sha1, const QByteArray &sha256)> &accept) const
{
    QFile source(file);
    if (!QFileInfo(file).isFile())
        throw DescribedError(u"Файл %1 не найден."_s.arg(QDir::toNativeSeparators(file)));
    if (!source.open(QIODevice::ReadOnly))
        throw DescribedError(u"Не удалось открыть файл %1: нет доступа."_s.arg(QDir::toNativeSeparators(file)));
    if (!QDir().mkpath(m_directory))
        throw DescribedError(u"Не удалось создать папку моделей %1."_s.arg(QDir::toNativeSeparators(m_directory)));

    // One pass: the copy goes to a temporary file beside the target and is renamed into
    // place only when it is accepted; otherwise it is removed.
    QTemporaryFile copy(m_directory + u"/installing-XXXXXX.part"_s);
    if (!copy.open())
        throw DescribedError(u"Не удалось записать в папку моделей %1."_s.arg(QDir::toNativeSeparators(m_directory)));
    const qint64 needed = source.size() - ModelFiles::freeBytes(m_directory);
    if (needed > 0)
        throw DescribedError(
            u"Для модели не хватает места на диске: освободите ещё %1."_s.arg(ModelFiles::sizeText(needed)));
    QCryptographicHash sha1(QCryptographicHash::Sha1), sha256(QCryptographicHash::Sha256);
    QByteArray buffer(ModelFiles::chunkSize, Qt::Uninitialized);
    for (qint64 read; (read = source.read(buffer.data(), buffer.size())) > 0;) {
        sha1.addData(QByteArrayView(buffer.constData(), read));
        sha256.addData(QByteArrayView(buffer.constData(), read));
        if (copy.write(buffer.constData(), read) != read)
            throw DescribedError(
                u"Не удалось записать модель на диск (%1). Возможно, он заполнен."_s.arg(copy.errorString()));
    }
    if (source.error() != QFileDevice::NoError)
        throw DescribedError(
            u"Не удалось дочитать файл %1: %2."_s.arg(QDir::toNativeSeparators(file), source.errorString()));
    const QString target = accept(sha1.result().toHex(), sha256.result().toHex());
    if (const QString failure = ModelFiles::commitInto(copy, target); !failure.isEmpty())
        throw DescribedError(
            u"Не удалось сохранить модель в папку %1: %2."_s.arg(QDir::toNativeSeparators(m_directory), failure));
    copy.setAutoRemove(false);
    return target;
}

QString ModelStore::installFromFile(const QString &file, const QHash<QString, QByteArray> &hubDigests) const
{
    const qint64 size = QFileInfo(file).size();
    std::optional<ModelCatalogEntry> match;
    copyIn(file, [&](const QByteArray &sha1, const QByteArray &sha256) {
        const auto found = std::find_if(m_catalog.begin(), m_catalog.end(), [&](const ModelCatalogEntry &known) {
            return known.isGguf() ? known.sizeMatches(size) && hubDigests.value(known.name) == sha256
                                  : known.sha1 == sha1;
        });
        if (found == m_catalog.end())
            throw DescribedError(
                u"Файл %1 не совпадает ни с одной моделью из списка Ворсика (другая контрольная сумма); "
                "установить можно только их. Список: verbulo --list-models."_s.arg(QDir::toNativeSeparators(file)));
        match = *found;
        return pathOf(*found);
    });
    qCInfo(lcServices) << "installed model" << match->name << "from a file";
    return match->name;
}

QString ModelStore::installOwnFile(const QString &file) const
{
    if (const QString problem = ModelFiles::ggufProblem(file); !problem.isEmpty())
        throw DescribedError(problem);
    const QString name = QFileInfo(file).fileName();
    for (const ModelCatalogEntry &entry : m_catalog) {
        if (entry.fileName() == name)
            throw DescribedError(u"Файл %1 назван как модель из списка Ворсика, но он не она: переименуйте его или "
                                 "установите без --expert."_s.arg(name));
    }
    const QString target = m_directory + u'/' + name;
    if (!name.endsWith(u".gguf"_s) || QFileInfo(target).isFile())
        throw DescribedError(name.endsWith(u".gguf"_s)
                ? u"Модель с именем %1 уже установлена; чтобы заменить её, сначала удалите файл %2."_s.arg(
                    name, QDir::toNativeSeparators(target))
                : u"Имя файла модели GGUF должно оканчиваться на .gguf."_s);
    copyIn(file, [&](const QByteArray &, const QByteArray &) { return target; });
    qCInfo(lcServices) << "installed a model of the user's own:" << name;
    return target;
}

QStringList ModelStore::ownFiles() const
{
    QStringList files;
    QStringList catalogFiles;
    for (const ModelCatalogEntry &entry : m_catalog)
        catalogFiles.append(entry.fileName());
    for (const QFileInfo &file : QDir(m_directory).entryInfoList({ u"*.gguf"_s }, QDir::Files, QDir::Name)) {
        if (!catalogFiles.contains(file.fileName()))
            files.append(file.absoluteFilePath());
    }
    return files;
}
