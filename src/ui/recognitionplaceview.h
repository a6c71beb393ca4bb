#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <QCoro/QCoroTask>

#include <functional>

class QCheckBox;
class QComboBox;
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
