#include "onboardingsteps.h"

#include <array>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace OnboardingSteps {

namespace {

const QString back = u"Назад"_s;
const QString goOn = u"Продолжить"_s;

// In the order of OnboardingStep.
const std::array<OnboardingPage, 6> pages { {
    { MascotState::happy, 700ms, u"Добро пожаловать"_s, { u"Познакомимся?"_s },
        { u"Ворсик будет слушать вашу речь, аккуратно приводить текст в порядок и вставлять его туда, где стоит "
          u"курсор."_s },
        { u"Для работы понадобятся два разрешения системы. Мы запросим их по очереди и объясним каждое."_s,
            u"Понадобятся два разрешения системы и модель распознавания речи. Настроим всё по очереди."_s },
        u"Начать настройку"_s, QString() },
    // Nothing to grant on Linux: the page says what the microphone is for, and its button moves on.
    { MascotState::writing, 550ms, QString(), { u"Разрешите микрофон"_s },
        { u"Микрофон нужен только для записи вашей диктовки после нажатия Fn."_s },
        { u"Ворсик не слушает вас в фоне и не сохраняет аудио на компьютере. Сразу после обработки запись "
          u"удаляется."_s },
        goOn, back },
    { MascotState::thinking, 650ms, QString(), { u"Разрешите вставку текста"_s },
        { u"Универсальный доступ нужен, чтобы Ворсик мог вставить готовый текст в поле, где стоял курсор."_s,
            u"Специальные возможности нужны, чтобы Ворсик мог вставить готовый текст в поле, где стоял курсор."_s },
        {}, QString(), back, Qt::AlignLeft | Qt::AlignTop },
    { MascotState::searching, 650ms, QString(), {},
        { u"Речь распознаётся прямо на этом компьютере — запись его не покидает. Для этого нужна модель: файл, "
          u"который скачивается один раз."_s },
        {}, QString(), back },
    { MascotState::thinking, 650ms, QString(), { u"Сочетание клавиш для диктовки"_s },
        { u"GNOME может сам начинать и заканчивать диктовку по сочетанию клавиш. Нажмите в поле ниже своё "
          u"сочетание или оставьте предложенное."_s },
        { shortcutHint }, u"Назначить сочетание"_s, u"Пропустить"_s },
    { MascotState::happy, 600ms, u"Настройка завершена"_s, {}, {}, {}, QString(), back },
} };

const QString accessibilityLaterSteps
    = u"3. Включите в них специальные возможности (вспомогательные технологии).\n"
      u"4. Вернитесь к Ворсику — страница сменится сама.\n"
      u"Chromium, Chrome и программы на Electron флагов запуска не требуют: когда их окно выходит вперёд, "
      u"Ворсик сам просит их показать поле ввода."_s;

// In the order of PermissionStage.
const std::array<PermissionTexts, 3> permissions { {
    { u"Разрешение уже включено. Можно продолжать."_s, goOn },
    { u"1. Нажмите кнопку ниже — Ворсик попросит систему включить специальные возможности.\n"
      u"2. Если страница не сменится сама, нажмите кнопку ещё раз: Ворсик откроет настройки специальных "
      u"возможностей (GNOME, KDE).\n"_s
            + accessibilityLaterSteps,
        u"Настроить вставку текста"_s },
    { u"1. Ворсик попросил систему включить специальные возможности — обычно страница сменяется сама за "
      u"секунду.\n"
      u"2. Если этого не произошло, нажмите «Проверить разрешение»: Ворсик откроет настройки специальных "
      u"возможностей (GNOME, KDE).\n"_s
            + accessibilityLaterSteps,
        u"Проверить разрешение"_s },
} };

// In the order of ModelStage. Where the model is still to be downloaded, the page explains the
// recommendation instead of a fixed detail.
const std::array<ModelTexts, 4> models { {
    { u"Модель распознавания готова"_s, u"Модель %1 уже на этом компьютере. Можно продолжать — или выбрать другую."_s,
        goOn, back },
    { u"Скачиваю модель распознавания"_s,
        u"Можно пока заняться своими делами: окно можно закрыть, загрузка продолжится."_s, u"Скачивается…"_s,
        u"Отменить загрузку"_s },
    { u"Скачайте модель распознавания"_s, QString(), u"Скачать · %1"_s, back },
    { u"Скачайте модель распознавания"_s, QString(), u"Продолжить загрузку"_s, back },
} };

const OnboardingText workingTitle { u"Всё работает!"_s };
const OnboardingText workingBody { u"Ворсик будет жить в системном трее в виде микрофончика. Нажмите на него, чтобы "
                                   u"открыть настройки или найти последний текст."_s };
const QString notDone = u"Готово"_s;

// In the order of TestStage.
const std::array<OnboardingTestPage, 6> tests { {
    { MascotState::happy, 600ms, u"Настройка завершена"_s,
        { u"Нажмите Fn, чтобы Ворсик попробовал за вами записать"_s },
        { u"Нажмите Fn один раз. Говорите. Когда закончите — нажмите Fn ещё раз. Готовый текст появится прямо "
          u"здесь."_s },
        { u"Нажмите Fn и скажите что-нибудь…"_s }, QString(), notDone },
    { MascotState::searching, 550ms, u"Проверка работы"_s, { u"Ворсик ищет ручку…"_s },
        { u"Секунду — Ворсик готовится записывать."_s }, { u"Ворсик ищет ручку…"_s }, QString(), QString() },
    { MascotState::writing, 500ms, u"Проверка работы"_s, { u"Говорите. Нажмите Fn ещё раз, когда закончите"_s },
        { u"Ворсик слушает и записывает за вами."_s }, { u"Говорите — нажмите Fn второй раз, когда закончите."_s },
        QString(), QString() },
    { MascotState::editing, 550ms, u"Проверка работы"_s, { u"Ворсик редактирует текст"_s, u"Ворсик распознаёт речь"_s },
        { u"Исправляет распознавание, грамматику и пунктуацию."_s,
            u"Распознавание идёт на этом компьютере, обычно несколько секунд."_s },
        { u"Ворсик редактирует текст…"_s, u"Ворсик распознаёт речь…"_s }, QString(), QString() },
    // The field shows the dictated text.
    { MascotState::happy, 600ms, u"Проверка завершена"_s, workingTitle, workingBody, {},
        u"Пробная диктовка готова. Всё классно — давайте работать."_s, u"Давайте работать"_s },
    // The field shows testFailure().
    { MascotState::confused, 650ms, u"Попробуем ещё раз"_s, { u"Не получилось"_s },
        { u"Проверьте микрофон и подключение, затем повторите пробную диктовку."_s,
            u"Проверьте микрофон, затем повторите пробную диктовку."_s },
        {}, u"Настройка пока не завершена. Проверим ещё раз."_s, notDone },
} };

} // namespace

const OnboardingPage &page(OnboardingStep step) { return pages.at(size_t(step)); }

const PermissionTexts &permission(PermissionStage stage) { return permissions.at(size_t(stage)); }

const ModelTexts &model(ModelStage stage) { return models.at(size_t(stage)); }

const OnboardingTestPage &test(TestStage stage) { return tests.at(size_t(stage)); }

QString testFailure(const QString &message)
{
    return u"Не получилось: "_s + message + u"\nНажмите Fn и попробуйте ещё раз."_s;
}

QString readyDetail(DictationTrigger trigger, const QString &toggleKeys)
{
    switch (trigger) {
    case DictationTrigger::desktopShortcut:
        return u"Вместо Fn подойдёт сочетание «Диктовка» — его назначают в настройках клавиатуры рабочего стола."_s;
    case DictationTrigger::toggleCommand:
        if (!toggleKeys.isEmpty())
            return u"Клавиша Fn недоступна: нажимайте вместо неё %1."_s.arg(toggleKeys);
        return u"Клавиша Fn недоступна: назначьте команде «verbulo --toggle» сочетание клавиш в настройках "
               u"рабочего стола и нажимайте его вместо Fn."_s;
    case DictationTrigger::fnKey:
        break;
    }
    return u"Так мы сразу убедимся, что установка действительно завершена."_s;
}

OnboardingStep after(OnboardingStep step, const QList<OnboardingStep> &shown)
{
    for (int next = int(step) + 1; next < int(OnboardingStep::ready); ++next)
        if (shown.contains(OnboardingStep(next)))
            return OnboardingStep(next);
    return OnboardingStep::ready;
}

OnboardingStep before(OnboardingStep step, const QList<OnboardingStep> &shown)
{
    for (int previous = int(step) - 1; previous > int(OnboardingStep::welcome); --previous)
        if (shown.contains(OnboardingStep(previous)))
            return OnboardingStep(previous);
    return OnboardingStep::welcome;
}

QString counter(OnboardingStep step, const QList<OnboardingStep> &shown)
{
    return u"Шаг %1 из %2"_s.arg(shown.indexOf(step)).arg(shown.size() - 2);
}

} // namespace OnboardingSteps

QString OnboardingText::in(OnboardingBuild build) const
{
    return build == OnboardingBuild::localModels && !localModels.isEmpty() ? localModels : ownBackend;
}
