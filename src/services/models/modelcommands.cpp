#include "services/models/modelcommands.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "services/models/modeldownloader.h"
#include "services/models/modelfiles.h"
#include "services/models/modelstore.h"

#include <QCoro/QCoroTask>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ModelCommands {

namespace {

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// QCoro 0.8's waitFor() never returns when the task it waits for throws: its helper
// coroutine swallows the exception before quitting the loop. So the failure becomes a value.
QCoro::Task<std::optional<QString>> failureOf(QCoro::Task<> task)
{
    std::optional<QString> failure;
    try {
        co_await std::move(task);
    } catch (const DescribedError &error) {
        failure = error.description();
    }
    co_return failure;
}

QCoro::Task<> keepResult(QCoro::Task<QString> task, std::optional<QString> &result)
{
    result = co_await std::move(task);
}

} // namespace

int list(ModelStore &store)
{
    const ModelCatalog::Recommendation recommendation
        = ModelCatalog::recommend(store.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage());
    qsizetype width = 0;
    for (const ModelCatalogEntry &entry : store.catalog())
        width = std::max(width, entry.name.size());
    for (const ModelCatalogEntry &entry : store.catalog()) {
        QStringList marks;
        if (store.isInstalled(entry.name))
            marks.append(u"установлена"_s);
        else if (store.partialSize(entry.name) > 0)
            marks.append(u"загружена частично"_s);
        if (entry.name == recommendation.name)
            marks.append(u"рекомендуется"_s);
        print(stdout,
            u"%1  %2  %3%4\n"_s.arg(entry.name.leftJustified(width), ModelFiles::sizeText(entry.size).rightJustified(7),
                entry.description, marks.isEmpty() ? QString() : u" [%1]"_s.arg(marks.join(u", "_s))));
    }
    print(
        stdout, u"\n%1\nПапка моделей: %2\n"_s.arg(recommendation.reason, QDir::toNativeSeparators(store.directory())));
    return 0;
}

int download(ModelDownloader &downloader, const QString &name)
{
    if (!downloader.store().entry(name)) {
        QStringList names;
        for (const ModelCatalogEntry &entry : downloader.store().catalog())
            names.append(entry.name);
        print(stderr, u"Неизвестная модель «%1». Можно скачать: %2.\n"_s.arg(name, names.join(u", "_s)));
        return 2;
    }
    if (downloader.store().isInstalled(name)) {
        print(stdout,
            u"Модель «%1» уже установлена: %2\n"_s.arg(
                name, downloader.store().pathOf(*downloader.store().entry(name))));
        return 0;
    }
    // A terminal gets one line redrawn in place; a log gets a line about every second.
    const bool terminal = ::isatty(STDERR_FILENO);
    QDeadlineTimer nextLine;
    bool printed = false;
    QObject context;
    QObject::connect(
        &downloader, &ModelDownloader::progressChanged, &context, [&](const ModelDownloader::Progress &progress) {
            if (progress.name != name || !nextLine.hasExpired())
                return;
            nextLine.setRemainingTime(std::chrono::seconds(1));
            print(stderr, terminal ? u"\r%1\x1b[K"_s.arg(progress.text()) : progress.text() + u'\n');
            printed = true;
        });
    const std::optional<QString> failure = QCoro::waitFor(failureOf(downloader.download(name)));
    print(stderr, printed && terminal ? u"\n"_s : QString());
    if (failure) {
        print(stderr, *failure + u'\n');
        return 1;
    }
    print(stdout,
        u"Модель «%1» загружена, проверена и установлена: %2\n"_s.arg(
            name, downloader.store().pathOf(*downloader.store().entry(name))));
    return 0;
}

QCoro::Task<QString> installFile(ModelDownloader &downloader, QString file, bool expert)
{
    ModelStore &store = downloader.store();
    const QString shown = QDir::toNativeSeparators(file);
    if (!QFileInfo(file).isFile())
        throw DescribedError(u"Файл %1 не найден."_s.arg(shown));
    const ModelFiles::Kind kind = ModelFiles::kindOf(file);
    if (kind == ModelFiles::Kind::other)
        throw DescribedError(
            u"Файл %1 — не модель распознавания: это ни GGUF, ни файл модели whisper (.bin)."_s.arg(shown));
    if (expert) {
        if (kind != ModelFiles::Kind::gguf)
            throw DescribedError(u"С --expert устанавливается только файл GGUF; файл whisper (.bin) из списка "
                                 "Ворсика устанавливается без --expert."_s);
        const QString path = store.installOwnFile(file);
        co_return u"Модель установлена: %1\nЧтобы диктовать с ней, выберите её в настройках Ворсика (раздел "
                  "«Распознавание на этом компьютере»). Подойдёт ли она, станет ясно при загрузке."_s.arg(path);
    }
    QHash<QString, QByteArray> digests;
    if (kind == ModelFiles::Kind::gguf) {
        const qint64 size = QFileInfo(file).size();
        for (const ModelCatalogEntry &entry : store.catalog()) {
            if (entry.isGguf() && entry.sizeMatches(size))
                digests.insert(entry.name, co_await downloader.hubDigest(entry));
        }
        if (digests.isEmpty())
            throw DescribedError(u"Размер файла %1 (%2) не совпадает ни с одной моделью GGUF из списка Ворсика. "
                                 "Свою модель можно установить с --expert."_s.arg(shown, ModelFiles::sizeText(size)));
    }
    const QString name = store.installFromFile(file, digests);
    co_return u"Модель «%1» установлена: %2"_s.arg(name, store.pathOf(*store.entry(name)));
}

int install(ModelDownloader &downloader, const QString &file, bool expert)
{
    std::optional<QString> done;
    const std::optional<QString> failure
        = QCoro::waitFor(failureOf(keepResult(installFile(downloader, file, expert), done)));
    if (failure) {
        print(stderr, *failure + u'\n');
        return 1;
    }
    print(stdout, done.value_or(QString()) + u'\n');
    return 0;
}

} // namespace ModelCommands
