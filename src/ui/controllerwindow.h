#pragma once

#include <QWidget>

#include <functional>

// A top-level window that tells its controller when it closes (by the close box or
// by close()) and when Return or Enter reaches it unhandled, the key that
// triggers the window's main button.
class ControllerWindow : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    std::function<void()> onClose;
    std::function<void()> onReturn;

    // Puts the window in the middle of the available area of the screen it is on.
    void centreOnScreen();
    // Shows the window in front and gives it the keyboard focus.
    void presentInFront();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};
