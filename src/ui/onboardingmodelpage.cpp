#include "ui/onboardingmodelpage.h"

#include "core/appsettings.h"
#include "ui/clampedlabel.h"
#include "ui/modellistview.h"
#include "ui/onboardingsteps.h"
#include "ui/onboardingstyle.h"
#include "ui/uifont.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
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
    m_text = OnboardingStyle::makeLabel(u"downloadText"_s, systemFont(13), window);
    stack->addWidget(m_text);
    connect(m_picker, &QComboBox::currentIndexChanged, this, [this] {
        m_error.clear();
        update();
    });
}

void OnboardingModelPage::show()
{
    m_shown = true;
    m_picker->show();
    fillPicker();
    update();
}

void OnboardingModelPage::hide()
{
    m_shown = false;
    m_picker->hide();
    m_bar->hide();
    m_text->hide();
}

QString OnboardingModelPage::chosen() const { return m_picker->currentData().toString(); }

bool OnboardingModelPage::hasUsableModel() const { return m_models->store().resolve(AppSettings::localModel()).ok(); }

void OnboardingModelPage::fillPicker()
{
    const ModelStore &store = m_models->store();
    const auto recommended
        = ModelCatalog::recommend(store.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage())
              .name;
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
        const auto recommendation = ModelCatalog::recommend(
            store.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage());
        // What the model picked is for, under why the recommended one suits this computer.
        m_places.detail->setText(entry ? recommendation.reason + u"\n\n"_s + entry->name + u": "_s + entry->description
                                       : recommendation.reason);
        m_places.primary->setText(
            stage == ModelStage::absent ? texts.primary.arg(modelSizeText(entry ? entry->size : 0)) : texts.primary);
        m_text->setText(OnboardingSteps::modelFailed.arg(m_error));
        break;
    }
    }
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
    return true;
}

bool OnboardingModelPage::cancelDownload()
{
    if (!m_models->isDownloading(chosen()))
        return false;
    m_models->cancel(chosen());
    return true;
}
