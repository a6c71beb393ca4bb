// The self-test as the tests run it: the real GigaChatSelfTest::run, pointed at a
// loopback server when VERBULO_TEST_GIGACHAT_BASE_URL is set. Test code only; the
// program itself never reads these variables.
#include "gigachatconfiguration.h"
#include "gigachatselftest.h"

#include <QStringList>
#include <QUrl>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const QString base = qEnvironmentVariable("VERBULO_TEST_GIGACHAT_BASE_URL");
    if (!base.isEmpty()) {
        GigaChatConfiguration configuration = GigaChatConfiguration::production();
        const QUrl baseURL(base);
        configuration.oauthHost = baseURL.host();
        configuration.apiHost = baseURL.host();
        configuration.oauthURL = QUrl(base + u"/api/v2/oauth"_s);
        configuration.apiBaseURL = baseURL;
        configuration.rootCertificateBase64 = qgetenv("VERBULO_TEST_GIGACHAT_ROOT");
        configuration.subCertificateBase64 = qgetenv("VERBULO_TEST_GIGACHAT_SUB");
        GigaChatConfiguration::replaceForTesting(configuration);
    }
    return GigaChatSelfTest::run(arguments);
}
