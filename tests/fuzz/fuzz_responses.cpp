#include "fuzzing.h"
#include "services/gigachat/gigachatresponseparser.h"
#include "services/openai/realtimeevent.h"
#include "services/openai/responsetextparser.h"
#include "services/vorsik/vorsikapiresponseparser.h"

// Every body a remote service may send, to every reader of it. JSON may spell a
// member's name with escapes, so the properties hold on the structure only.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = fuzzBytes(data, size);
    for (const auto &value : { VorsikAPIResponseParser::installationToken(body),
             VorsikAPIResponseParser::errorMessage(body), VorsikAPIResponseParser::text(body),
             GigaChatResponseParser::errorMessage(body), ResponseTextParser::errorMessage(body) })
        FUZZ_EXPECT(!value || body.contains('{'));
    FUZZ_EXPECT(!GigaChatResponseParser::messageText(body) || body.contains('['));
    FUZZ_EXPECT(!GigaChatResponseParser::usage(body) || body.count('{') >= 2);
    FUZZ_EXPECT(!ResponseTextParser::outputText(body) || body.count('[') >= 2);
    const RealtimeEvent event = RealtimeEvent::read(body);
    FUZZ_EXPECT(event.kind == RealtimeEvent::Kind::ignored ? event.text.isEmpty() : body.contains('{'));
    return 0;
}
