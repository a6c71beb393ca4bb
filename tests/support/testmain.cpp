#include "testutil.h"

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QtMessageHandler defaultHandler = nullptr;
bool showDebug = false;

// Every line the program logs, debug lines too, is checked for the canary.
void checkLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QStringView(TestUtil::logCanary)))
        ADD_FAILURE() << "a log line carries a secret or dictated text: " << message.toStdString();
    if (type != QtDebugMsg || showDebug)
        defaultHandler(type, context, message);
}

} // namespace

// Every test process gets its own settings directory, fixed before Qt first
// resolves the settings path, so no test ever touches the user's real settings.
int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    // GSettings too: a key file in that directory instead of the user's dconf database.
    qputenv("GSETTINGS_BACKEND", "keyfile");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    showDebug = qEnvironmentVariableIsSet("QT_LOGGING_RULES");
    if (!showDebug)
        QLoggingCategory::setFilterRules(QStringLiteral("verbulo.*.debug=true"));
    defaultHandler = qInstallMessageHandler(checkLine);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
