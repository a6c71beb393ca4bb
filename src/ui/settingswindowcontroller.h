#pragma once

#include "abstractaccessibilitypermission.h"
#include "abstractsettingswindow.h"

#include <QObject>

#include <memory>

class ControllerWindow;
class ModelDownloader;
class ModelListView;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QScrollArea;

// The small settings window: editing mode, names and terms, speech context, and
// a button that asks for the accessibility permission pasting needs. In a build
// without the own backend (`localModels` given) it also lists the recognition models.
class SettingsWindowController : public QObject, public AbstractSettingsWindow {
    Q_OBJECT
public:
    explicit SettingsWindowController(AbstractAccessibilityPermission *accessibility,
        ModelDownloader *localModels = nullptr, QObject *parent = nullptr);
    ~SettingsWindowController() override;

    void show() override;
    void showModels() override;

    void requestAccessibility();
    void cancel();
    void save();

    // The window, built on the first show(); null before.
    QWidget *window() const;

private:
    void buildWindow();
    void loadValues();

    AbstractAccessibilityPermission *m_accessibility;
    ModelDownloader *m_localModels;
    std::unique_ptr<ControllerWindow> m_window;
    QComboBox *m_modePopup = nullptr;
    QLineEdit *m_vocabularyField = nullptr;
    QLineEdit *m_promptField = nullptr;
    QScrollArea *m_scrollArea = nullptr;
    QLabel *m_modelsTitle = nullptr;
    ModelListView *m_modelList = nullptr;
    QComboBox *m_languagePopup = nullptr;
    QCheckBox *m_spokenPunctuation = nullptr;
};
