#include "hallucinationfilter.h"
#include "localcleanup.h"
#include "spokenpunctuation.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

using Row = std::pair<QString, QString>; // input → expected

TEST(LocalTextTest, HallucinatedCreditsGoWhereTheyStandAloneOrEndTheText)
{
    const Row rows[] = {
        { u"Продолжение следует..."_s, u""_s },
        { u"Я пришёл домой. Субтитры сделал DimaTorzok"_s, u"Я пришёл домой."_s },
        { u"Хорошо. Субтитры создавал DimaTorzok."_s, u"Хорошо."_s },
        { u"Итак. Редактор субтитров А.Синецкая Корректор А.Егорова"_s, u"Итак."_s },
        { u"Текст — ПОДПИШИСЬ НА КАНАЛ!"_s, u"Текст"_s },
        { u"Всё. Спасибо за просмотр! Thanks for watching!"_s, u"Всё."_s },
        { u"Subtitles by the Amara.org community"_s, u""_s },
        // Only at the end, and only the phrase itself: the user's own words stay.
        { u"Продолжение следует завтра, сказал он."_s, u"Продолжение следует завтра, сказал он."_s },
        { u"Субтитры подогнал Вася к фильму, который мы смотрели вчера"_s,
            u"Субтитры подогнал Вася к фильму, который мы смотрели вчера"_s },
        { u"Спасибо за просмотренные документы"_s, u"Спасибо за просмотренные документы"_s },
    };
    for (const auto &[input, expected] : rows)
        EXPECT_EQ(HallucinationFilter::apply(input), expected) << input.toStdString();
}

TEST(LocalTextTest, SpokenPunctuationBecomesMarks)
{
    const Row rows[] = {
        { u"привет запятая как дела вопросительный знак"_s, u"Привет, как дела?"_s },
        { u"Привет, запятая, как дела? Вопросительный знак."_s, u"Привет, как дела?"_s },
        { u"список двоеточие хлеб точка новая строка молоко"_s, u"Список: хлеб.\nМолоко"_s },
        { u"Конец. Новый абзац. Начало восклицательный знак"_s, u"Конец.\n\nНачало!"_s },
        { u"ЗАПЯТАЯ Точка"_s, u",."_s },
        // Other forms of the words, and words that contain them, stay.
        { u"между точками и запятыми, точкой отсчёта"_s, u"между точками и запятыми, точкой отсчёта"_s },
        { u"знак вопросительный"_s, u"знак вопросительный"_s },
    };
    for (const auto &[input, expected] : rows)
        EXPECT_EQ(SpokenPunctuation::apply(input), expected) << input.toStdString();
}

TEST(LocalTextTest, CleanUpRemovesFillersAndRepeats)
{
    const Row rows[] = {
        { u"Э, я я пошёл  домой"_s, u"Я пошёл домой"_s },
        { u"Ну, давай начнём. Эм, первое, ээ, пункт."_s, u"Давай начнём. Первое, пункт."_s },
        { u"я, типа, не знаю, как бы"_s, u"Я, не знаю"_s },
        { u"мы, ну, вот, пошли"_s, u"Мы, пошли"_s },
        // The words themselves stay where they are not fillers.
        { u"вот дом, ну и что. Этого типа как бы ты назвал?"_s, u"Вот дом, ну и что. Этого типа как бы ты назвал?"_s },
        { u"эмоции и эхо"_s, u"Эмоции и эхо"_s },
        { u"первый абзац.\n\nвторой абзац"_s, u"Первый абзац.\n\nВторой абзац"_s },
    };
    for (const auto &[input, expected] : rows) {
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::clean), expected) << input.toStdString();
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::structured), expected) << input.toStdString();
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::verbatim), input);
    }
}
