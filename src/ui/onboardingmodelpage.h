#pragma once

#include "services/models/modeldownloader.h"

#include <QObject>
#include <QString>

class ClampedLabel;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class QWidget;

// The walkthrough's model step, in a build without the own backend: a picker of the catalog's
// models with the recommended one chosen, the download of the chosen one with its progress, and
// the choice stored for the test dictation once the model is on this computer.
class OnboardingModelPage : public QObject {
public:
    // The window's places the page writes to besides its own picker, bar and text.
    struct Places {
        ClampedLabel *title = nullptr;
        QLabel *detail = nullptr;
        QPushButton *primary = nullptr;
        QPushButton *secondary = nullptr;
    };

    explicit OnboardingModelPage(ModelDownloader *models, QObject *parent = nullptr);

    // Adds the page's own widgets to `stack`, in the window's tab order; the page shows nothing
    // before show().
    void build(QWidget *window, QVBoxLayout *stack);
    // Given once the window's buttons are made, after the page's widgets.
    void setPlaces(Places places) { m_places = places; }
    void show();
    void hide();

    // The primary button: downloads the chosen model or, once it is here, makes it the one the
    // setting gives. True when the walkthrough may go on.
    bool chooseOrDownload();
    // The secondary button while the chosen model downloads: cancels it. False when none runs.
    bool cancelDownload();
    // Whether the setting gives a model that is on this computer.
    bool hasUsableModel() const;

private:
    void fillPicker();
    void update();
    void showProgress(const ModelDownloader::Progress &progress);
    QString chosen() const;

    ModelDownloader *m_models;
    Places m_places;
    QWidget *m_window = nullptr;
    QComboBox *m_picker = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_text = nullptr;
    QString m_error;
    bool m_shown = false;
};
