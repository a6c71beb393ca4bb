#include "modelcommands.h"

#include "appsettings.h"
#include "describederror.h"
#include "modeldownloader.h"
#include "modelfiles.h"
#include "modelstore.h"

#include <QCoro/QCoroTask>

#include <QDeadlineTimer>
#include <QDir>

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

int install(ModelStore &store, const QString &file)
{
    try {
        const QString name = store.installFromFile(file);
        print(stdout, u"Модель «%1» установлена: %2\n"_s.arg(name, store.pathOf(*store.entry(name))));
        return 0;
    } catch (const DescribedError &error) {
        print(stderr, error.description() + u'\n');
        return 1;
    }
}

} // namespace ModelCommands
