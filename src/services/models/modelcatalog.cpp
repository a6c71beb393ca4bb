#include "modelcatalog.h"

#include "logging.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

using namespace Qt::StringLiterals;

// The catalog sits in a static library, so its resource has to be registered
// explicitly; Q_INIT_RESOURCE must be used outside any namespace.
static void registerCatalogResource()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(models);
        return true;
    }();
    Q_UNUSED(registered);
}

QString ModelCatalogEntry::fileName() const { return u"ggml-%1.bin"_s.arg(name); }

namespace ModelCatalog {

namespace {

constexpr qint64 gibibyte = qint64(1) << 30;

// The name becomes part of a file name and a URL: no separators, nothing hidden.
bool isValidName(const QString &name)
{
    static const QRegularExpression pattern(u"^[a-z0-9][a-z0-9._-]*$"_s);
    return pattern.match(name).hasMatch();
}

bool isValidSha1(const QByteArray &hex)
{
    static const QRegularExpression pattern(u"^[0-9a-f]{40}$"_s);
    return pattern.match(QString::fromLatin1(hex)).hasMatch();
}

// "1 ядро", "2 ядра", "5 ядер", "21 ядро".
QString coresText(int cores)
{
    const int lastTwo = cores % 100, last = cores % 10;
    const QString word = (lastTwo >= 11 && lastTwo <= 14) ? u"ядер"_s
        : last == 1                                       ? u"ядро"_s
        : (last >= 2 && last <= 4)                        ? u"ядра"_s
                                                          : u"ядер"_s;
    return u"%1 %2"_s.arg(cores).arg(word);
}

} // namespace

QList<ModelCatalogEntry> builtIn()
{
    registerCatalogResource();
    QFile file(u":/models/catalog.json"_s);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcServices) << "the built-in model catalog is missing";
        return {};
    }
    return fromJson(file.readAll());
}

QList<ModelCatalogEntry> fromJson(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonArray models = document.isArray() ? document.array() : document.object().value(u"models"_s).toArray();
    QList<ModelCatalogEntry> catalog;
    for (const QJsonValue &value : models) {
        const QJsonObject object = value.toObject();
        ModelCatalogEntry entry {
            .name = object.value(u"name"_s).toString(),
            .size = qint64(object.value(u"size"_s).toDouble()),
            .sha1 = object.value(u"sha1"_s).toString().toLower().toLatin1(),
            .description = object.value(u"description"_s).toString(),
        };
        if (!isValidName(entry.name) || entry.size <= 0 || !isValidSha1(entry.sha1) || find(catalog, entry.name)) {
            qCWarning(lcServices) << "a malformed model catalog entry is left out:" << entry.name;
            continue;
        }
        catalog.append(entry);
    }
    return catalog;
}

std::optional<ModelCatalogEntry> find(const QList<ModelCatalogEntry> &catalog, QStringView name)
{
    for (const ModelCatalogEntry &entry : catalog) {
        if (entry.name == name)
            return entry;
    }
    return std::nullopt;
}

MachineFacts MachineFacts::current()
{
    MachineFacts facts;
    facts.cores = std::max(1, QThread::idealThreadCount());
#if defined(__x86_64__) || defined(__i386__)
    facts.avx2 = __builtin_cpu_supports("avx2");
#endif
    QFile meminfo(u"/proc/meminfo"_s);
    if (meminfo.open(QIODevice::ReadOnly | QIODevice::Text)) {
        // "MemTotal:       16314436 kB"
        for (QByteArray line = meminfo.readLine(); !line.isEmpty(); line = meminfo.readLine()) {
            if (line.startsWith("MemTotal:")) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                facts.memoryBytes = fields.value(1).toLongLong() * 1024;
                break;
            }
        }
    }
    return facts;
}

// whisper's encoder cost grows with the model; on the CPU back end AVX2 is what makes
// the larger ones usable, and large-v3-turbo-q5_0 needs about 1 GiB beside the rest
// of the desktop. So: many cores, AVX2 and plenty of memory → the quantised turbo
// (near turbo quality, a third of its size); four cores with AVX2 → small, the usual
// minimum for Russian; anything weaker → base, which keeps dictation responsive.
Recommendation recommend(const QList<ModelCatalogEntry> &catalog, const MachineFacts &facts)
{
    const QString memory = u"%1 ГБ памяти"_s.arg(qRound(double(facts.memoryBytes) / gibibyte));
    const QString machine = u"У этого компьютера %1, %2, %3"_s.arg(
        coresText(facts.cores), facts.avx2 ? u"процессор с AVX2"_s : u"процессор без AVX2"_s, memory);
    QList<Recommendation> candidates;
    if (facts.cores >= 8 && facts.avx2 && facts.memoryBytes >= 8 * gibibyte) {
        candidates.append({ u"large-v3-turbo-q5_0"_s,
            machine + u": ему по силам large-v3-turbo-q5_0 — почти как large-v3-turbo при трети её размера."_s });
    }
    if (facts.cores >= 4 && facts.avx2) {
        candidates.append({ u"small"_s,
            machine
                + u": подойдёт small — обычный минимум для русской речи. Для моделей крупнее нужно "
                  "от 8 ядер и 8 ГБ памяти."_s });
    }
    candidates.append({ u"base"_s,
        machine + u": модели крупнее base будут распознавать слишком долго (им нужно от 4 ядер с AVX2)."_s });
    for (const Recommendation &candidate : std::as_const(candidates)) {
        if (find(catalog, candidate.name))
            return candidate;
    }
    // A catalog without the usual names (a test's, a trimmed one): its smallest model.
    const auto smallest = std::min_element(catalog.begin(), catalog.end(),
        [](const ModelCatalogEntry &a, const ModelCatalogEntry &b) { return a.size < b.size; });
    if (smallest == catalog.end())
        return {};
    return { smallest->name, machine + u"."_s };
}

} // namespace ModelCatalog
