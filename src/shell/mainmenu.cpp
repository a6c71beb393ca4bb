#include "shell/mainmenu.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

using namespace Qt::StringLiterals;

namespace {

const char *const attachedProperty = "verbuloMainMenu";

// An edit command goes to the widget with the keyboard focus, if it has such a slot
// (line and text edits, spin boxes).
void sendToFocusWidget(const char *slot, const char *signature)
{
    QWidget *target = QApplication::focusWidget();
    if (target && target->metaObject()->indexOfMethod(signature) >= 0)
        QMetaObject::invokeMethod(target, slot);
}

QAction *makeAction(QObject *parent, const QString &title, const QKeySequence &shortcut, std::function<void()> handler)
{
    auto *action = new QAction(title, parent);
    action->setShortcut(shortcut);
    QObject::connect(action, &QAction::triggered, parent, [handler = std::move(handler)] {
        if (handler)
            handler();
    });
    return action;
}

QAction *separator(QObject *parent)
{
    auto *action = new QAction(parent);
    action->setSeparator(true);
    return action;
}

// The program's own windows and dialogs; not panels, popups, or Qt's stock dialogs
// (message boxes, file pickers), which carry no application menu anywhere.
bool isOrdinaryWindow(const QWidget *widget)
{
    if (!widget->isWindow() || widget->windowFlags().testFlag(Qt::FramelessWindowHint))
        return false;
    if (widget->windowType() == Qt::Window)
        return true;
    if (widget->windowType() != Qt::Dialog)
        return false;
    for (const char *stock : { "QMessageBox", "QFileDialog", "QInputDialog", "QColorDialog", "QFontDialog",
             "QProgressDialog", "QErrorMessage" })
        if (widget->inherits(stock))
            return false;
    return true;
}

} // namespace

MainMenu::MainMenu(std::function<void()> showLastText, std::function<void()> openSettings, QObject *parent)
    : QObject(parent)
{
    m_applicationActions = {
        makeAction(this, u"Последний текст…"_s, QKeySequence(), std::move(showLastText)),
        makeAction(this, u"Настройки Ворсика…"_s, QKeySequence(Qt::CTRL | Qt::Key_Comma), std::move(openSettings)),
        separator(this),
        makeAction(this, u"Выйти из Ворсика"_s, QKeySequence(Qt::CTRL | Qt::Key_Q), [] { QCoreApplication::quit(); }),
    };
    m_editActions = {
        makeAction(this, u"Вырезать"_s, QKeySequence(Qt::CTRL | Qt::Key_X), [] { sendToFocusWidget("cut", "cut()"); }),
        makeAction(
            this, u"Копировать"_s, QKeySequence(Qt::CTRL | Qt::Key_C), [] { sendToFocusWidget("copy", "copy()"); }),
        makeAction(
            this, u"Вставить"_s, QKeySequence(Qt::CTRL | Qt::Key_V), [] { sendToFocusWidget("paste", "paste()"); }),
        separator(this),
        makeAction(this, u"Выбрать всё"_s, QKeySequence(Qt::CTRL | Qt::Key_A),
            [] { sendToFocusWidget("selectAll", "selectAll()"); }),
    };
}

void MainMenu::addTrayActions(std::function<void()> toggleDictation, std::function<void()> requestAccessibility)
{
    const QList<QAction *> tray { makeAction(this, u"Начать или закончить диктовку"_s, QKeySequence(),
                                      std::move(toggleDictation)),
        makeAction(this, u"Разрешить вставку текста…"_s, QKeySequence(), std::move(requestAccessibility)),
        separator(this) };
    m_applicationActions = tray + m_applicationActions;
}

MainMenu::~MainMenu()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

void MainMenu::attachToNewWindows() { qApp->installEventFilter(this); }

QMenuBar *MainMenu::attachTo(QWidget *window)
{
    if (!window || window->property(attachedProperty).toBool())
        return nullptr;

    auto *mainWindow = qobject_cast<QMainWindow *>(window);
    QLayout *layout = window->layout();
    if (mainWindow ? mainWindow->menuWidget() != nullptr : (!layout || layout->menuBar() != nullptr))
        return nullptr; // the window has its own menu bar, or nowhere to put one

    auto *bar = new QMenuBar(window);
    bar->addMenu(u"Ворсик"_s)->addActions(m_applicationActions);
    bar->addMenu(u"Правка"_s)->addActions(m_editActions);
    if (mainWindow)
        mainWindow->setMenuBar(bar);
    else
        layout->setMenuBar(bar);
    window->setProperty(attachedProperty, true);
    return bar;
}

bool MainMenu::eventFilter(QObject *watched, QEvent *event)
{
    // Polish comes before the window is sized for its first show, so the bar is
    // part of its size from the start.
    if ((event->type() == QEvent::Polish || event->type() == QEvent::Show) && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (isOrdinaryWindow(widget))
            attachTo(widget);
    }
    return QObject::eventFilter(watched, event);
}
