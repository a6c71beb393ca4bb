#include "ui/recognitionplaceview.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/detachedtask.h"
#include "ui/uifont.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setFont(systemFont(12));
    return label;
}

} // namespace

RecognitionPlaceView::RecognitionPlaceView(QWidget *parent)
    : QWidget(parent)
{
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);
    auto *title = new QLabel(u"Где распознавать"_s, this);
    title->setFont(systemFont(17, QFont::Bold));
    stack->addWidget(title);
    m_here = new QRadioButton(u"На этом компьютере"_s, this);
    m_here->setObjectName(u"recognizeHere"_s);
    m_onServer = new QRadioButton(u"На сервере"_s, this);
    m_onServer->setObjectName(u"recognizeOnServer"_s);
    auto *group = new QButtonGroup(this);
    group->addButton(m_here);
    group->addButton(m_onServer);
    stack->addWidget(m_here);
    stack->addWidget(m_onServer);

    m_serverBox = new QWidget(this);
    auto *form = new QFormLayout(m_serverBox);
    form->setContentsMargins(24, 0, 0, 0);
    const ServerRows rows = addServerRows(form, m_serverBox);
    m_address = rows.address;
    m_model = rows.model;
    m_model->setMinimumWidth(300);
    auto *caRow = new QHBoxLayout;
    m_caFile = new QLineEdit(m_serverBox);
    m_caFile->setObjectName(u"serverCAFile"_s);
    m_caFile->setPlaceholderText(u"Только для сертификата центра компании"_s);
    auto *choose = new QPushButton(u"Выбрать…"_s, m_serverBox);
    caRow->addWidget(m_caFile, 1);
    caRow->addWidget(choose);
    form->addRow(u"Сертификат центра"_s, caRow);
    m_unencrypted = new QCheckBox(u"Разрешить без шифрования"_s, m_serverBox);
    m_unencrypted->setObjectName(u"serverUnencrypted"_s);
    form->addRow(QString(), m_unencrypted);
    form->addRow(QString(),
        note(u"Внимание: без шифрования (http://) запись, текст и ключ идут по сети открыто, их может прочесть "
             "любой на пути к серверу. К серверу на этом же компьютере можно и так."_s,
            m_serverBox));
    form->addRow(QString(),
        note(u"Ключ, если сервер его требует, хранится в связке ключей: secret-tool store --label='Vorsik server' "
             "service com.plumrest.Vorsik account recognition-server-key"_s,
            m_serverBox));
    m_status = note(QString(), m_serverBox);
    m_status->setObjectName(u"serverStatus"_s);
    form->addRow(QString(), m_status);
    stack->addWidget(m_serverBox);

    connect(m_onServer, &QRadioButton::toggled, this, &RecognitionPlaceView::follow);
    connect(m_address, &QLineEdit::editingFinished, this, &RecognitionPlaceView::askForModels);
    connect(m_unencrypted, &QCheckBox::toggled, this, &RecognitionPlaceView::askForModels);
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, u"Сертификат центра сертификации"_s, QString(),
            u"Сертификаты (*.pem *.crt *.cer *.der);;Все файлы (*)"_s);
        if (!file.isEmpty()) {
            m_caFile->setText(file);
            askForModels();
        }
    });
}

RecognitionPlaceView::ServerRows RecognitionPlaceView::addServerRows(QFormLayout *form, QWidget *owner)
{
    auto *address = new QLineEdit(owner);
    address->setObjectName(u"serverAddress"_s);
    address->setPlaceholderText(u"https://gpu.office:8000"_s);
    form->addRow(u"Адрес"_s, address);
    auto *model = new QComboBox(owner);
    model->setObjectName(u"serverModel"_s);
    model->setEditable(true);
    form->addRow(u"Модель"_s, model);
    return { address, model };
}

void RecognitionPlaceView::load()
{
    using namespace AppSettings;
    const QString url = recognitionServerURL();
    (url.isEmpty() ? m_here : m_onServer)->setChecked(true);
    if (!url.isEmpty())
        m_address->setText(url);
    m_model->setCurrentText(string(Keys::recognitionServerModel).value_or(QString()));
    m_caFile->setText(string(Keys::recognitionServerCAFile).value_or(QString()));
    m_unencrypted->setChecked(boolValue(Keys::recognitionServerAllowUnencrypted));
    m_listedFor.clear();
    follow();
}

void RecognitionPlaceView::save() const
{
    using namespace AppSettings;
    const QString url = m_address->text().trimmed();
    // An empty address is this computer.
    setString(Keys::recognitionServerURL, m_onServer->isChecked() ? url : QString());
    setString(Keys::recognitionServerModel, m_model->currentText().trimmed());
    setString(Keys::recognitionServerCAFile, m_caFile->text().trimmed());
    setBool(Keys::recognitionServerAllowUnencrypted, m_unencrypted->isChecked());
}

void RecognitionPlaceView::follow()
{
    m_serverBox->setEnabled(m_onServer->isChecked());
    askForModels();
}

void RecognitionPlaceView::askForModels()
{
    const Server server { m_address->text().trimmed(), m_caFile->text().trimmed(), m_unencrypted->isChecked() };
    const QString key = server.url + u'\n' + server.caFile + (server.allowUnencrypted ? u"+"_s : u"-"_s);
    if (!m_lister || !m_onServer->isChecked() || server.url.isEmpty() || key == m_listedFor)
        return;
    m_listedFor = key;
    m_status->setText(u"Спрашиваю сервер о моделях…"_s);
    startDetached(listModels(server), {});
}

QCoro::Task<> RecognitionPlaceView::listModels(Server server)
{
    const QPointer<RecognitionPlaceView> self(this);
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    QCoro::Task<ServerAnswer> asking = askServer(m_lister, server);
    const ServerAnswer answer = co_await asking;
    if (!self || m_address->text().trimmed() != server.url)
        co_return;
    showModels(m_model, answer.models, m_model->currentText());
    m_status->setText(!answer.problem.isEmpty() ? answer.problem
            : answer.models.isEmpty()           ? noModelListed
                                      : u"Сервер отвечает; моделей: %1."_s.arg(answer.models.size()));
}

QCoro::Task<RecognitionPlaceView::ServerAnswer> RecognitionPlaceView::askServer(ModelLister lister, Server server)
{
    ServerAnswer answer;
    try {
        QCoro::Task<QStringList> listing = lister(std::move(server));
        answer.models = co_await listing;
    } catch (const DescribedError &error) {
        answer.problem = error.description();
    }
    co_return answer;
}

QString RecognitionPlaceView::showModels(QComboBox *box, const QStringList &models, const QString &typed)
{
    const QString chosen = typed.isEmpty() ? models.value(0) : typed;
    box->clear();
    box->addItems(models);
    box->setCurrentText(chosen);
    return chosen;
}
