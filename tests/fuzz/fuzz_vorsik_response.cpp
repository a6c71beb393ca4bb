#include "vorsikapiresponseparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // A value found must be a real string, never one made up from a wrong shape.
    for (const auto &value : {VorsikAPIResponseParser::installationToken(body),
                              VorsikAPIResponseParser::errorMessage(body), VorsikAPIResponseParser::text(body)}) {
        if (value && !body.contains('"'))
            __builtin_trap();
    }
    return 0;
}
