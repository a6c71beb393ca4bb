#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <QCoro/QCoroTask>

#include <functional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QRadioButton;

// Where the speech is recognised: on this computer (the default) or on a server the user runs
// through the OpenAI-compatible API, with its address, the model it serves (the list filled from
// the server where it answers), a company's own CA file and the leave to go without encryption.
// The key lives in the keyring, never here.
class RecognitionPlaceView final : public QWidget {
public:
    struct Server {
        QString url;
        QString caFile;
        bool allowUnencrypted = false;
    };
    // The models a server lists; throws DescribedError when it does not answer.
    using ModelLister = std::function<QCoro::Task<QStringList>(Server server)>;

    explicit RecognitionPlaceView(QWidget *parent = nullptr);

    // The rows every place that names a server asks for (here and the walkthrough): its address
    // and the model it serves, the list filled from the server where it answers.
    struct ServerRows {
        QLineEdit *address;
        QComboBox *model;
    };
    static ServerRows addServerRows(QFormLayout *form, QWidget *owner);
    // What a server said when asked for its models: the list, or why it could not be asked.
    struct ServerAnswer {
        QStringList models;
        QString problem;
    };
    static QCoro::Task<ServerAnswer> askServer(ModelLister lister, Server server);
    // Offers the server's models in `box`, keeping `typed` where given, else the first; returns
    // the model now chosen, empty where the server lists none and none was typed.
    static QString showModels(QComboBox *box, const QStringList &models, const QString &typed);
    static inline const QString noModelListed
        = QStringLiteral("Сервер отвечает, но не перечисляет модели: впишите имя модели.");

    void setModelLister(ModelLister lister) { m_lister = std::move(lister); }
    void load();
    void save() const;

private:
    void follow();
    void askForModels();
    QCoro::Task<> listModels(Server server);

    ModelLister m_lister;
    QRadioButton *m_here = nullptr;
    QRadioButton *m_onServer = nullptr;
    QWidget *m_serverBox = nullptr;
    QLineEdit *m_address = nullptr;
    QComboBox *m_model = nullptr;
    QLineEdit *m_caFile = nullptr;
    QCheckBox *m_unencrypted = nullptr;
    QLabel *m_status = nullptr;
    QString m_listedFor;
};
