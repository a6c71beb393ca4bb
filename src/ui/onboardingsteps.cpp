#include "ui/onboardingsteps.h"

#include <array>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace OnboardingSteps {

namespace {

const QString back = u"Назад"_s;
const QString goOn = u"Продолжить"_s;
constexpr Qt::Alignment centred = Qt::AlignHCenter | Qt::AlignTop;

// In the order of OnboardingStep.
const std::array<OnboardingPage, 6> pages { {
    { .mascot = MascotState::happy,
        .frameInterval = 700ms,
        .progress = u"Добро пожаловать"_s,
        .title = { u"Познакомимся?"_s },
        .body = { u"Ворсик будет слушать вашу речь, аккуратно приводить текст в порядок и вставлять его туда, где "
                  u"стоит курсор."_s },
        .detail = { u"Для работы понадобятся два разрешения системы. Мы запросим их по очереди и объясним каждое."_s,
            u"Понадобятся два разрешения системы и модель распознавания речи. Настроим всё по очереди."_s },
        .primary = u"Начать настройку"_s,
        .secondary = {},
        .detailAlignment = centred },
    // Nothing to grant on Linux: the page says what the microphone is for, and its button moves on.
    { .mascot = MascotState::writing,
        .frameInterval = 550ms,
        .progress = {},
        .title = { u"Разрешите микрофон"_s },
        .body = { u"Микрофон нужен только для записи вашей диктовки после нажатия Fn."_s },
        .detail = { u"Ворсик не слушает вас в фоне и не сохраняет аудио на компьютере. Сразу после обработки запись "
                    u"удаляется."_s },
        .primary = goOn,
        .secondary = back,
        .detailAlignment = centred },
    { .mascot = MascotState::thinking,
        .frameInterval = 650ms,
        .progress = {},
        .title = { u"Разрешите вставку текста"_s },
        .body = { u"Универсальный доступ нужен, чтобы Ворсик мог вставить готовый текст в поле, где стоял курсор."_s,
            u"Специальные возможности нужны, чтобы Ворсик мог вставить готовый текст в поле, где стоял курсор."_s },
        .detail = {},
        .primary = {},
        .secondary = back,
        .detailAlignment = Qt::AlignLeft | Qt::AlignTop },
    { .mascot = MascotState::searching,
        .frameInterval = 650ms,
        .progress = {},
        .title = {},
        .body = { u"Речь распознаётся прямо на этом компьютере — запись его не покидает. Для этого нужна модель: "
                  u"файл, который скачивается один раз."_s },
        .detail = {},
        .primary = {},
        .secondary = back,
        .detailAlignment = centred },
    { .mascot = MascotState::thinking,
        .frameInterval = 650ms,
        .progress = {},
        .title = { u"Сочетание клавиш для диктовки"_s },
        .body = { u"GNOME может сам начинать и заканчивать диктовку по сочетанию клавиш. Нажмите в поле ниже своё "
                  u"сочетание или оставьте предложенное."_s },
        .detail = { shortcutHint },
        .primary = u"Назначить сочетание"_s,
        .secondary = u"Пропустить"_s,
        .detailAlignment = centred },
    { .mascot = MascotState::happy,
        .frameInterval = 600ms,
        .progress = u"Настройка завершена"_s,
        .title = {},
        .body = {},
        .detail = {},
        .primary = {},
        .secondary = back,
        .detailAlignment = centred },
} };

const QString accessibilityLaterSteps
    = u"3. Включите в них специальные возможности (вспомогательные технологии).\n"
      u"4. Вернитесь к Ворсику — страница сменится сама.\n"
      u"Chromium, Chrome и программы на Electron флагов запуска не требуют: когда их окно выходит вперёд, "
      u"Ворсик сам просит их показать поле ввода."_s;

// In the order of PermissionStage.
const std::array<PermissionTexts, 3> permissions { {
    { .detail = u"Разрешение уже включено. Можно продолжать."_s, .primary = goOn },
    { .detail = u"1. Нажмите кнопку ниже — Ворсик попросит систему включить специальные возможности.\n"
                u"2. Если страница не сменится сама, нажмите кнопку ещё раз: Ворсик откроет настройки специальных "
                u"возможностей (GNOME, KDE).\n"_s
            + accessibilityLaterSteps,
        .primary = u"Настроить вставку текста"_s },
    { .detail = u"1. Ворсик попросил систему включить специальные возможности — обычно страница сменяется сама за "
                u"секунду.\n"
                u"2. Если этого не произошло, нажмите «Проверить разрешение»: Ворсик откроет настройки специальных "
                u"возможностей (GNOME, KDE).\n"_s
            + accessibilityLaterSteps,
        .primary = u"Проверить разрешение"_s },
} };

// In the order of ModelStage. Where the model is still to be downloaded, the page explains the
// recommendation instead of a fixed detail.
const std::array<ModelTexts, 4> models { {
    { .title = u"Модель распознавания готова"_s,
        .detail = u"Модель %1 уже на этом компьютере. Можно продолжать — или выбрать другую."_s,
        .primary = goOn,
        .secondary = back },
    { .title = u"Скачиваю модель распознавания"_s,
        .detail = u"Можно пока заняться своими делами: окно можно закрыть, загрузка продолжится."_s,
        .primary = u"Скачивается…"_s,
        .secondary = u"Отменить загрузку"_s },
    { .title = u"Скачайте модель распознавания"_s, .detail = {}, .primary = u"Скачать · %1"_s, .secondary = back },
    { .title = u"Скачайте модель распознавания"_s,
        .detail = {},
        .primary = u"Продолжить загрузку"_s,
        .secondary = back },
} };

const ServerTexts servers {
    .title = u"Сервер распознавания"_s,
    .body = u"Речь распознаёт ваш сервер: запись уходит на него и на этом компьютере модель не нужна."_s,
    .detail = u"Ворсик будет отправлять запись на ваш сервер с OpenAI-совместимым API распознавания (vLLM, "
              u"speaches, LocalAI) прямо во время речи и вставлять то, что он распознал. Ключ сервера, если он "
              u"нужен, хранится в связке ключей; сертификат центра компании и работа без шифрования — в настройках, "
              u"«Где распознавать»."_s,
    .primary = u"Проверить и продолжить"_s,
    .secondary = u"К моделям"_s,
    .checking = u"Спрашиваю сервер о моделях…"_s,
    .noAddress = u"Впишите адрес сервера."_s,
    .unknownModel = u"На сервере нет модели «%1»: выберите одну из его моделей."_s,
};

const OnboardingText workingTitle { u"Всё работает!"_s };
const OnboardingText workingBody { u"Ворсик будет жить в системном трее в виде микрофончика. Нажмите на него, чтобы "
                                   u"открыть настройки или найти последний текст."_s };
const QString notDone = u"Готово"_s;

// In the order of TestStage.
const std::array<OnboardingTestPage, 6> tests { {
    { .mascot = MascotState::happy,
        .frameInterval = 600ms,
        .progress = u"Настройка завершена"_s,
        .title = { u"Нажмите Fn, чтобы Ворсик попробовал за вами записать"_s },
        .body = { u"Нажмите Fn один раз. Говорите. Когда закончите — нажмите Fn ещё раз. Готовый текст появится "
                  u"прямо здесь."_s },
        .field = { u"Нажмите Fn и скажите что-нибудь…"_s },
        .detail = {},
        .primary = notDone },
    { .mascot = MascotState::searching,
        .frameInterval = 550ms,
        .progress = u"Проверка работы"_s,
        .title = { u"Ворсик ищет ручку…"_s },
        .body = { u"Секунду — Ворсик готовится записывать."_s },
        .field = { u"Ворсик ищет ручку…"_s },
        .detail = {},
        .primary = {} },
    { .mascot = MascotState::writing,
        .frameInterval = 500ms,
        .progress = u"Проверка работы"_s,
        .title = { u"Говорите. Нажмите Fn ещё раз, когда закончите"_s },
        .body = { u"Ворсик слушает и записывает за вами."_s },
        .field = { u"Говорите — нажмите Fn второй раз, когда закончите."_s },
        .detail = {},
        .primary = {} },
    { .mascot = MascotState::editing,
        .frameInterval = 550ms,
        .progress = u"Проверка работы"_s,
        .title = { u"Ворсик редактирует текст"_s, u"Ворсик распознаёт речь"_s },
        .body = { u"Исправляет распознавание, грамматику и пунктуацию."_s,
            u"Распознавание идёт на этом компьютере, обычно несколько секунд."_s },
        .field = { u"Ворсик редактирует текст…"_s, u"Ворсик распознаёт речь…"_s },
        .detail = {},
        .primary = {} },
    // The field shows the dictated text.
    { .mascot = MascotState::happy,
        .frameInterval = 600ms,
        .progress = u"Проверка завершена"_s,
        .title = workingTitle,
        .body = workingBody,
        .field = {},
        .detail = u"Пробная диктовка готова. Всё классно — давайте работать."_s,
        .primary = u"Давайте работать"_s },
    // The field shows testFailure().
    { .mascot = MascotState::confused,
        .frameInterval = 650ms,
        .progress = u"Попробуем ещё раз"_s,
        .title = { u"Не получилось"_s },
        .body = { u"Проверьте микрофон и подключение, затем повторите пробную диктовку."_s,
            u"Проверьте микрофон, затем повторите пробную диктовку."_s },
        .field = {},
        .detail = u"Настройка пока не завершена. Проверим ещё раз."_s,
        .primary = notDone },
} };

} // namespace

const OnboardingPage &page(OnboardingStep step) { return pages.at(size_t(step)); }

const PermissionTexts &permission(PermissionStage stage) { return permissions.at(size_t(stage)); }

const ModelTexts &model(ModelStage stage) { return models.at(size_t(stage)); }

const ServerTexts &server() { return servers; }

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
