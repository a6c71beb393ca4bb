#include "gigachatselftest.h"

#include <cstdio>

namespace GigaChatSelfTest {

int run(const QStringList &)
{
    std::fputs("VERBULO_SELF_TEST_FAILED: the GigaChat self-test is not part of this build\n", stderr);
    return 1;
}

} // namespace GigaChatSelfTest
