#include "services/local/localcleanup.h"
#include "services/local/spokenpunctuation.h"
#include "services/local/transcriptassembler.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

using Row = std::pair<QString, QString>; // input → expected

TEST(LocalTextTest, CleanUpRemovesFillersAndSlipsOnly)
{
    const Row rows[] = {
        { u"Ну, я, типа, не знаю, как бы. Да, ну, хорошо."_s, u"Я не знаю. Да, хорошо."_s },
        { u"Ну, давай начнём. Эм, первое."_s, u"Давай начнём. Первое."_s },
        { u"Э, я я пошёл  домой"_s, u"Я пошёл домой"_s },
        { u"Так, э, вот, значит, мы, ну, вот, пошли"_s, u"Так, значит, мы пошли"_s },
        { u"Я пришёл, ну, а он ушёл."_s, u"Я пришёл, а он ушёл."_s },
        { u"Привет. Хм. Как дела, э?"_s, u"Привет. Как дела?"_s },
        { u"Мм, я подумаю"_s, u"Я подумаю"_s },
        { u"он он пришёл и и ушёл"_s, u"Он пришёл и ушёл"_s },
        { u"первый абзац.\n\nЭм.\n\nвторой абзац"_s, u"Первый абзац.\n\nВторой абзац"_s },
        // Words that look like fillers or slips and are not.
        { u"Диаметр трубы 10 мм, длина 5 мм."_s, u"Диаметр трубы 10 мм, длина 5 мм."_s },
        { u"Вот."_s, u"Вот."_s },
        { u"Вот, вот, вот"_s, u"Вот, вот, вот"_s },
        { u"вот дом, ну и что. Этого типа как бы ты назвал?"_s, u"Вот дом, ну и что. Этого типа как бы ты назвал?"_s },
        { u"Нет нет нет"_s, u"Нет нет нет"_s },
        { u"Тук тук. тук-тук, кто там? Да да, очень-очень смешно, ха-ха"_s,
            u"Тук тук. Тук-тук, кто там? Да да, очень-очень смешно, ха-ха"_s },
        { u"эмоции и эхо"_s, u"Эмоции и эхо"_s },
        // Capitals only where a sentence starts.
        { u"www.google.com и файл main.cpp. git push"_s, u"www.google.com и файл main.cpp. git push"_s },
        { u"т.е. немного. См. рис. 5 и ул. ленина, г. москва"_s,
            u"т.е. немного. См. рис. 5 и ул. ленина, г. москва"_s },
        { u"А. С. пушкин. версия 3.5 вышла! ура"_s, u"А. С. пушкин. Версия 3.5 вышла! Ура"_s },
        // Bad input: never empty where something was said, never a crash.
        { u"Ээ, мм"_s, u"Ээ, мм"_s },
        { u"?!"_s, u"?!"_s },
        { QString(), QString() },
        { u"ну, 😀 🎉. э\nNew York, типа, огонь"_s, u"Ну, 😀 🎉.\nNew York огонь"_s },
    };
    for (const auto &[input, expected] : rows) {
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::clean), expected) << input.toStdString();
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::structured), expected) << input.toStdString();
        EXPECT_EQ(LocalCleanup::apply(input, SmartMode::verbatim), input);
    }
}

TEST(LocalTextTest, SpokenPunctuationKnowsItsNouns)
{
    const Row rows[] = {
        { u"привет запятая как дела вопросительный знак"_s, u"Привет, как дела?"_s },
        { u"Привет, запятая, как дела, вопросительный знак."_s, u"Привет, как дела?"_s },
        // Marks said one after another make one, and a question stays a question.
        { u"Как дела вопросительный знак? Точка. Ну точка запятая я подумал три точки восклицательный знак"_s,
            u"Как дела? Ну. Я подумал…!"_s },
        { u"Скажи Привет запятая. Как дела?"_s, u"Скажи Привет, как дела?"_s },
        { u"Это моя точка зрения точка"_s, u"Это моя точка зрения."_s },
        { u"яблоки точка с запятой груши"_s, u"Яблоки; груши"_s },
        { u"я подумал три точки"_s, u"Я подумал…"_s },
        { u"зайди на yandex точка ру, а потом example точка ком"_s, u"Зайди на yandex.ru, а потом example.com"_s },
        { u"версия 3 точка 5 вышла точка Адрес 192 точка 168. Точка 1."_s, u"Версия 3.5 вышла. Адрес 192.168.1."_s },
        { u"Привет, точка, как дела."_s, u"Привет. Как дела."_s },
        { u"список двоеточие хлеб точка новая строка молоко"_s, u"Список: хлеб.\nМолоко"_s },
        { u"Конец. Новый абзац. Начало восклицательный знак"_s, u"Конец.\n\nНачало!"_s },
        { u"т.е. немного точка"_s, u"т.е. немного."_s },
        // The nouns themselves.
        { u"Настрой точка доступа, точка кипения, точка отсчёта и точка входа"_s,
            u"Настрой точка доступа, точка кипения, точка отсчёта и точка входа"_s },
        { u"Здесь лишняя запятая, слово точка и точка А"_s, u"Здесь лишняя запятая, слово точка и точка А"_s },
        { u"отметьте три точки на графике, и точка!"_s, u"отметьте три точки на графике, и точка!"_s },
        { u"между точками и запятыми, точкой отсчёта"_s, u"между точками и запятыми, точкой отсчёта"_s },
    };
    for (const auto &[input, expected] : rows)
        EXPECT_EQ(SpokenPunctuation::apply(input), expected) << input.toStdString();
}

// Stretches of recognised segments as a dictation hands them over: segment text, no-speech
// probability, mean word probability; a stretch of none is one where nothing was heard.
struct Dictation {
    std::vector<std::vector<RecognisedSegment>> stretches;
    QString expected;
    bool paragraphsAtPauses = false;
};

RecognisedSegment heard(const QString &text, float noSpeech = 0.0f, float wordProbability = 1.0f)
{
    return { text, 0ms, 0ms, noSpeech, wordProbability };
}

TEST(LocalTextTest, TranscriptDropsInventedSegmentsAndGoesOnAfterCommas)
{
    const Dictation rows[] = {
        { { { heard(u"Привет."_s) }, { heard(u"Запятая."_s) }, { heard(u"Как дела?"_s) } }, u"Привет, как дела?"_s },
        // A stop the engine put where its call ended, after a word no sentence ends on.
        { { { heard(u"Я думаю, что."_s) }, { heard(u"Завтра дождь."_s) } }, u"Я думаю, что завтра дождь."_s },
        { { { heard(u"Мы купили хлеб и."_s) }, { heard(u"Ворсик рад."_s) } }, u"Мы купили хлеб и Ворсик рад."_s },
        { { { heard(u"Ну и что."_s) }, { heard(u"Завтра дождь."_s) } }, u"Ну и что. Завтра дождь."_s },
        { { { heard(u"В 5"_s) }, { heard(u"Потом ужин, запятая. Потом кино."_s) } }, u"В 5 Потом ужин, потом кино."_s },
        { { { heard(u"Привет,"_s) }, { heard(u"Как дела?"_s) } }, u"Привет, как дела?"_s },
        { { { heard(u"Позвони Маше запятая"_s) }, { heard(u"Маше важно"_s) } }, u"Позвони Маше, Маше важно"_s },
        { { { heard(u"Пишу двоеточие"_s) }, { heard(u"Claude ответит,"_s) }, { heard(u"Ворсик тоже"_s) } },
            u"Пишу: Claude ответит, Ворсик тоже"_s },
        { { { heard(u"Привет."_s) }, { heard(u"Запятая, как дела?"_s) }, { heard(u"Хорошо точка"_s) },
              { heard(u"Я думаю, что."_s) }, { heard(u"Пока"_s) } },
            u"Привет,\n\nКак дела?\n\nХорошо.\n\nЯ думаю, что.\n\nПока"_s, true },
        { { { heard(u"Я отправил письмо, редактор субтитров ответит в понедельник утром"_s) } },
            u"Я отправил письмо, редактор субтитров ответит в понедельник утром"_s },
        { { { heard(u"Отдельное спасибо за просмотр"_s), heard(u"Продолжение следует завтра."_s) } },
            u"Отдельное спасибо за просмотр Продолжение следует завтра."_s },
        // One segment a call, no probabilities: a whole call is judged.
        { { { heard(u"Готово. Спасибо за внимание."_s) }, { heard(u"Спасибо за просмотр!"_s) }, {} },
            u"Готово. Спасибо за внимание."_s },
        { { { heard(u"Я пришёл домой."_s), heard(u"Субтитры сделал DimaTorzok"_s) } }, u"Я пришёл домой."_s },
        { { { heard(u"[музыка]"_s), heard(u"Продолжение следует..."_s) },
              { heard(u"Подписывайтесь на канал, ставьте лайки"_s), heard(u"Субтитры подготовила Ольга"_s) } },
            QString() },
        { { { heard(u"Готово."_s) }, { heard(u"Спасибо за внимание!"_s) }, {} }, u"Готово."_s },
        { { { heard(u"Готово."_s), heard(u"Спасибо за внимание."_s, 0.8f, 0.9f) } }, u"Готово."_s },
        { { { heard(u"Готово."_s), heard(u"Спасибо за внимание."_s) } }, u"Готово. Спасибо за внимание."_s },
        { { { heard(u"Спасибо за внимание."_s) }, {}, { heard(u"Начнём."_s) } }, u"Спасибо за внимание. Начнём."_s },
        { { { heard(u"Раз."_s), heard(u"Два."_s, 0.9f, 0.2f), heard(u"Три."_s, 0.9f, 0.8f),
              heard(u"Четыре."_s, 0.3f, 0.1f) } },
            u"Раз. Три. Четыре."_s },
    };
    for (const Dictation &row : rows) {
        TranscriptAssembler transcript({ .paragraphsAtPauses = row.paragraphsAtPauses,
            .vocabulary = { u"Ворсик"_s, u"голосовой помощник"_s },
            .context = {} });
        for (const auto &stretch : row.stretches)
            transcript.add(stretch, 3s);
        EXPECT_EQ(transcript.text(), row.expected) << row.expected.toStdString();
    }
}
