// The real GigaChatSelfTest::run with the curl that VERBULO_TEST_CURL names, when set. Test code
// only; the program itself never reads that variable.
#include "services/gigachat/gigachatconfiguration.h"
#include "services/gigachat/gigachatselftest.h"

#include <QStringList>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.curlPath = qEnvironmentVariable("VERBULO_TEST_CURL", configuration.curlPath);
    GigaChatConfiguration::replaceForTesting(configuration);
    return GigaChatSelfTest::run(arguments);
}
