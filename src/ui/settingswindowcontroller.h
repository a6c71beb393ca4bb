#pragma once

#include "core/abstractaccessibilitypermission.h"
#include "core/abstractsettingswindow.h"
#include "ui/recognitionplaceview.h"

#include <QObject>

#include <memory>

class ControllerWindow;
class ModelDownloader;
class ModelListView;
class QCheckBox;
class QComboBox;
class QKeySequenceEdit;
class QLabel;
class QLineEdit;
class QScrollArea;
class ToggleShortcut;

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
    // Where the desktop runs `verbulo --toggle` on a key combination, a row shows and changes it.
    // Before the first show().
    void setToggleShortcut(ToggleShortcut *shortcut) { m_toggleShortcut = shortcut; }
    // Only where the desktop pastes through its remote-desktop portal (GNOME) is there a choice.
    void offerRemoteDesktopPaste() { m_offersRemoteDesktopPaste = true; }
    // Fills the server's model list where the window offers recognition on a server. Before the first show().
    void setServerModelLister(RecognitionPlaceView::ModelLister lister) { m_serverModelLister = std::move(lister); }

    void requestAccessibility();
    void cancel();
    void save();

    // The window, built on the first show(); null before.
    QWidget *window() const;

Q_SIGNALS:
    // Saved with pasting by keystrokes turned on or off: the paste path follows at once.
    void remoteDesktopPasteChanged(bool enabled);

private:
    void buildWindow();
    void loadValues();
    void showVocabularyLeftOut();

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
    QCheckBox *m_editWithOpenAI = nullptr;
    QLabel *m_vocabularyLeftOut = nullptr;
    ToggleShortcut *m_toggleShortcut = nullptr;
    QKeySequenceEdit *m_shortcutEdit = nullptr;
    QLabel *m_shortcutError = nullptr;
    QCheckBox *m_remoteDesktopPaste = nullptr;
    bool m_offersRemoteDesktopPaste = false;
    RecognitionPlaceView *m_recognitionPlace = nullptr;
    RecognitionPlaceView::ModelLister m_serverModelLister;
};
