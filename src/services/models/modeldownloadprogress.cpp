#include "services/models/modeldownloader.h"

#include "services/models/modeldownloader_p.h"

#include <QLocale>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto progressInterval = 250ms;
constexpr auto speedWindow = 5s;
constexpr qint64 mebibyte = qint64(1) << 20, gibibyte = qint64(1) << 30;

QString decimal(double value) { return QLocale(QLocale::Russian).toString(value, 'f', 1); }

QString durationText(std::chrono::seconds left)
{
    const qint64 seconds = left.count();
    if (seconds < 60)
        return u"%1 с"_s.arg(seconds);
    if (seconds < 600)
        return u"%1 мин %2 с"_s.arg(seconds / 60).arg(seconds % 60);
    if (seconds < 3600)
        return u"%1 мин"_s.arg(seconds / 60);
    return u"%1 ч %2 мин"_s.arg(seconds / 3600).arg(seconds % 3600 / 60);
}

} // namespace

int ModelDownloader::Progress::percent() const
{
    return total > 0 ? int(std::clamp<qint64>(received * 100 / total, 0, 100)) : 0;
}

QString ModelDownloader::Progress::text() const
{
    QStringList parts { u"%1 %"_s.arg(percent()) };
    if (total >= gibibyte)
        parts.append(u"%1 из %2 ГБ"_s.arg(decimal(double(received) / gibibyte), decimal(double(total) / gibibyte)));
    else
        parts.append(
            u"%1 из %2 МБ"_s.arg(qRound64(double(received) / mebibyte)).arg(qRound64(double(total) / mebibyte)));
    if (bytesPerSecond >= mebibyte)
        parts.append(u"%1 МБ/с"_s.arg(decimal(bytesPerSecond / mebibyte)));
    else if (bytesPerSecond > 0)
        parts.append(u"%1 КБ/с"_s.arg(qRound(bytesPerSecond / 1024)));
    if (remaining)
        parts.append(u"осталось "_s + durationText(*remaining));
    return parts.join(u" · "_s);
}

void ModelDownloader::reportProgress(const TransferPtr &transfer)
{
    if (transfer->clock.elapsed() - transfer->lastProgressMs >= progressInterval.count())
        reportProgressNow(transfer);
}

void ModelDownloader::reportProgressNow(const TransferPtr &transfer)
{
    const qint64 now = transfer->clock.elapsed();
    transfer->lastProgressMs = now;
    Progress &progress = transfer->progress;
    auto &samples = transfer->samples;
    samples.emplace_back(now, progress.received);
    while (samples.size() > 2 && now - samples[1].first >= qint64(std::chrono::milliseconds(speedWindow).count()))
        samples.pop_front();
    const auto [sinceMs, sinceBytes] = samples.front();
    // Under a second of samples says little about the speed.
    if (now - sinceMs >= 1000) {
        progress.bytesPerSecond = double(progress.received - sinceBytes) * 1000 / double(now - sinceMs);
        progress.remaining.reset();
        if (progress.bytesPerSecond > 0)
            progress.remaining = std::chrono::seconds(qint64(
                std::ceil(double(std::max<qint64>(0, progress.total - progress.received)) / progress.bytesPerSecond)));
    }
    Q_EMIT progressChanged(progress);
}
