#include "describederror.h"
#include "fuzzing.h"
#include "wavreader.h"

#include <cmath>

// A WAV file given to --transcribe is read or refused in words; whatever it holds, the
// samples that come out are finite and within full scale.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        const WavAudio audio = readWav(fuzzBytes(data, size));
        FUZZ_EXPECT(audio.sampleRate > 0);
        for (const float sample : audio.samples)
            FUZZ_EXPECT(std::isfinite(sample) && std::fabs(sample) <= 1.0f);
    } catch (const DescribedError &error) {
        FUZZ_EXPECT(!error.description().isEmpty());
    }
    return 0;
}
