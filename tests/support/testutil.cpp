#include "testutil.h"

#include <QSettings>

using namespace Qt::StringLiterals;

namespace TestUtil {

void clearSettings()
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s);
    store.clear();
    store.sync();
}

} // namespace TestUtil
