#pragma once

#include "core/enums.h"
#include "ui/mascotframes.h"

#include <QList>
#include <QString>

#include <chrono>

// The walkthrough's pages in their order. The microphone page only informs: nothing on Linux asks
// for the microphone, so there is nothing to grant there. The model step exists only in a build
// without the own backend, the shortcut step only where the desktop runs a shortcut for
// `verbulo --toggle` (GNOME).
enum class OnboardingStep { welcome, microphoneNotice, accessibility, model, shortcut, ready };

// Where this build recognises speech: a few sentences of the walkthrough read otherwise.
enum class OnboardingBuild { ownBackend, localModels };

// A text of the walkthrough; `localModels` empty: the same in both builds.
struct OnboardingText {
    OnboardingText() = default;
    OnboardingText(QString both)
        : ownBackend(std::move(both))
    {
    }
    OnboardingText(QString ownBackend, QString localModels)
        : ownBackend(std::move(ownBackend))
        , localModels(std::move(localModels))
    {
    }

    QString in(OnboardingBuild build) const;

    QString ownBackend;
    QString localModels;
};

// What a page shows in the window's common places. An empty `progress` stands for the step's
// number, an empty `secondary` for no second button, and an empty text for one that depends on
// what the page finds (the permission, the model, the test dictation).
struct OnboardingPage {
    MascotState mascot;
    std::chrono::milliseconds frameInterval;
    QString progress;
    OnboardingText title;
    OnboardingText body;
    OnboardingText detail;
    QString primary;
    QString secondary;
    Qt::Alignment detailAlignment = Qt::AlignHCenter | Qt::AlignTop;
};

// The accessibility page by the state of the permission.
enum class PermissionStage { granted, notRequested, requested };

// The model page by the state of the model chosen in its picker.
enum class ModelStage { ready, downloading, absent, partlyDownloaded };

// The last page: waiting for the test dictation, its stages as the controller reports them, and
// its outcome. Empty `detail` and `primary` leave those places as they are.
enum class TestStage { waiting, connecting, listening, processing, succeeded, failed };

struct OnboardingTestPage {
    MascotState mascot;
    std::chrono::milliseconds frameInterval;
    QString progress;
    OnboardingText title;
    OnboardingText body;
    OnboardingText field;
    QString detail;
    QString primary;
};

// The step table: every page's texts in one place, and the order of the steps.
namespace OnboardingSteps {

const OnboardingPage &page(OnboardingStep step);

struct PermissionTexts {
    QString detail;
    QString primary;
};
const PermissionTexts &permission(PermissionStage stage);

struct ModelTexts {
    QString title;
    // "%1": the model's name, where the page names it.
    QString detail;
    // "%1": the model's size, where the button names it.
    QString primary;
    QString secondary;
};
const ModelTexts &model(ModelStage stage);
inline const QString modelConnecting = QStringLiteral("Подключаюсь…");
inline const QString modelFailed = QStringLiteral("Не удалось скачать: %1");

// The model step's other way, offered where this computer is below what the language deserves.
inline const QString serverOffer = QStringLiteral("У меня есть сервер распознавания");
struct ServerTexts {
    QString title, body, detail, primary, secondary;
    QString checking, noAddress;
    QString unknownModel; // "%1": the model's name
};
const ServerTexts &server();

inline const QString shortcutHint
    = QStringLiteral("В настройках клавиатуры GNOME оно появится как «Ворсик: диктовка» — там его можно сменить "
                     "или удалить.");
inline const QString shortcutMissing = QStringLiteral("Нажмите в поле сочетание клавиш — или пропустите этот шаг.");

const OnboardingTestPage &test(TestStage stage);
// The test field after a failure.
QString testFailure(const QString &message);
// Under the waiting page's title: how this desktop starts a dictation, where it is not the Fn key.
// `toggleKeys`: the combination assigned to `verbulo --toggle` in the walkthrough, if any.
QString readyDetail(DictationTrigger trigger, const QString &toggleKeys);

// The neighbours of `step` among the steps `shown`, by the order of the enumeration, which is the
// walkthrough's: the page shown may have left the list meanwhile (the portal took the trigger
// while the shortcut page was open).
OnboardingStep after(OnboardingStep step, const QList<OnboardingStep> &shown);
OnboardingStep before(OnboardingStep step, const QList<OnboardingStep> &shown);
// "Шаг N из M": welcome and the test dictation are not counted.
QString counter(OnboardingStep step, const QList<OnboardingStep> &shown);

} // namespace OnboardingSteps
