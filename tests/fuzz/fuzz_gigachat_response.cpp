#include "gigachatresponseparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto message = GigaChatResponseParser::errorMessage(body);
    const auto text = GigaChatResponseParser::messageText(body);
    const auto usage = GigaChatResponseParser::usage(body);
    // Every answer comes out of a JSON object, so none from a body without braces.
    if ((message || text || usage) && !body.contains('{'))
        __builtin_trap();
    return 0;
}
