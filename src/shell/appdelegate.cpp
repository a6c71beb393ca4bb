#include "shell/appdelegate.h"

#include "core/appsettings.h"
#include "services/models/modeldownloader.h"
#include "shell/mainmenu.h"

#include <QCoreApplication>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace Qt::StringLiterals;

AppDelegate::AppDelegate(DictationSessionController::Neighbours neighbours,
    AbstractAccessibilityPermission *accessibility, FnKeyMonitorFactory makeFnKeyMonitor, QObject *parent)
    : QObject(parent)
    , m_neighbours(neighbours)
    , m_accessibility(accessibility)
    , m_makeFnKeyMonitor(std::move(makeFnKeyMonitor))
    , m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
{
    m_controller = new DictationSessionController(std::move(neighbours), this);
    connect(m_controller, &DictationSessionController::stateChanged, this, &AppDelegate::updateTray);
    connect(m_controller, &DictationSessionController::lastTextChanged, this, &AppDelegate::updateTray);
}

AppDelegate::~AppDelegate()
{
    // The monitor's action points back here; it goes first.
    m_fnKeyMonitor.reset();
    // The tray icon points at its menu, which as a member would otherwise go before it.
    delete m_trayIcon;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // The own backend is the provider in normal use; a settings file that cannot be
    // written leaves the stored value as it was and the launch goes on.
    AppSettings::setString(AppSettings::Keys::aiProvider, rawValue(AIProvider::vorsik));

    // Asked once: on X11 and over D-Bus the answer is a round trip to the desktop.
    const bool trayShown = m_trayAvailable();
    configureMainMenu(trayShown ? WindowMenu::ownActions : WindowMenu::withTrayActions);
    configureTrayIcon();

    m_neighbours.onboardingWindow->setOnFinish([self = QPointer<AppDelegate>(this)] {
        if (!self)
            return;
        QString how = u"Нажмите Fn один раз, говорите и нажмите Fn ещё раз, когда закончите."_s;
        if (self->m_trigger == DictationTrigger::desktopShortcut)
            how = u"Нажмите сочетание «Диктовка» один раз, говорите и нажмите его ещё раз, когда закончите."_s;
        else if (self->m_trigger == DictationTrigger::toggleCommand)
            how = u"Нажмите клавиши, назначенные команде «verbulo --toggle», говорите и нажмите их ещё раз, "
                  u"когда закончите."_s;
        self->m_controller->showOverlayMessage(
            u"Ворсик готов к работе"_s, how, MessageTone::success, readyMessageHideAfter);
    });

    if (m_makeFnKeyMonitor) {
        QPointer<AppDelegate> self(this);
        m_fnKeyMonitor = m_makeFnKeyMonitor(
            [self] {
                if (self)
                    self->handleFnPress();
            },
            [self](const QString &description) {
                if (!self)
                    return;
                // Shown after the first window, not underneath it.
                QMetaObject::invokeMethod(
                    self,
                    [self, description] {
                        if (self)
                            self->showLaunchNotice(u"Клавиша Fn недоступна"_s, description);
                    },
                    Qt::QueuedConnection);
            },
            [self](DictationTrigger trigger) {
                if (self)
                    self->setTrigger(trigger);
            });
    }

    if (!trayShown) {
        QPointer<AppDelegate> self(this);
        QMetaObject::invokeMethod(
            this,
            [self] {
                if (self)
                    self->showLaunchNotice(u"Значка Ворсика нет на панели"_s,
                        u"Рабочий стол не показывает значки приложений (в GNOME для этого нужно расширение "
                        u"AppIndicator). Всё, что было в меню значка, есть в меню «Ворсик» окна программы: "
                        u"запустите Ворсик ещё раз, чтобы открыть его."_s);
            },
            Qt::QueuedConnection);
    }

    if (AppSettings::onboardingCompleted())
        m_neighbours.settingsWindow->show();
    else
        m_neighbours.onboardingWindow->show();
}

bool AppDelegate::handleReopen()
{
    if (!AppSettings::onboardingCompleted())
        m_neighbours.onboardingWindow->show();
    else if (AppSettings::lastText())
        showLastText();
    else
        m_neighbours.settingsWindow->show();
    return true;
}

void AppDelegate::applicationWillTerminate() { m_controller->prepareForTermination(); }

void AppDelegate::toggleFromMenu() { m_controller->toggleDictation(walkthrough()); }

DictationSessionController::Walkthrough AppDelegate::walkthrough() const
{
    return m_neighbours.onboardingWindow->awaitsTestDictation()
        ? DictationSessionController::Walkthrough::atTestDictation
        : DictationSessionController::Walkthrough::elsewhere;
}

void AppDelegate::showLastText()
{
    if (const auto text = AppSettings::lastText())
        m_neighbours.overlay->presentResult(u"Последний текст"_s, u"Последняя расшифровка сохранена здесь."_s, *text);
}

void AppDelegate::openSettings() { m_neighbours.settingsWindow->show(); }

void AppDelegate::requestAccessibility()
{
    if (m_accessibility)
        m_accessibility->enableBus();
}

void AppDelegate::quitApplication() { QCoreApplication::quit(); }

void AppDelegate::handleFnPress()
{
    // Only schedules the toggle, so a key event is never held up by a dictation step.
    QMetaObject::invokeMethod(
        this, [this] { m_controller->toggleFnDictation(walkthrough()); }, Qt::QueuedConnection);
}

void AppDelegate::handleTogglePress() { m_controller->toggleFnDictation(walkthrough()); }

void AppDelegate::setTrigger(DictationTrigger trigger)
{
    m_trigger = trigger;
    m_neighbours.onboardingWindow->setTrigger(trigger);
}

void AppDelegate::showLaunchNotice(const QString &title, const QString &detail)
{
    if (!m_launchNoticeShownUntil.hasExpired()) {
        QPointer<AppDelegate> self(this);
        QTimer::singleShot(
            std::chrono::ceil<std::chrono::milliseconds>(m_launchNoticeShownUntil.remainingTimeAsDuration()), this,
            [self, title, detail] {
                if (self)
                    self->showLaunchNotice(title, detail);
            });
        // Held for its own turn: the next one waits for both.
        m_launchNoticeShownUntil.setRemainingTime(
            m_launchNoticeShownUntil.remainingTimeAsDuration() + keyboardMessageHideAfter);
        return;
    }
    m_launchNoticeShownUntil.setRemainingTime(keyboardMessageHideAfter);
    m_controller->showOverlayMessage(title, detail, MessageTone::failure, keyboardMessageHideAfter);
}

void AppDelegate::configureMainMenu(WindowMenu content)
{
    if (m_mainMenu)
        return;
    QPointer<AppDelegate> self(this);
    m_mainMenu = new MainMenu(
        [self] {
            if (self)
                self->showLastText();
        },
        [self] {
            if (self)
                self->openSettings();
        },
        this);
    // Without a tray icon the windows' menu is the only way to everything the tray menu offers.
    if (content == WindowMenu::withTrayActions)
        m_mainMenu->addTrayActions(
            [self] {
                if (self)
                    self->toggleFromMenu();
            },
            [self] {
                if (self)
                    self->requestAccessibility();
            });
    m_mainMenu->attachToNewWindows();
}

void AppDelegate::configureTrayIcon()
{
    if (m_trayIcon)
        return;
    m_statusMenu = std::make_unique<QMenu>();
    m_trayIcon = new QSystemTrayIcon(this);
    updateToolTip();
    m_trayIcon->setContextMenu(m_statusMenu.get());
    // A left click shows the same menu as a right click.
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_statusMenu->popup(QCursor::pos());
    });
    updateTray();
    m_trayIcon->show();
}

void AppDelegate::updateTray()
{
    if (!m_trayIcon)
        return;
    const DictationState state = m_controller->state();
    const StatusMenu::Appearance look = StatusMenu::appearance(state);
    setStatusIcon(look.iconName, look.title, look.alert ? StatusMenu::alertRed() : QColor());

    QPointer<AppDelegate> self(this);
    auto guarded = [self](void (AppDelegate::*action)()) {
        return [self, action] {
            if (self)
                (self->*action)();
        };
    };
    StatusMenu::build(*m_statusMenu, state,
        AppSettings::lastText() ? StatusMenu::LastText::kept : StatusMenu::LastText::none,
        { guarded(&AppDelegate::toggleFromMenu), guarded(&AppDelegate::showLastText),
            guarded(&AppDelegate::openSettings), guarded(&AppDelegate::requestAccessibility),
            guarded(&AppDelegate::quitApplication) });
}

void AppDelegate::setStatusIcon(const QString &iconName, const QString &title, const QColor &colour)
{
    m_statusIcon = StatusMenu::makeIcon(iconName, title, colour, m_iconLookup);
    m_trayIcon->setIcon(m_statusIcon.icon);
}

void AppDelegate::followModelDownloads(ModelDownloader *downloader)
{
    m_modelDownloader = downloader;
    connect(downloader, &ModelDownloader::progressChanged, this, [this] { updateToolTip(); });
    for (auto ended : { &ModelDownloader::finished, &ModelDownloader::cancelled })
        connect(downloader, ended, this, [this](const QString &name) { updateToolTip(name); });
    connect(downloader, &ModelDownloader::failed, this, [this](const QString &name) { updateToolTip(name); });
    updateToolTip();
}

void AppDelegate::updateToolTip(const QString &ended)
{
    if (!m_trayIcon)
        return;
    QString text = StatusMenu::toolTip.toString();
    if (const auto progress = m_modelDownloader ? m_modelDownloader->currentProgress() : std::nullopt;
        progress && progress->name != ended)
        text += u"\nСкачивается модель %1: %2"_s.arg(progress->name, progress->text());
    m_trayIcon->setToolTip(text);
}
