#pragma once

#include "neighbours.h"

#include <QObject>

#include <memory>

class ControllerWindow;
class QComboBox;
class QLineEdit;

// The small settings window: editing mode, names and terms, speech context, and
// a button that asks for the accessibility permission pasting needs.
class SettingsWindowController : public QObject, public AbstractSettingsWindow {
    Q_OBJECT
public:
    explicit SettingsWindowController(AbstractAccessibilityPermission *accessibility, QObject *parent = nullptr);
    ~SettingsWindowController() override;

    void show() override;

    void requestAccessibility();
    void cancel();
    void save();

    // The window, built on the first show(); null before.
    QWidget *window() const;

private:
    void buildWindow();
    void loadValues();

    AbstractAccessibilityPermission *m_accessibility;
    std::unique_ptr<ControllerWindow> m_window;
    QComboBox *m_modePopup = nullptr;
    QLineEdit *m_vocabularyField = nullptr;
    QLineEdit *m_promptField = nullptr;
};
