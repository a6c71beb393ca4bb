#pragma once

#include "core/abstractaccessibilitypermission.h"
#include "core/dictationsessioncontroller.h"
#include "shell/statusmenu.h"

#include <QDeadlineTimer>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class MainMenu;
class ModelDownloader;
class QMenu;
class QSystemTrayIcon;

// The program's one long-lived object: it owns the session controller, shows the
// tray icon and both menus, and answers launch, reopen and termination.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // Creates the Fn key monitor: `onFnPress` for every press, `onKeyboardUnavailable`
    // once when no keyboard can be read, `onTrigger` when what starts a dictation is known.
    // The delegate keeps what it returns.
    using FnKeyMonitorFactory = std::function<std::unique_ptr<QObject>(std::function<void()> onFnPress,
        std::function<void(const QString &)> onKeyboardUnavailable, std::function<void(DictationTrigger)> onTrigger)>;

    static constexpr std::chrono::milliseconds readyMessageHideAfter { 6000 };
    static constexpr std::chrono::milliseconds keyboardMessageHideAfter { 15000 };

    AppDelegate(DictationSessionController::Neighbours neighbours, AbstractAccessibilityPermission *accessibility,
        FnKeyMonitorFactory makeFnKeyMonitor, QObject *parent = nullptr);
    ~AppDelegate() override;

    DictationSessionController &controller() { return *m_controller; }

    void applicationDidFinishLaunching();
    // A second start of the program, or the desktop activating it again: shows the walkthrough,
    // the last text or the settings. Always handled (true).
    bool handleReopen();
    void applicationWillTerminate();

    // Menu actions.
    void toggleFromMenu();
    void showLastText();
    void openSettings();
    void requestAccessibility();
    void quitApplication();

    // Exactly what an Fn press does.
    void handleFnPress();
    // A press from `verbulo --toggle`, already answered over the bus: acted on at once.
    void handleTogglePress();

    // Redraws the tray icon and rebuilds its menu; follows the controller's state and last text.
    void updateTray();

    // The tray icon's tooltip shows the progress of model downloads while one runs.
    void followModelDownloads(ModelDownloader *downloader);

    // Which theme icons exist; tests replace it.
    void setIconLookup(StatusMenu::IconLookup lookup) { m_iconLookup = std::move(lookup); }
    // Whether the desktop shows tray icons (a status notifier host); tests replace it.
    void setTrayCheck(std::function<bool()> check) { m_trayAvailable = std::move(check); }

    QSystemTrayIcon *trayIcon() const { return m_trayIcon; }
    QMenu *statusMenu() const { return m_statusMenu.get(); }
    MainMenu *mainMenu() const { return m_mainMenu; }
    // Whether the last icon came from the theme, and the title that goes with it.
    const StatusMenu::Icon &statusIcon() const { return m_statusIcon; }

private:
    // Whether the windows' menu also carries what the tray menu offers (where no tray icon shows).
    enum class WindowMenu { ownActions, withTrayActions };

    void configureMainMenu(WindowMenu content);
    void configureTrayIcon();
    void setStatusIcon(const QString &iconName, const QString &title, const QColor &colour);
    // `ended` names a download that just stopped and may still count as under way.
    void updateToolTip(const QString &ended = QString());
    void setTrigger(DictationTrigger trigger);
    // Messages of the launch go to the overlay one after the other, not over each other.
    void showLaunchNotice(const QString &title, const QString &detail);
    DictationSessionController::Walkthrough walkthrough() const;

    DictationSessionController::Neighbours m_neighbours;
    AbstractAccessibilityPermission *m_accessibility;
    FnKeyMonitorFactory m_makeFnKeyMonitor;
    StatusMenu::IconLookup m_iconLookup = StatusMenu::themeIcon;
    std::function<bool()> m_trayAvailable;
    std::optional<DictationTrigger> m_trigger;
    QDeadlineTimer m_launchNoticeShownUntil;

    DictationSessionController *m_controller;
    MainMenu *m_mainMenu = nullptr;
    ModelDownloader *m_modelDownloader = nullptr;
    QSystemTrayIcon *m_trayIcon = nullptr;
    std::unique_ptr<QMenu> m_statusMenu;
    StatusMenu::Icon m_statusIcon;
    std::unique_ptr<QObject> m_fnKeyMonitor;
};
