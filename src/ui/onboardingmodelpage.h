#pragma once

#include "services/models/modeldownloader.h"
#include "ui/recognitionplaceview.h"

#include <QObject>
#include <QString>

#include <functional>

class ClampedLabel;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class QWidget;

// The walkthrough's model step, in a build without the own backend: a picker of the catalog's
// models with the recommended one chosen, the download of the chosen one with its progress, and
// the choice stored for the test dictation once the model is on this computer. Where the computer
// is below what the language deserves, it offers a recognition server the user runs instead.
class OnboardingModelPage : public QObject {
public:
    // The window's places the page writes to besides its own picker, bar and text.
    struct Places {
        ClampedLabel *title = nullptr;
        QLabel *body = nullptr;
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

    // Asks a server for its models; without it no server is offered.
    void setServerModelLister(RecognitionPlaceView::ModelLister lister) { m_lister = std::move(lister); }
    // The computer the step recommends a model for: this one unless told.
    void setMachineFacts(const ModelCatalog::MachineFacts &facts) { m_machine = facts; }
    // Called once the server the user named answered with its models and was stored.
    void setOnServerChosen(std::function<void()> chosen) { m_onServerChosen = std::move(chosen); }

    // The primary button: downloads the chosen model or, once it is here, makes it the one the
    // setting gives; on the server form, checks the server (then the walkthrough goes on through
    // the callback). True when the walkthrough may go on now.
    bool chooseOrDownload();
    // The secondary button while the chosen model downloads: cancels it; on the server form:
    // back to the models. False when neither, and the walkthrough steps back.
    bool stepBackWithin();
    // Whether dictation can recognise: a model on this computer, or a server named.
    bool hasUsableModel() const;

private:
    void fillPicker();
    void update();
    void updateServerForm();
    void showProgress(const ModelDownloader::Progress &progress);
    void showStatus(const QString &text, bool isError);
    QCoro::Task<> checkServer(RecognitionPlaceView::Server server, QString model);
    QString chosen() const;

    ModelDownloader *m_models;
    Places m_places;
    QWidget *m_window = nullptr;
    QComboBox *m_picker = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_text = nullptr;
    QString m_error;
    bool m_shown = false;

    ModelCatalog::MachineFacts m_machine = ModelCatalog::MachineFacts::current();
    RecognitionPlaceView::ModelLister m_lister;
    std::function<void()> m_onServerChosen;
    QPushButton *m_serverOffer = nullptr;
    QWidget *m_serverForm = nullptr;
    QLineEdit *m_serverAddress = nullptr;
    QComboBox *m_serverModel = nullptr;
    bool m_onServerForm = false;
    bool m_checking = false;
};
