#pragma once

#include <QList>
#include <QObject>

#include <functional>

class QAction;
class QMenuBar;
class QWidget;

// The program's main menu, "Ворсик" and "Правка", built once and placed on the menu
// bar of each of the program's own windows. Edit actions go to whichever text
// field has the focus.
class MainMenu : public QObject {
    Q_OBJECT

public:
    MainMenu(std::function<void()> showLastText, std::function<void()> openSettings, QObject *parent = nullptr);
    ~MainMenu() override;

    // Puts the tray menu's own actions at the top of "Ворсик", for desktops that show no tray icon.
    // Before any window has the menu bar.
    void addTrayActions(std::function<void()> toggleDictation, std::function<void()> requestAccessibility);

    // From now on every ordinary top-level window gets the menu bar before it is first shown.
    void attachToNewWindows();
    // Puts the menu bar on `window` if it has room for one and none yet; returns the bar.
    QMenuBar *attachTo(QWidget *window);

    const QList<QAction *> &applicationActions() const { return m_applicationActions; }
    const QList<QAction *> &editActions() const { return m_editActions; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<QAction *> m_applicationActions;
    QList<QAction *> m_editActions;
};
