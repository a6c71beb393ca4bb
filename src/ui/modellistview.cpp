#include "ui/modellistview.h"
#include "ui/uifont.h"

#include "core/appsettings.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

const char settingProperty[] = "localModelSetting";

QLabel *makeNote(const QString &name, int pixelSize, QWidget *parent, qreal alpha = 0.62)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setFont(systemFont(pixelSize));
    QPalette palette = label->palette();
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(float(alpha));
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

} // namespace

QString modelSizeText(qint64 bytes)
{
    constexpr qint64 mebibyte = 1024 * 1024;
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    if (bytes < 1024 * mebibyte)
        return u"%1 МБ"_s.arg(qMax<qint64>(1, (bytes + mebibyte / 2) / mebibyte));
    return u"%1 ГБ"_s.arg(russian.toString(double(bytes) / (1024 * mebibyte), 'f', 1));
}

ModelListView::ModelListView(ModelDownloader &downloader, QWidget *parent)
    : QWidget(parent)
    , m_downloader(downloader)
{
    const ModelStore &store = downloader.store();

    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);
    m_offer = new QWidget(this);
    m_offer->setObjectName(u"betterModelOffer"_s);
    auto *offerRow = new QHBoxLayout(m_offer);
    offerRow->setContentsMargins(0, 0, 0, 0);
    m_offerText = makeNote(u"offerText"_s, 13, m_offer, 1.0);
    m_offerDownload = new QPushButton(u"Скачать"_s, m_offer);
    m_offerDownload->setObjectName(u"offerDownload"_s);
    auto *offerLater = new QPushButton(u"Не сейчас"_s, m_offer);
    offerLater->setObjectName(u"offerLater"_s);
    offerRow->addWidget(m_offerText, 1);
    offerRow->addWidget(m_offerDownload, 0, Qt::AlignTop);
    offerRow->addWidget(offerLater, 0, Qt::AlignTop);
    m_offer->hide();
    stack->addWidget(m_offer);
    connect(m_offerDownload, &QPushButton::clicked, this, [this] {
        m_offer->hide();
        download(m_offered);
    });
    connect(offerLater, &QPushButton::clicked, m_offer, &QWidget::hide);
    m_reason = makeNote(u"recommendationLabel"_s, 12, this, 0.8);
    stack->addWidget(m_reason);

    m_group = new QButtonGroup(this);
    m_automatic = new QRadioButton(this);
    m_automatic->setObjectName(u"automaticModel"_s);
    m_automatic->setProperty(settingProperty, QString());
    m_group->addButton(m_automatic);
    stack->addWidget(m_automatic);

    for (const ModelCatalogEntry &entry : store.catalog()) {
        Row row;
        row.entry = entry;
        auto *box = new QWidget(this);
        box->setObjectName(u"model-"_s + entry.name);
        auto *grid = new QGridLayout(box);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setHorizontalSpacing(10);
        grid->setVerticalSpacing(4);

        row.choice = new QRadioButton(box);
        row.choice->setProperty(settingProperty, entry.name);
        m_group->addButton(row.choice);
        grid->addWidget(row.choice, 0, 0);
        row.status = makeNote(u"status"_s, 12, box);
        row.status->setWordWrap(false);
        grid->addWidget(row.status, 0, 1, Qt::AlignRight);

        auto *buttons = new QHBoxLayout;
        buttons->setSpacing(6);
        row.download = new QPushButton(u"Скачать"_s, box);
        row.download->setObjectName(u"download"_s);
        row.cancel = new QPushButton(u"Отменить"_s, box);
        row.cancel->setObjectName(u"cancel"_s);
        row.remove = new QPushButton(u"Удалить"_s, box);
        row.remove->setObjectName(u"remove"_s);
        for (QPushButton *button : { row.download, row.cancel, row.remove }) {
            button->setAutoDefault(false);
            buttons->addWidget(button);
        }
        grid->addLayout(buttons, 0, 2, Qt::AlignRight);

        row.description = makeNote(u"description"_s, 12, box);
        row.description->setContentsMargins(24, 0, 0, 0);
        grid->addWidget(row.description, 1, 0, 1, 3);

        auto *progressRow = new QHBoxLayout;
        progressRow->setContentsMargins(24, 0, 0, 0);
        progressRow->setSpacing(12);
        row.bar = new QProgressBar(box);
        row.bar->setRange(0, 100);
        row.bar->setTextVisible(false);
        row.bar->setFixedHeight(8);
        row.progress = makeNote(u"progress"_s, 12, box);
        progressRow->addWidget(row.bar, 1);
        progressRow->addWidget(row.progress, 2);
        grid->addLayout(progressRow, 2, 0, 1, 3);

        row.error = makeNote(u"error"_s, 12, box, 1.0);
        QPalette errorPalette = row.error->palette();
        errorPalette.setColor(QPalette::WindowText, QColor(192, 28, 40));
        row.error->setPalette(errorPalette);
        row.error->setContentsMargins(24, 0, 0, 0);
        row.error->hide();
        grid->addWidget(row.error, 3, 0, 1, 3);
        grid->setColumnStretch(0, 1);
        stack->addWidget(box);

        const QString name = entry.name;
        connect(row.download, &QPushButton::clicked, this, [this, name] { download(name); });
        connect(row.cancel, &QPushButton::clicked, this, [this, name] { m_downloader.cancel(name); });
        connect(row.remove, &QPushButton::clicked, this, [this, name] { confirmRemoval(name); });
        m_rows.push_back(std::move(row));
    }

    // GGUF files the user installed as an expert can be chosen by their path.
    for (const QString &path : store.ownFiles()) {
        auto *own = new QRadioButton(u"Свой файл: "_s + QFileInfo(path).fileName(), this);
        own->setObjectName(u"ownModel"_s);
        own->setProperty(settingProperty, path);
        m_group->addButton(own);
        stack->addWidget(own);
    }
    m_ownFile = new QRadioButton(this);
    m_ownFile->setObjectName(u"ownModelFile"_s);
    m_group->addButton(m_ownFile);
    m_ownFile->hide();
    stack->addWidget(m_ownFile);

    connect(&m_downloader, &ModelDownloader::progressChanged, this, &ModelListView::showProgress);
    connect(&m_downloader, &ModelDownloader::finished, this, &ModelListView::refresh);
    connect(&m_downloader, &ModelDownloader::cancelled, this, &ModelListView::refresh);
    connect(&m_downloader, &ModelDownloader::failed, this, &ModelListView::showFailure);
    setLanguage(AppSettings::localLanguage());
}

void ModelListView::setLanguage(const QString &language)
{
    const auto recommendation
        = ModelCatalog::recommend(m_downloader.store().catalog(), ModelCatalog::MachineFacts::current(), language);
    m_recommended = recommendation.name;
    m_reason->setText(recommendation.reason);
    m_reason->setVisible(!recommendation.reason.isEmpty());
    for (Row &row : m_rows) {
        const ModelCatalogEntry &entry = row.entry;
        QString title = entry.name + u" · "_s + modelSizeText(entry.size);
        if (entry.name == m_recommended)
            title += u" · рекомендуется"_s;
        row.choice->setText(title);
        // A model that cannot hear the language chosen says so first.
        row.description->setText(entry.recognises(language) || language == u"auto"
                ? entry.description
                : u"Не распознаёт выбранный язык речи. "_s + entry.description);
    }
    refresh();
}

void ModelListView::offerBetterModel(const QString &setting)
{
    if (AppSettings::boolValue(AppSettings::Keys::localBetterModelOffered))
        return;
    const ModelStore &store = m_downloader.store();
    const auto better = store.betterModel(setting, AppSettings::localLanguage(), ModelCatalog::MachineFacts::current());
    if (!better)
        return;
    AppSettings::setBool(AppSettings::Keys::localBetterModelOffered, true);
    m_offered = better->name;
    m_offerText->setText(u"Для вашего языка есть модель лучше, чем %1: %2. %3 Ваша модель остаётся, пока вы "
                         "не выберете другую."_s.arg(store.resolve(setting).name, better->name, better->description));
    m_offerDownload->setText(u"Скачать · "_s + modelSizeText(better->size));
    m_offer->show();
}

ModelListView::Row *ModelListView::rowOf(const QString &name)
{
    for (Row &row : m_rows)
        if (row.entry.name == name)
            return &row;
    return nullptr;
}

void ModelListView::setChoice(const QString &setting)
{
    // A path of the user's own is kept and shown as it is; anything else that names no
    // catalog model reads as the automatic choice.
    const bool ownFile = QDir::isAbsolutePath(setting);
    m_ownFile->setVisible(ownFile);
    if (ownFile) {
        m_ownFile->setText(u"Свой файл: "_s + setting);
        m_ownFile->setProperty(settingProperty, setting);
        m_ownFile->setChecked(true);
    } else if (Row *row = rowOf(setting)) {
        row->choice->setChecked(true);
    } else {
        m_automatic->setChecked(true);
    }
    refresh();
}

QString ModelListView::choice() const
{
    const QAbstractButton *checked = m_group->checkedButton();
    return checked ? checked->property(settingProperty).toString() : QString();
}

void ModelListView::refresh()
{
    const ModelStore &store = m_downloader.store();
    const ModelStore::Resolved automatic = store.resolve(QString());
    m_automatic->setText(automatic.ok() ? u"Автоматически — лучшая из скачанных (сейчас %1)"_s.arg(automatic.name)
                                        : u"Автоматически — лучшая из скачанных (пока ни одной)"_s);
    for (Row &row : m_rows)
        updateRow(row);
}

void ModelListView::updateRow(Row &row)
{
    const ModelStore &store = m_downloader.store();
    const QString &name = row.entry.name;
    const bool installed = store.isInstalled(name);
    const bool downloading = m_downloader.isDownloading(name);
    const qint64 part = installed ? 0 : store.partialSize(name);

    // Only a model on this computer can be chosen; a stored choice whose file went stays
    // shown as it is, so saving does not change it behind the user's back.
    row.choice->setEnabled(installed || row.choice->isChecked());
    row.download->setVisible(!installed && !downloading);
    row.download->setText(part > 0 ? u"Продолжить загрузку"_s : u"Скачать"_s);
    row.cancel->setVisible(downloading);
    row.remove->setVisible(installed);
    row.bar->setVisible(downloading);
    row.progress->setVisible(downloading);
    if (installed)
        row.status->setText(u"на компьютере"_s);
    else if (downloading)
        row.status->setText(u"скачивается"_s);
    else if (part > 0)
        row.status->setText(u"скачано %1 из %2"_s.arg(modelSizeText(part), modelSizeText(row.entry.size)));
    else
        row.status->setText(u"не скачана"_s);
    if (downloading) {
        if (const auto progress = m_downloader.progress(name))
            showProgress(*progress);
        else
            row.progress->setText(u"Подключаюсь…"_s);
    }
    if (installed || downloading)
        row.error->hide();
}

void ModelListView::download(const QString &name)
{
    if (Row *row = rowOf(name))
        row->error->hide();
    m_downloader.start(name);
    refresh();
}

void ModelListView::showProgress(const ModelDownloader::Progress &progress)
{
    Row *row = rowOf(progress.name);
    if (!row)
        return;
    if (row->bar->isHidden())
        updateRow(*row);
    row->bar->setValue(progress.percent());
    row->progress->setText(progress.text());
}

void ModelListView::showFailure(const QString &name, const QString &message)
{
    refresh();
    if (Row *row = rowOf(name)) {
        row->error->setText(u"Не удалось скачать: "_s + message);
        row->error->show();
    }
}

void ModelListView::confirmRemoval(const QString &name)
{
    const Row *row = rowOf(name);
    if (!row)
        return;
    auto *box = new QMessageBox(QMessageBox::Question, u"Удалить модель?"_s,
        u"Модель %1 (%2) будет удалена с компьютера. Чтобы снова диктовать с ней, её придётся скачать заново."_s.arg(
            name, modelSizeText(row->entry.size)),
        QMessageBox::NoButton, window());
    box->setObjectName(u"removalQuestion"_s);
    box->addButton(u"Удалить"_s, QMessageBox::DestructiveRole);
    box->setDefaultButton(box->addButton(u"Оставить"_s, QMessageBox::RejectRole));
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, box, name](QAbstractButton *button) {
        if (box->buttonRole(button) == QMessageBox::DestructiveRole)
            remove(name);
    });
    box->open();
}

void ModelListView::remove(const QString &name)
{
    Row *row = rowOf(name);
    if (!row)
        return;
    if (!m_downloader.store().remove(name)) {
        row->error->setText(u"Не удалось удалить файл модели: проверьте права на папку %1."_s.arg(
            QDir::toNativeSeparators(m_downloader.store().directory())));
        row->error->show();
    }
    // Deleting takes effect at once, so a stored choice of the model goes with it rather
    // than waiting for "Сохранить": dictation falls back to the best installed model.
    if (row->choice->isChecked())
        m_automatic->setChecked(true);
    if (AppSettings::localModel() == name)
        AppSettings::setString(AppSettings::Keys::localModel, QString());
    refresh();
}
