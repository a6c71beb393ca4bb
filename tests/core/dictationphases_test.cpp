#include "dictationphases.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// The architecture page shows the controller's table of transitions; the two never drift apart.
TEST(DictationPhasesTest, TheArchitecturePageShowsTheTableTheControllerMovesAlong)
{
    QFile page(QStringLiteral(VERBULO_ARCHITECTURE_DOC));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList shown;
    bool inTable = false;
    for (const QString &line : QString::fromUtf8(page.readAll()).split(u'\n')) {
        if (line == u"| From | Event | To |"_s || (inTable && line.startsWith(u"|---"_s))) {
            inTable = true;
            continue;
        }
        if (inTable && !line.startsWith(u'|'))
            break;
        if (inTable)
            shown.append(line.split(u'|', Qt::SkipEmptyParts).replaceInStrings(u" "_s, QString()).join(u' '));
    }
    QStringList code;
    for (const DictationTransition &t : dictationTransitions)
        code.append(QString::fromLatin1(name(t.from)) + u' ' + QString::fromLatin1(name(t.event)) + u' '
            + QString::fromLatin1(name(t.to)));
    EXPECT_EQ(shown, code);
}

} // namespace
