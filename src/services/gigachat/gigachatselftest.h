#pragma once

#include <QStringList>

// The command-line self-test of the GigaChat path ("--self-test-gigachat"). Needs
// no display: it runs its own event loop and returns the process exit status.
namespace GigaChatSelfTest {
int run(const QStringList &arguments);
}
