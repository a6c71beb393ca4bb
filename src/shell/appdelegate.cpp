#include "appdelegate.h"

#include "appsettings.h"
#include "mainmenu.h"

#include <QCoreApplication>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

AppDelegate::AppDelegate(DictationSessionController::Neighbours neighbours,
    AbstractAccessibilityPermission *accessibility, FnKeyMonitorFactory makeFnKeyMonitor, QObject *parent)
    : QObject(parent)
    , m_neighbours(neighbours)
    , m_accessibility(accessibility)
    , m_makeFnKeyMonitor(std::move(makeFnKeyMonitor))
{
    m_controller = new DictationSessionController(std::move(neighbours), this);
    connect(m_controller, &DictationSessionController::stateChanged, this, &AppDelegate::updateMenuBar);
    connect(m_controller, &DictationSessionController::lastTextChanged, this, &AppDelegate::updateMenuBar);
}

AppDelegate::~AppDelegate()
{
    // The monitor's action points back here; it goes first.
    m_fnKeyMonitor.reset();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // The own backend is the provider in normal use; a settings file that cannot be
    // written leaves the stored value as it was and the launch goes on.
    AppSettings::setString(AppSettings::Keys::aiProvider, rawValue(AIProvider::vorsik));

    configureMainMenu();
    configureStatusItem();

    m_neighbours.onboardingWindow->setOnFinish([self = QPointer<AppDelegate>(this)] {
        if (!self)
            return;
        self->m_controller->showOverlayMessage(u"Ворсик готов к работе"_s,
            u"Нажмите Fn один раз, говорите и нажмите Fn ещё раз, когда закончите."_s, MessageTone::success,
            readyMessageHideAfter);
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
                            self->m_controller->showOverlayMessage(u"Клавиша Fn недоступна"_s, description,
                                MessageTone::failure, keyboardMessageHideAfter);
                    },
                    Qt::QueuedConnection);
            });
    }

    if (AppSettings::onboardingCompleted())
        m_neighbours.settingsWindow->show();
    else
        m_neighbours.onboardingWindow->show();
}

bool AppDelegate::applicationShouldHandleReopen()
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
        m_accessibility->requestTrust();
}

void AppDelegate::quitApplication() { QCoreApplication::quit(); }

void AppDelegate::handleFnPress()
{
    // Only schedules the toggle, so a key event is never held up by a dictation step.
    QMetaObject::invokeMethod(
        this, [this] { m_controller->toggleFnDictation(walkthrough()); }, Qt::QueuedConnection);
}

void AppDelegate::configureMainMenu()
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
    m_mainMenu->attachToNewWindows();
}

void AppDelegate::configureStatusItem()
{
    if (m_statusItem)
        return;
    m_statusMenu = std::make_unique<QMenu>();
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setToolTip(StatusMenu::toolTip.toString());
    m_statusItem->setContextMenu(m_statusMenu.get());
    // A left click shows the same menu as a right click.
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_statusMenu->popup(QCursor::pos());
    });
    updateMenuBar();
    m_statusItem->show();
}

void AppDelegate::updateMenuBar()
{
    if (!m_statusItem)
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
    StatusMenu::build(*m_statusMenu, state, AppSettings::lastText().has_value(),
        { guarded(&AppDelegate::toggleFromMenu), guarded(&AppDelegate::showLastText),
            guarded(&AppDelegate::openSettings), guarded(&AppDelegate::requestAccessibility),
            guarded(&AppDelegate::quitApplication) });
}

void AppDelegate::setStatusIcon(const QString &iconName, const QString &title, const QColor &colour)
{
    m_statusIcon = StatusMenu::makeIcon(iconName, title, colour, m_iconLookup);
    m_statusItem->setIcon(m_statusIcon.icon);
}
