#include "services/models/modelcatalog.h"

#include "core/appsettings.h"
#include "core/logging.h"

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

QString ModelCatalogEntry::fileName() const
{
    return isGguf() ? hubPath.section(u'/', -1) : u"ggml-%1.bin"_s.arg(name);
}

// whisper's sizes are upstream's MiB or tenths of a GiB, so the file may be somewhat larger;
// the GGUF sizes are decimal megabytes (the F32 files are four bytes a parameter), to 1 %.
bool ModelCatalogEntry::sizeMatches(qint64 bytes) const
{
    if (!isGguf())
        return bytes > 0 && bytes <= maximumSize();
    return bytes >= size - size / 100 && bytes <= maximumSize();
}

qint64 ModelCatalogEntry::maximumSize() const { return size + size / (isGguf() ? 100 : 50); }

bool ModelCatalogEntry::recognises(QStringView language) const
{
    return languages.isEmpty() || languages.contains(language);
}

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

// "<owner>/<repository>/resolve/<revision>/<file>.gguf": each part a plain name, nothing hidden.
bool isValidHubPath(const QString &path)
{
    static const QRegularExpression pattern(
        u"^[A-Za-z0-9][A-Za-z0-9._-]*/[A-Za-z0-9][A-Za-z0-9._-]*/resolve/[A-Za-z0-9][A-Za-z0-9._-]*/"
        "[A-Za-z0-9][A-Za-z0-9._-]*\\.gguf$"_s);
    return pattern.match(path).hasMatch();
}

std::optional<ModelFamily> parseFamily(const QString &text)
{
    for (const ModelFamily family : { ModelFamily::whisper, ModelFamily::gigaam, ModelFamily::parakeet }) {
        if (text == familyName(family))
            return family;
    }
    return std::nullopt;
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
        const std::optional<ModelFamily> family = parseFamily(object.value(u"family"_s).toString(u"whisper"_s));
        QStringList languages;
        for (const QJsonValue &language : object.value(u"languages"_s).toArray())
            languages.append(language.toString());
        ModelCatalogEntry entry {
            .name = object.value(u"name"_s).toString(),
            .family = family.value_or(ModelFamily::whisper),
            .size = qint64(object.value(u"size"_s).toDouble()),
            .sha1 = object.value(u"sha1"_s).toString().toLower().toLatin1(),
            .hubPath = object.value(u"hubPath"_s).toString(),
            .languages = languages,
            .description = object.value(u"description"_s).toString(),
        };
        // A whisper .bin is checked against its pinned SHA-1, a GGUF against the hub's SHA-256.
        const bool source = entry.isGguf() ? isValidHubPath(entry.hubPath) && entry.sha1.isEmpty()
                                           : isValidSha1(entry.sha1) && entry.family == ModelFamily::whisper;
        if (!family || !isValidName(entry.name) || entry.size <= 0 || !source || languages.contains(QString())
            || find(catalog, entry.name)) {
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

QUrl sourceOf(const ModelCatalogEntry &entry)
{
    QString base = entry.isGguf() ? AppSettings::localHubURL() : AppSettings::localModelsURL();
    while (base.endsWith(u'/'))
        base.chop(1);
    return QUrl(base + u'/' + (entry.isGguf() ? entry.hubPath : entry.fileName()));
}

QString familyName(ModelFamily family)
{
    switch (family) {
    case ModelFamily::gigaam:
        return u"gigaam"_s;
    case ModelFamily::parakeet:
        return u"parakeet"_s;
    case ModelFamily::whisper:
        break;
    }
    return u"whisper"_s;
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

// GigaAM v3 is far more accurate in Russian than any whisper that runs here, punctuates itself
// and is small: its e2e RNN-T (Q4_K_M; Q8_0 is no more accurate) for Russian. Its CTC twin decodes
// each frame at once instead of step by step, so on the weakest machines — two cores or fewer, or
// no AVX2, where ggml's CPU code runs several times slower — it is the one that keeps the wait
// short. Another of Parakeet v3's 25 languages → Parakeet (about 1 GB of memory while it runs, so
// from 4 GB). Anything else, or "auto" (only whisper detects the language), follows whisper's rule:
// its encoder cost grows with the model and AVX2 is what makes the larger ones usable, and
// large-v3-turbo-q5_0 needs about 1 GiB beside the rest of the desktop. So: many cores, AVX2 and
// plenty of memory → the quantised turbo (near turbo quality, a third of its size); four cores with
// AVX2 → small, the usual minimum for Russian; anything weaker → base, which keeps dictation responsive.
static Recommendation pick(const QList<ModelCatalogEntry> &catalog, const MachineFacts &facts, QStringView language)
{
    const QString memory = u"%1 ГБ памяти"_s.arg(qRound(double(facts.memoryBytes) / gibibyte));
    const QString machine = u"У этого компьютера %1, %2, %3"_s.arg(
        coresText(facts.cores), facts.avx2 ? u"процессор с AVX2"_s : u"процессор без AVX2"_s, memory);
    QList<Recommendation> candidates;
    if (language == u"ru") {
        if (facts.cores > 2 && facts.avx2) {
            candidates.append({ u"gigaam-v3-e2e-rnnt-q4_k_m"_s,
                machine
                    + u": для русской речи подойдёт GigaAM v3 RNN-T — ошибается в разы реже whisper и сама "
                      "ставит знаки препинания."_s });
        }
        candidates.append({ u"gigaam-v3-e2e-ctc-q4_k_m"_s,
            machine
                + u": для русской речи подойдёт GigaAM v3 CTC — почти так же точна, как RNN-T, и быстрее "
                  "на слабом процессоре."_s });
    } else if (const auto parakeet = find(catalog, u"parakeet-tdt-0.6b-v3-q4_k_m");
               parakeet && parakeet->recognises(language) && facts.memoryBytes >= 4 * gibibyte) {
        candidates.append({ parakeet->name,
            machine + u": для этого языка подойдёт Parakeet v3 — 25 европейских языков, знаки препинания сама."_s });
    }
    const bool anyLanguage = language == u"auto";
    if (facts.cores >= 8 && facts.avx2 && facts.memoryBytes >= 8 * gibibyte) {
        candidates.append({ u"large-v3-turbo-q5_0"_s,
            machine + u": ему по силам large-v3-turbo-q5_0 — почти как large-v3-turbo при трети её размера."_s });
    }
    if (facts.cores >= 4 && facts.avx2) {
        candidates.append({ u"small"_s,
            machine
                + (anyLanguage ? u": подойдёт small — она сама определяет язык речи. "_s
                               : u": подойдёт small — обычный минимум для русской речи. "_s)
                + u"Для моделей крупнее нужно от 8 ядер и 8 ГБ памяти."_s });
    }
    candidates.append({ u"base"_s,
        machine + u": модели крупнее base будут распознавать слишком долго (им нужно от 4 ядер с AVX2)."_s });
    for (const Recommendation &candidate : std::as_const(candidates)) {
        if (const auto entry = find(catalog, candidate.name); entry && entry->recognises(language))
            return candidate;
    }
    // A catalog without the usual names (a test's, a trimmed one): its smallest model for the language.
    std::optional<ModelCatalogEntry> smallest;
    for (const ModelCatalogEntry &entry : catalog) {
        if (entry.recognises(language) && (!smallest || entry.size < smallest->size))
            smallest = entry;
    }
    if (!smallest)
        return {};
    return { smallest->name, machine + u"."_s };
}

Recommendation recommend(const QList<ModelCatalogEntry> &catalog, const MachineFacts &facts, QStringView language)
{
    Recommendation chosen = pick(catalog, facts, language);
    const MachineFacts strong { 64, true, qint64(256) * gibibyte };
    chosen.limitedByMachine = pick(catalog, strong, language).name != chosen.name;
    return chosen;
}

} // namespace ModelCatalog
