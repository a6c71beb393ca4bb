#pragma once

#include "services/models/modeldownloader.h"

#include <QWidget>

#include <vector>

class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;

// "466 МБ", "1,5 ГБ": a model's size as the windows show it.
QString modelSizeText(qint64 bytes);

// The recognition models of the catalog as the settings window lists them: a radio button
// per model choosing the one in use, its size, description and whether it is on this
// computer, with Download (and its progress and Cancel) or Delete beside it.
class ModelListView : public QWidget {
    Q_OBJECT
public:
    explicit ModelListView(ModelDownloader &downloader, QWidget *parent = nullptr);

    // The "localModel" value selected: empty (the best installed model), a catalog name,
    // or the path of a file of the user's own, which gets a row of its own while chosen.
    void setChoice(const QString &setting);
    QString choice() const;

    // Re-reads the store: what is installed, what a kept part allows to resume.
    void refresh();

    // The language of speech the recommendation is for ("ru", "auto", a code).
    void setLanguage(const QString &language);
    // Once ever: a user whose dictation runs on a whisper model (by `setting`) while a model
    // made for the language is recommended is shown that one, with Download beside it.
    void offerBetterModel(const QString &setting);

    void download(const QString &name);
    // Asks first; deletes when the user agrees.
    void confirmRemoval(const QString &name);

private:
    struct Row {
        ModelCatalogEntry entry;
        QRadioButton *choice = nullptr;
        QLabel *description = nullptr;
        QLabel *status = nullptr;
        QPushButton *download = nullptr;
        QPushButton *cancel = nullptr;
        QPushButton *remove = nullptr;
        QProgressBar *bar = nullptr;
        QLabel *progress = nullptr;
        QLabel *error = nullptr;
    };

    Row *rowOf(const QString &name);
    void showProgress(const ModelDownloader::Progress &progress);
    void showFailure(const QString &name, const QString &message);
    void remove(const QString &name);
    void updateRow(Row &row);

    ModelDownloader &m_downloader;
    QString m_recommended;
    QLabel *m_reason = nullptr;
    QWidget *m_offer = nullptr;
    QLabel *m_offerText = nullptr;
    QPushButton *m_offerDownload = nullptr;
    QString m_offered;
    QButtonGroup *m_group = nullptr;
    QRadioButton *m_automatic = nullptr;
    QRadioButton *m_ownFile = nullptr;
    std::vector<Row> m_rows;
};
