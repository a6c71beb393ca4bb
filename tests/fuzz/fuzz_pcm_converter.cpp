#include "audio/pcmconverter.h"
#include "fuzzing.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>

// Whatever the sound server delivers, in any format it may choose, comes out as
// whole 16-bit samples at 24 kHz, and no buffer of it goes missing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto type = PCMConverter::SampleType(input.ConsumeIntegralInRange(0, 2));
    const double rate = input.ConsumeIntegralInRange(4000, 384000); // lower rates only slow the run
    PCMConverter converter(type, rate, input.ConsumeIntegralInRange(1u, 32u));
    qint64 outputBytes = 0;
    const auto onChunk = [&outputBytes](const QByteArray &chunk) {
        FUZZ_EXPECT(!chunk.isEmpty() && chunk.size() % 2 == 0);
        outputBytes += chunk.size();
    };
    const std::size_t frameSize = converter.bytesPerFrame();
    std::size_t inputFrames = 0;
    while (input.remaining_bytes() > 0) {
        // Copied, so the samples are aligned as the server's buffers are.
        std::vector<float> buffer((input.ConsumeIntegralInRange<std::size_t>(1, 512) * frameSize + 3) / 4);
        const std::size_t frames = input.ConsumeData(buffer.data(), buffer.size() * 4) / frameSize;
        converter.convert(buffer.data(), frames, onChunk);
        inputFrames += frames;
    }
    converter.flush(onChunk);
    FUZZ_EXPECT(std::abs(double(outputBytes / 2) - double(inputFrames) * PCMConverter::outputRate / rate) <= 2.0);
    return 0;
}
