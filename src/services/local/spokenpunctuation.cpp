#include "services/local/spokenpunctuation.h"

#include "services/local/texttidy.h"

#include <QRegularExpression>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QRegularExpression &spokenForms()
{
    static const QRegularExpression forms(
        uR"((?<![\p{L}\p{N}-])(точка\s+с\s+запятой|три\s+точки|многоточие|вопросительный\s+знак|восклицательный\s+знак|новая\s+строка|новый\s+абзац|запятая|точка|двоеточие)(?![\p{L}\p{N}-]))"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    return forms;
}

QString normalised(QStringView words)
{
    QString result = words.toString().toLower().simplified();
    result.replace(u'ё', u'е');
    return result;
}

// Words after which the form is the noun itself, by its gender: «эта точка», «лишняя запятая».
const QSet<QString> feminine = { u"эта"_s, u"та"_s, u"одна"_s, u"каждая"_s, u"любая"_s, u"какая"_s, u"такая"_s,
    u"лишняя"_s, u"нужна"_s, u"нужная"_s, u"последняя"_s, u"первая"_s, u"вторая"_s, u"другая"_s, u"моя"_s, u"твоя"_s,
    u"наша"_s, u"ваша"_s, u"своя"_s, u"слово"_s };
const QSet<QString> masculine = { u"этот"_s, u"тот"_s, u"один"_s, u"каждый"_s, u"любой"_s, u"какой"_s, u"такой"_s,
    u"лишний"_s, u"нужен"_s, u"нужный"_s, u"последний"_s, u"первый"_s, u"второй"_s, u"другой"_s, u"мой"_s, u"твой"_s,
    u"наш"_s, u"ваш"_s, u"свой"_s, u"слово"_s };
const QSet<QString> neuter = { u"это"_s, u"то"_s, u"одно"_s, u"каждое"_s, u"любое"_s, u"какое"_s, u"такое"_s,
    u"лишнее"_s, u"нужно"_s, u"нужное"_s, u"последнее"_s, u"первое"_s, u"второе"_s, u"другое"_s, u"мое"_s, u"твое"_s,
    u"наше"_s, u"ваше"_s, u"свое"_s, u"слово"_s };
const QSet<QString> plural = { u"все"_s, u"эти"_s, u"те"_s, u"остальные"_s, u"первые"_s, u"последние"_s, u"другие"_s,
    u"на"_s, u"в"_s, u"через"_s, u"между"_s, u"из"_s, u"от"_s, u"до"_s, u"по"_s, u"за"_s, u"слово"_s };

// No clause ends on these, so a form after them is a word: «и точка», «не точка», «на точка».
const QSet<QString> leadOn = { u"и"_s, u"а"_s, u"но"_s, u"или"_s, u"либо"_s, u"не"_s, u"ни"_s, u"в"_s, u"во"_s, u"на"_s,
    u"с"_s, u"со"_s, u"к"_s, u"ко"_s, u"по"_s, u"за"_s, u"из"_s, u"от"_s, u"до"_s, u"о"_s, u"об"_s, u"у"_s, u"для"_s,
    u"про"_s, u"без"_s, u"под"_s, u"над"_s, u"при"_s, u"через"_s, u"между"_s, u"перед"_s };

// «точка» followed by one of these is the noun: «точка зрения», «точка доступа».
const QSet<QString> pointNouns = { u"зрения"_s, u"доступа"_s, u"кипения"_s, u"отсчета"_s, u"входа"_s, u"выхода"_s,
    u"опоры"_s, u"замерзания"_s, u"плавления"_s, u"росы"_s, u"роста"_s, u"невозврата"_s, u"пересечения"_s, u"касания"_s,
    u"перегиба"_s, u"экстремума"_s, u"сбора"_s, u"встречи"_s, u"продаж"_s, u"выдачи"_s, u"присутствия"_s, u"обзора"_s,
    u"останова"_s, u"монтирования"_s, u"восстановления"_s, u"подключения"_s, u"соединения"_s, u"крепления"_s,
    u"равновесия"_s, u"безубыточности"_s, u"отправления"_s, u"назначения"_s, u"старта"_s, u"финиша"_s, u"сохранения"_s,
    u"разрыва"_s, u"контроля"_s, u"давления"_s, u"приложения"_s };

// Address endings «точка ру» and the like, as they are written.
const std::pair<QStringView, QStringView> domains[] = { { u"ру", u"ru" }, { u"ru", u"ru" }, { u"ком", u"com" },
    { u"com", u"com" }, { u"орг", u"org" }, { u"org", u"org" }, { u"рф", u"рф" } };

struct Form {
    QStringView spoken;
    QStringView mark;
    const QSet<QString> &nounAfter;
};

const Form forms[] = {
    { u"точка с запятой", u"; ", feminine },
    { u"три точки", u"… ", plural },
    { u"многоточие", u"… ", neuter },
    { u"вопросительный знак", u"? ", masculine },
    { u"восклицательный знак", u"! ", masculine },
    { u"новая строка", u"\n", feminine },
    { u"новый абзац", u"\n\n", masculine },
    { u"запятая", u", ", feminine },
    { u"точка", u". ", feminine },
    { u"двоеточие", u": ", neuter },
};

bool isSpace(QChar character) { return character == u' ' || character == u'\t'; }

// The word right before `at`, with nothing but spaces between; empty otherwise.
QStringView wordBefore(QStringView text, qsizetype at)
{
    while (at > 0 && isSpace(text.at(at - 1)))
        --at;
    qsizetype start = at;
    while (start > 0 && text.at(start - 1).isLetterOrNumber())
        --start;
    return text.sliced(start, at - start);
}

// The word right after `at`, with nothing but spaces between; empty otherwise.
QStringView wordAfter(QStringView text, qsizetype at)
{
    while (at < text.size() && isSpace(text.at(at)))
        ++at;
    qsizetype end = at;
    while (end < text.size() && text.at(end).isLetterOrNumber())
        ++end;
    return text.sliced(at, end - at);
}

struct Mark {
    QString text;
    qsizetype end; // of what the mark replaces
    bool tight = false; // joins the words on both sides: «3.5», «yandex.ru»
    qsizetype begin = -1; // of what it replaces, where that is more than the spoken form and spaces
};

// What the spoken form at [begin, end) stands for there, or nothing where it is a word.
std::optional<Mark> markAt(QStringView text, qsizetype begin, qsizetype end)
{
    const QString spoken = normalised(text.sliced(begin, end - begin));
    const Form *form = nullptr;
    for (const Form &candidate : forms) {
        if (candidate.spoken == spoken)
            form = &candidate;
    }
    const QString before = normalised(wordBefore(text, begin));
    if (!form || form->nounAfter.contains(before) || leadOn.contains(before))
        return std::nullopt;
    const QStringView next = wordAfter(text, end);
    // «три точки на графике», but «три точки вопросительный знак» ends a clause
    if (spoken == u"три точки" && !next.isEmpty()
        && !spokenForms()
                .match(text, next.data() - text.data(), QRegularExpression::NormalMatch,
                    QRegularExpression::AnchorAtOffsetMatchOption)
                .hasMatch())
        return std::nullopt;
    if (spoken != u"точка")
        return Mark { form->mark.toString(), end };
    if (pointNouns.contains(normalised(next)) || (next.size() == 1 && next.front().isUpper()))
        return std::nullopt;
    // Between numbers, also where the recogniser put its own full stop: «3 точка 5», «3. Точка 5».
    qsizetype digitBefore = begin;
    while (digitBefore > 0 && QStringView(u" \t.").contains(text.at(digitBefore - 1)))
        --digitBefore;
    qsizetype digitAfter = end;
    while (digitAfter < text.size() && QStringView(u" \t.").contains(text.at(digitAfter)))
        ++digitAfter;
    if (digitBefore > 0 && text.at(digitBefore - 1).isDigit() && digitAfter < text.size()
        && text.at(digitAfter).isDigit())
        return Mark { u"."_s, digitAfter, true, digitBefore };
    for (const auto &[said, written] : domains) {
        if (!wordBefore(text, begin).isEmpty() && normalised(next) == said)
            return Mark { u'.' + written.toString(), next.data() + next.size() - text.data(), true };
    }
    return Mark { form->mark.toString(), end };
}

bool isClauseMark(const QString &mark) { return mark == u", " || mark == u": " || mark == u"; "; }

// Two marks said one after the other: ? and ! add up and go with «…» («?!», «…?»); otherwise
// the stronger one stays («точка запятая» → «.»), so a question is never lost to a stop after it.
QString merged(QStringView previous, QStringView next)
{
    const auto emphatic = [](QStringView marks) {
        return !marks.isEmpty() && std::ranges::all_of(marks, [](QChar mark) { return mark == u'?' || mark == u'!'; });
    };
    if ((emphatic(next) && (emphatic(previous) || previous == u"…")) || (next == u"…" && emphatic(previous)))
        return previous.toString().append(next);
    const auto strength = [](QStringView marks) {
        qsizetype strongest = -1;
        for (const QChar mark : marks)
            strongest = std::max(strongest, QStringView(u",:;.…?!").indexOf(mark));
        return strongest;
    };
    return (strength(previous) > strength(next) ? previous : next).toString();
}

// Puts a said mark after the last word of `result`, together with a mark said just before it.
// A break there (between stretches of speech, or said aloud) goes after the mark, so that no
// line starts with one: «Конец\n\nЗапятая дальше» → «Конец,\n\nдальше».
void placeMark(QString &result, QStringView mark, QString breaks)
{
    qsizetype end = result.size();
    for (; end > 0 && result.at(end - 1).isSpace(); --end) {
        if (result.at(end - 1) == u'\n')
            breaks += u'\n';
    }
    qsizetype marks = end;
    while (marks > 0 && QStringView(u",;:.?!…").contains(result.at(marks - 1)))
        --marks;
    const QString both = merged(QStringView(result).sliced(marks, end - marks), mark);
    result.truncate(marks);
    result += both + (breaks.isEmpty() ? u" "_s : breaks);
}

} // namespace

QString SpokenPunctuation::apply(const QString &text, const std::optional<QSet<QString>> &names)
{
    QString source = text; // the capital a recogniser put after a spoken comma may go
    QString result;
    qsizetype copied = 0;
    std::optional<QSet<QString>> knownNames;
    for (const QRegularExpressionMatch &match : spokenForms().globalMatch(text)) {
        if (match.capturedStart() < copied)
            continue; // inside an address ending taken with the mark before it
        const std::optional<Mark> mark = markAt(text, match.capturedStart(), match.capturedEnd());
        if (!mark)
            continue;
        qsizetype from = match.capturedStart();
        qsizetype to = mark->end;
        if (mark->tight) {
            from = std::max(copied, mark->begin >= 0 ? mark->begin : from);
            while (from > copied && isSpace(text.at(from - 1)))
                --from;
        } else {
            // The recogniser writes its own guess around a spoken mark («Привет, запятая, как»):
            // it goes on both sides. Before a break the sentence's own end stays.
            const QStringView before = mark->text.startsWith(u'\n') ? u" \t,;:…" : u" \t\n,;:….?!";
            while (from > copied && before.contains(text.at(from - 1)))
                --from;
        }
        bool sentenceGuessed = false;
        // A paragraph break after it is the speaker's pause, not the recogniser's guess.
        while (!mark->tight && to < text.size() && QStringView(u" \t,.;:!?…").contains(text.at(to))) {
            sentenceGuessed = sentenceGuessed || QStringView(u".?!").contains(text.at(to));
            ++to;
        }
        result += QStringView(source).sliced(copied, from - copied);
        if (mark->tight || mark->text.startsWith(u'\n'))
            result += mark->text;
        else
            placeMark(result, QStringView(mark->text).trimmed(),
                QString(text.sliced(from, match.capturedStart() - from).count(u'\n'), u'\n'));
        copied = to;
        if (sentenceGuessed && isClauseMark(mark->text)) {
            if (!knownNames)
                knownNames = names ? *names : TextTidy::namesIn(text);
            const QString head = source.mid(to, 64);
            source.replace(to, head.size(), TextTidy::lowerFirstWord(head, *knownNames));
        }
    }
    if (copied == 0)
        return text;
    result += QStringView(source).sliced(copied);
    return TextTidy::capitaliseSentences(TextTidy::spaces(result));
}

bool SpokenPunctuation::endsWithClauseMark(QStringView text)
{
    const QStringView tail = text.right(80);
    std::optional<QRegularExpressionMatch> last;
    for (const QRegularExpressionMatch &match : spokenForms().globalMatch(tail))
        last = match;
    if (!last)
        return false;
    for (qsizetype i = last->capturedEnd(); i < tail.size(); ++i) {
        if (!QStringView(u" \t\n,.;:!?…").contains(tail.at(i)))
            return false;
    }
    const std::optional<Mark> mark = markAt(tail, last->capturedStart(), last->capturedEnd());
    return mark && isClauseMark(mark->text);
}
