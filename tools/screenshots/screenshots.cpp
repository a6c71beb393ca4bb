// Renders the overlay in every state, each onboarding page and the settings
// window, as a build without the own backend shows them, to PNG files for the
// documentation. Run it in the headless session:
//   scripts/headless-session build/tools/screenshots/verbulo_ui_screenshots docs/screenshots
#include "core/appsettings.h"
#include "services/models/modeldownloader.h"
#include "services/models/modelstore.h"
#include "ui/onboardingwindowcontroller.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/settingswindowcontroller.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// The walkthrough's accessibility page asks this; the pictures need it refused, then granted.
class ScriptedAccessibilityPermission final : public AbstractAccessibilityPermission {
public:
    bool busEnabled = false;
    bool isBusEnabled() override { return busEnabled; }
    void enableBus() override { }
};

namespace {

QDir outputDir;

void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

bool save(const QImage &image, const QString &name)
{
    const QString path = outputDir.filePath(name + u".png"_s);
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The panel is see-through, so it is shown over a desktop-like backdrop.
bool saveOverlay(OverlayPanelController &overlay, const QString &name)
{
    settle();
    QWidget *panel = overlay.panel();
    const QImage shot = panel->grab().toImage();
    const QSize canvas(panel->width() + 80, panel->height() + 56);
    QImage image(canvas * shot.devicePixelRatio(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(shot.devicePixelRatio());
    QPainter painter(&image);
    QLinearGradient wallpaper(0, 0, canvas.width(), canvas.height());
    wallpaper.setColorAt(0, QColor(0x3a, 0x6f, 0xb0));
    wallpaper.setColorAt(1, QColor(0x8f, 0x5f, 0xa8));
    painter.fillRect(QRect(QPoint(), canvas), wallpaper);
    // A window of some other application under the panel.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(250, 250, 250));
    painter.drawRoundedRect(QRectF(90, 60, canvas.width() - 180, canvas.height()), 10, 10);
    painter.setBrush(QColor(220, 224, 230));
    for (int y = 90; y < canvas.height(); y += 22)
        painter.drawRoundedRect(QRectF(120, y, canvas.width() - 300 + (y * 37) % 120, 9), 4, 4);
    painter.drawImage(QPointF(40, 28), shot);
    painter.end();
    return save(image, name);
}

bool saveWindow(QWidget *window, const QString &name)
{
    settle();
    return save(window->grab().toImage(), name);
}

// A model server on 127.0.0.1 that sends a few megabytes a second and never finishes, so
// a download can be pictured under way.
class TricklingServer : public QTcpServer {
public:
    explicit TricklingServer(const ModelStore &models)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this, &models] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [socket, &models] {
                    // "GET /ggml-<name>.bin HTTP/1.1", "GET /<owner>/<repo>/resolve/main/<file>.gguf HTTP/1.1"
                    const QString file = QString::fromLatin1(socket->readAll().split(' ').value(1)).section(u'/', -1);
                    const auto found = std::find_if(models.catalog().begin(), models.catalog().end(),
                        [&](const ModelCatalogEntry &entry) { return entry.fileName() == file; });
                    const qint64 size = found == models.catalog().end() ? 0 : found->size;
                    socket->write("HTTP/1.1 200 OK\r\nX-Linked-Etag: \"" + QByteArray(64, '0')
                        + "\"\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n");
                    auto *timer = new QTimer(socket);
                    connect(timer, &QTimer::timeout, socket, [socket] { socket->write(QByteArray(600000, 'x')); });
                    timer->start(200);
                });
            }
        });
    }
    QString url() const { return u"http://127.0.0.1:%1"_s.arg(serverPort()); }
};

// Starts downloading `name` from the trickling server and lets the speed become known.
void startTrickle(ModelDownloader &downloader, const QString &name)
{
    downloader.start(name);
    QEventLoop wait;
    QTimer::singleShot(2500ms, &wait, &QEventLoop::quit);
    wait.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    // Screenshots never touch the user's own settings.
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    // Nor the user's models: the pictures start on a computer that has none.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-DIRECTORY\n", argv[0]);
        return 2;
    }
    outputDir = QDir(QString::fromLocal8Bit(argv[1]));
    if (!outputDir.mkpath(u"."_s)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    bool ok = true;
    OverlayPanelController overlay;
    overlay.showConnecting();
    ok &= saveOverlay(overlay, u"overlay-connecting"_s);
    overlay.showListening();
    overlay.setTranscriptText(u"Ворсик слушает и записывает"_s);
    ok &= saveOverlay(overlay, u"overlay-listening"_s);
    overlay.showProcessing(u"Завершаю распознавание…"_s);
    ok &= saveOverlay(overlay, u"overlay-processing"_s);
    overlay.showEditing();
    ok &= saveOverlay(overlay, u"overlay-editing"_s);
    overlay.showMessage(u"✓  Текст вставлен"_s, QString(), MessageTone::success, 0ms);
    ok &= saveOverlay(overlay, u"overlay-pasted"_s);
    overlay.showMessage(u"Не понял…"_s, u"Нет подключения к интернету. Проверьте сеть и попробуйте ещё раз."_s,
        MessageTone::failure, 0ms);
    ok &= saveOverlay(overlay, u"overlay-failure"_s);
    overlay.presentResult(u"Текст сохранён"_s, u"Окно сменилось, пока Ворсик работал. Нажмите «Скопировать»."_s,
        u"Добрый день! Высылаю обновлённый план на неделю: в понедельник созвон с командой, "
        "во вторник ревью макетов, в среду — релиз. Если есть вопросы, пишите."_s);
    ok &= saveOverlay(overlay, u"overlay-result"_s);
    overlay.hide();

    ModelStore models;
    ModelDownloader downloader(models);
    ScriptedAccessibilityPermission accessibility;
    OnboardingWindowController onboarding(&accessibility, &downloader, [] { return false; });
    // A laptop below what Russian deserves, where the step offers a server too.
    onboarding.setMachineFacts({ 2, true, qint64(8) << 30 });
    onboarding.setServerModelLister(
        [](RecognitionPlaceView::Server) -> QCoro::Task<QStringList> { co_return QStringList {}; });
    onboarding.show();
    ok &= saveWindow(onboarding.window(), u"onboarding-1-welcome"_s);
    onboarding.primaryAction();
    ok &= saveWindow(onboarding.window(), u"onboarding-2-microphone"_s);
    onboarding.primaryAction();
    ok &= saveWindow(onboarding.window(), u"onboarding-3-accessibility"_s);
    accessibility.busEnabled = true;
    onboarding.primaryAction();
    ok &= saveWindow(onboarding.window(), u"onboarding-4-model"_s);
    TricklingServer modelServer(models);
    AppSettings::setString(AppSettings::Keys::localModelsURL, modelServer.url());
    AppSettings::setString(AppSettings::Keys::localHubURL, modelServer.url());
    const QString chosen = onboarding.window()->findChild<QComboBox *>()->currentData().toString();
    onboarding.primaryAction();
    startTrickle(downloader, chosen);
    ok &= saveWindow(onboarding.window(), u"onboarding-4-model-downloading"_s);
    downloader.cancel(chosen);
    settle();
    onboarding.window()->findChild<QPushButton *>(u"serverOffer"_s)->click();
    onboarding.window()->findChild<QLineEdit *>(u"serverAddress"_s)->setText(u"https://gpu.office:8000"_s);
    onboarding.window()->findChild<QComboBox *>(u"serverModel"_s)->setCurrentText(u"whisper-large-v3-turbo"_s);
    ok &= saveWindow(onboarding.window(), u"onboarding-4-model-server"_s);
    onboarding.secondaryAction();
    // An empty stand-in for the recommended model lets the walkthrough go on to the test.
    const auto recommended = models.entry(
        ModelCatalog::recommend(models.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage())
            .name);
    if (!recommended || !QDir().mkpath(models.directory())
        || !QFile(models.pathOf(*recommended)).open(QIODevice::WriteOnly))
        return 1;
    onboarding.show();
    onboarding.primaryAction();
    ok &= saveWindow(onboarding.window(), u"onboarding-5-ready"_s);
    onboarding.showTestListening();
    ok &= saveWindow(onboarding.window(), u"onboarding-6-test-listening"_s);
    onboarding.showTestResult(u"Привет! Это моя первая диктовка с Ворсиком."_s);
    ok &= saveWindow(onboarding.window(), u"onboarding-7-test-result"_s);
    onboarding.window()->close();

    SettingsWindowController settings(&accessibility, &downloader);
    settings.show();
    ok &= saveWindow(settings.window(), u"settings"_s);
    startTrickle(downloader, models.catalog().constFirst().name);
    settings.showModels();
    ok &= saveWindow(settings.window(), u"settings-models"_s);
    downloader.cancel(models.catalog().constFirst().name);
    settings.cancel();

    // A user of a whisper model, offered the one made for Russian.
    QFile::remove(models.pathOf(*recommended));
    if (const auto whisper = models.entry(u"small")) {
        QFile(models.pathOf(*whisper)).open(QIODevice::WriteOnly);
        AppSettings::setString(AppSettings::Keys::localModel, whisper->name);
    }
    settings.showModels();
    ok &= saveWindow(settings.window(), u"settings-models-offer"_s);
    settings.cancel();

    return ok ? 0 : 1;
}
