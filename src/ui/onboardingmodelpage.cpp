#include "ui/onboardingmodelpage.h"

#include "core/appsettings.h"
#include "core/detachedtask.h"
#include "ui/clampedlabel.h"
#include "ui/modellistview.h"
#include "ui/onboardingsteps.h"
#include "ui/onboardingstyle.h"
#include "ui/uifont.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

OnboardingModelPage::OnboardingModelPage(ModelDownloader *models, QObject *parent)
    : QObject(parent)
    , m_models(models)
{
    connect(m_models, &ModelDownloader::progressChanged, this, &OnboardingModelPage::showProgress);
    const auto pageChanged = [this] {
        if (m_shown) {
            fillPicker();
            update();
        }
    };
    connect(m_models, &ModelDownloader::finished, this, pageChanged);
    connect(m_models, &ModelDownloader::cancelled, this, pageChanged);
    connect(m_models, &ModelDownloader::failed, this, [this, pageChanged](const QString &name, const QString &message) {
        if (m_picker && chosen() == name)
            m_error = message;
        pageChanged();
    });
}

void OnboardingModelPage::build(QWidget *window, QVBoxLayout *stack)
{
    m_window = window;
    m_picker = new QComboBox(window);
    m_picker->setObjectName(u"modelPicker"_s);
    m_picker->setFont(systemFont(14));
    m_picker->setFixedWidth(440);
    m_picker->setMinimumHeight(32);
    stack->addWidget(m_picker, 0, Qt::AlignHCenter);
    m_bar = new QProgressBar(window);
    m_bar->setObjectName(u"downloadBar"_s);
    m_bar->setRange(0, 100);
    m_bar->setTextVisible(false);
    m_bar->setFixedSize(440, 8);
    stack->addWidget(m_bar, 0, Qt::AlignHCenter);
    m_serverForm = new QWidget(window);
    m_serverForm->setObjectName(u"serverForm"_s);
    m_serverForm->setFixedWidth(440);
    auto *form = new QFormLayout(m_serverForm);
    form->setContentsMargins(0, 0, 0, 0);
    const RecognitionPlaceView::ServerRows rows = RecognitionPlaceView::addServerRows(form, m_serverForm);
    m_serverAddress = rows.address;
    m_serverModel = rows.model;
    m_serverForm->hide();
    stack->addWidget(m_serverForm, 0, Qt::AlignHCenter);
    m_text = OnboardingStyle::makeLabel(u"downloadText"_s, systemFont(13), window);
    stack->addWidget(m_text);
    m_serverOffer = new QPushButton(OnboardingSteps::serverOffer, window);
    m_serverOffer->setObjectName(u"serverOffer"_s);
    m_serverOffer->setFlat(true);
    m_serverOffer->setCursor(Qt::PointingHandCursor);
    // A link rather than a third button: the download stays the step's way forward.
    m_serverOffer->setStyleSheet(u"QPushButton { color: palette(link); text-decoration: underline; border: none; }"_s);
    m_serverOffer->hide();
    stack->addWidget(m_serverOffer, 0, Qt::AlignHCenter);
    connect(m_picker, &QComboBox::currentIndexChanged, this, [this] {
        m_error.clear();
        update();
    });
    connect(m_serverOffer, &QPushButton::clicked, this, [this] {
        m_onServerForm = true;
        m_error.clear();
        update();
        m_serverAddress->setFocus();
    });
}

void OnboardingModelPage::show()
{
    m_shown = true;
    // A server named before (here or in the settings) opens its form.
    const QString server = AppSettings::recognitionServerURL();
    m_onServerForm = m_lister && !server.isEmpty();
    if (m_onServerForm) {
        m_serverAddress->setText(server);
        m_serverModel->setCurrentText(
            AppSettings::string(AppSettings::Keys::recognitionServerModel).value_or(QString()));
    }
    fillPicker();
    update();
}

void OnboardingModelPage::hide()
{
    m_shown = false;
    m_picker->hide();
    m_bar->hide();
    m_text->hide();
    m_serverForm->hide();
    m_serverOffer->hide();
}

QString OnboardingModelPage::chosen() const { return m_picker->currentData().toString(); }

bool OnboardingModelPage::hasUsableModel() const
{
    return !AppSettings::recognitionServerURL().isEmpty() || m_models->store().resolve(AppSettings::localModel()).ok();
}

void OnboardingModelPage::fillPicker()
{
    const ModelStore &store = m_models->store();
    const auto recommended = ModelCatalog::recommend(store.catalog(), m_machine, AppSettings::localLanguage()).name;
    const QString stored = AppSettings::localModel();
    // First time here: what dictation would use now, else a download under way, else the
    // recommendation. Later the user's own pick stays.
    QString picked = chosen();
    if (m_picker->count() == 0) {
        const ModelStore::Resolved inUse = store.resolve(stored);
        if (inUse.ok())
            picked = QDir::isAbsolutePath(stored) ? stored : inUse.name;
        else if (const auto downloading = m_models->currentProgress())
            picked = downloading->name;
        else
            picked = recommended;
    }
    const QSignalBlocker refilling(m_picker);
    m_picker->clear();
    for (const ModelCatalogEntry &entry : store.catalog()) {
        QString title = entry.name + u" · "_s + modelSizeText(entry.size);
        if (store.isInstalled(entry.name))
            title += u" · на компьютере"_s;
        if (entry.name == recommended)
            title += u" · рекомендуется"_s;
        m_picker->addItem(title, entry.name);
    }
    if (QDir::isAbsolutePath(stored))
        m_picker->addItem(u"Свой файл: "_s + QFileInfo(stored).fileName(), stored);
    m_picker->setCurrentIndex(qMax(0, m_picker->findData(picked)));
}

void OnboardingModelPage::update()
{
    if (m_onServerForm) {
        updateServerForm();
        return;
    }
    m_serverForm->hide();
    m_serverOffer->hide();
    m_picker->show();
    m_places.body->setText(OnboardingSteps::page(OnboardingStep::model).body.in(OnboardingBuild::localModels));
    const ModelStore &store = m_models->store();
    const QString name = chosen();
    const bool ready = store.resolve(name).ok();
    const bool downloading = !ready && m_models->isDownloading(name);
    const auto entry = store.entry(name);
    const qint64 part = ready || downloading ? 0 : store.partialSize(name);
    const ModelStage stage = ready ? ModelStage::ready
        : downloading              ? ModelStage::downloading
        : part > 0                 ? ModelStage::partlyDownloaded
                                   : ModelStage::absent;
    const OnboardingSteps::ModelTexts &texts = OnboardingSteps::model(stage);

    m_picker->setEnabled(!downloading);
    m_bar->setVisible(downloading);
    m_text->setVisible(downloading || !m_error.isEmpty());
    OnboardingStyle::setTextColour(
        m_text, downloading ? OnboardingStyle::secondaryText(m_window->palette()) : OnboardingStyle::errorText());
    m_places.primary->setEnabled(!downloading);
    m_places.secondary->setText(texts.secondary);
    m_places.title->setText(texts.title);
    switch (stage) {
    case ModelStage::ready:
        m_places.detail->setText(texts.detail.arg(store.resolve(name).name));
        m_places.primary->setText(texts.primary);
        break;
    case ModelStage::downloading:
        m_places.detail->setText(texts.detail);
        m_places.primary->setText(texts.primary);
        if (const auto progress = m_models->progress(name))
            showProgress(*progress);
        else
            m_text->setText(OnboardingSteps::modelConnecting);
        break;
    case ModelStage::absent:
    case ModelStage::partlyDownloaded: {
        const auto recommendation = ModelCatalog::recommend(store.catalog(), m_machine, AppSettings::localLanguage());
        // What the model picked is for, under why the recommended one suits this computer.
        m_places.detail->setText(entry ? recommendation.reason + u"\n\n"_s + entry->name + u": "_s + entry->description
                                       : recommendation.reason);
        m_places.primary->setText(
            stage == ModelStage::absent ? texts.primary.arg(modelSizeText(entry ? entry->size : 0)) : texts.primary);
        m_text->setText(OnboardingSteps::modelFailed.arg(m_error));
        m_serverOffer->setVisible(m_lister && recommendation.limitedByMachine);
        break;
    }
    }
}

void OnboardingModelPage::updateServerForm()
{
    const OnboardingSteps::ServerTexts &texts = OnboardingSteps::server();
    m_picker->hide();
    m_bar->hide();
    m_serverOffer->hide();
    m_serverForm->show();
    m_serverForm->setEnabled(!m_checking);
    m_places.title->setText(texts.title);
    m_places.body->setText(texts.body);
    m_places.detail->setText(texts.detail);
    m_places.primary->setText(texts.primary);
    m_places.primary->setEnabled(!m_checking);
    m_places.secondary->setText(texts.secondary);
    if (m_checking)
        showStatus(texts.checking, false);
    else if (!m_error.isEmpty())
        showStatus(m_error, true);
    else
        m_text->hide();
}

void OnboardingModelPage::showStatus(const QString &text, bool isError)
{
    OnboardingStyle::setTextColour(
        m_text, isError ? OnboardingStyle::errorText() : OnboardingStyle::secondaryText(m_window->palette()));
    m_text->setText(text);
    m_text->show();
}

QCoro::Task<> OnboardingModelPage::checkServer(RecognitionPlaceView::Server server, QString model)
{
    const QPointer<OnboardingModelPage> self(this);
    const OnboardingSteps::ServerTexts &texts = OnboardingSteps::server();
    m_checking = true;
    m_error.clear();
    update();
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    QCoro::Task<RecognitionPlaceView::ServerAnswer> asking = RecognitionPlaceView::askServer(m_lister, server);
    const RecognitionPlaceView::ServerAnswer answer = co_await asking;
    if (!self)
        co_return;
    m_checking = false;
    // The user went back to the models or on to another page meanwhile: the answer is not wanted.
    if (!m_shown || !m_onServerForm)
        co_return;
    QString problem = answer.problem;
    if (problem.isEmpty()) {
        const QString picked = RecognitionPlaceView::showModels(m_serverModel, answer.models, model);
        if (picked.isEmpty()) {
            problem = RecognitionPlaceView::noModelListed;
        } else if (!answer.models.isEmpty() && !answer.models.contains(picked)) {
            problem = texts.unknownModel.arg(picked);
        } else {
            AppSettings::setString(AppSettings::Keys::recognitionServerURL, server.url);
            AppSettings::setString(AppSettings::Keys::recognitionServerModel, picked);
            update();
            if (m_onServerChosen)
                m_onServerChosen();
            co_return;
        }
    }
    m_error = problem;
    update();
}

void OnboardingModelPage::showProgress(const ModelDownloader::Progress &progress)
{
    if (!m_shown || chosen() != progress.name)
        return;
    if (m_bar->isHidden())
        update();
    m_bar->setValue(progress.percent());
    m_text->setText(progress.text());
}

bool OnboardingModelPage::chooseOrDownload()
{
    if (m_onServerForm) {
        if (m_checking)
            return false;
        using namespace AppSettings;
        const RecognitionPlaceView::Server server { m_serverAddress->text().trimmed(),
            string(Keys::recognitionServerCAFile).value_or(QString()).trimmed(),
            boolValue(Keys::recognitionServerAllowUnencrypted) };
        if (server.url.isEmpty()) {
            m_error = OnboardingSteps::server().noAddress;
            update();
            return false;
        }
        startDetached(checkServer(server, m_serverModel->currentText().trimmed()), {});
        return false;
    }
    const ModelStore &store = m_models->store();
    const QString name = chosen();
    const ModelStore::Resolved model = store.resolve(name);
    if (!model.ok()) {
        if (m_models->isDownloading(name))
            return false;
        m_error.clear();
        m_models->start(name);
        update();
        return false;
    }
    // The test dictation uses the model shown; when that is what the setting gives
    // already (typically the best installed one), the setting stays as it was.
    if (store.resolve(AppSettings::localModel()).path != model.path)
        AppSettings::setString(AppSettings::Keys::localModel, name);
    // A model chosen here is recognition on this computer, also after a server was named.
    if (!AppSettings::recognitionServerURL().isEmpty())
        AppSettings::setString(AppSettings::Keys::recognitionServerURL, QString());
    return true;
}

bool OnboardingModelPage::stepBackWithin()
{
    if (m_onServerForm) {
        m_onServerForm = false;
        m_error.clear();
        update();
        return true;
    }
    if (!m_models->isDownloading(chosen()))
        return false;
    m_models->cancel(chosen());
    return true;
}
