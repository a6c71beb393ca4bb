#include "ui/controllerwindow.h"

#include "core/logging.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

void ControllerWindow::centreOnScreen()
{
    QScreen *target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target) {
        qCWarning(lcUI) << "window: no screen to centre it on";
        return;
    }
    QRect frame = frameGeometry();
    frame.moveCenter(target->availableGeometry().center());
    move(frame.topLeft());
}

void ControllerWindow::presentInFront()
{
    centreOnScreen();
    show();
    raise();
    activateWindow();
}

void ControllerWindow::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (onClose)
        onClose();
}

void ControllerWindow::keyPressEvent(QKeyEvent *event)
{
    // The keypad's Enter arrives with the keypad modifier; anything else held down is another shortcut.
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && plain && onReturn) {
        onReturn();
        return;
    }
    QWidget::keyPressEvent(event);
}
